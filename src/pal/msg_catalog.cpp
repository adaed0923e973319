#include "pal/msg_catalog.h"

#include <boost/algorithm/string/trim.hpp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string_view>

#include "pal/number_reader.h"

namespace NARROW_CHAR_PAL {

namespace {

std::locale userLocale() {
    try {
        return std::locale("");
    } catch (const std::exception&) {
        // An unusable LANG must not stop error texts from being produced.
        return std::locale::classic();
    }
}

}  // namespace

bool systemMessageText(uint32_t code, std::string& text) {
    char buf[256];
    const char* s = strerror_r(static_cast<int>(code), buf, sizeof buf);
    // glibc answers codes it does not know with "Unknown error <n>".
    if (!s || !*s || std::strncmp(s, "Unknown error", 13) == 0) return false;
    text = s;
    return true;
}

uint16_t userDefaultLanguageId() { return 0x0409; }

MsgCatalog::MsgCatalog(const std::string& baseName) : baseName(baseName), locale(userLocale()) {}

std::string MsgCatalog::catalogFileName(const std::string& languageCode) const {
    return catalogDirectory() + baseName + languageCode + ".msg";
}

bool MsgCatalog::loadCatalogFile(const std::string& languageCode) {
    std::ifstream in(catalogFileName(languageCode), std::ios::binary);
    if (!in) return false;
    std::map<uint32_t, std::string> table;
    std::string line;
    while (std::getline(in, line)) {
        const size_t blank = line.find(' ');
        const std::optional<uint32_t> id = brenvik::parseHex<uint32_t>(std::string_view(line).substr(0, blank));
        if (!id) continue;
        table[*id] = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    }
    module.swap(table);
    loaded = true;
    return true;
}

bool MsgCatalog::loadCatalog() {
    if (loaded) return true;
    if (baseName.empty()) return false;
    char code[8];
    std::snprintf(code, sizeof code, "%04x", static_cast<unsigned>(userDefaultLanguageId()));
    if (loadCatalogFile(code)) return true;
    return loadCatalogFile("0809");
}

std::string MsgCatalog::getMessage(uint32_t id) {
    MutexLock guard(mutex);
    std::string text;
    bool found = false;
    if (loadCatalog()) {
        auto it = module.find(id);
        if (it != module.end()) {
            text = it->second;
            found = true;
        }
    }
    if (!found) found = systemMessageText(id, text);
    if (found) {
        boost::algorithm::trim_right(text, locale);
        return text;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "Message 0x%x not found in the catalog.", static_cast<unsigned>(id));
    return buf;
}

}  // namespace NARROW_CHAR_PAL
