#include "config/bv_configsource.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/bv_errs.h"
#include "common/file_utils.h"
#include "common/io_utils.h"
#include "config/bv_configfetcher.h"
#include "config/bv_sectionlines.h"
#include "pal/last_error.h"

namespace brenvik {

int classifyFileName(const char* name) {
    if (name == nullptr) return 0;
    std::size_t len = std::strlen(name);
    if (len <= 3) return 0;
    int kind = 1;
    if (strncasecmp(name, "http:", 5) == 0 || strncasecmp(name, "https:", 6) == 0) kind += 2;
    if (strcasecmp(name + len - 3, "xml") == 0) kind += 1;
    return kind;
}

std::string toBackslashPath(const char* path) { return path != nullptr ? path : ""; }

bool readConfigurationFile(const std::string& path, std::string& text) {
    return fileReadWhole(osPath(path).c_str(), true, kMaxConfigurationFile, text);
}

bv_configsource::bv_configsource(bv_errs* owner, const bv_connectionsettings& settings)
    : owner_(owner), settings_(settings) {}

bv_configsource::~bv_configsource() = default;

void bv_configsource::close() { lines_.reset(); }

bool bv_configsource::open(const std::string& name, int kind, bool flag) {
    close();
    name_ = name;
    int cls = classifyFileName(name.c_str());
    if (cls <= 2) {
        std::string text;
        if (!readConfigurationFile(name, text)) {
            NARROW_CHAR_PAL::captureLastError();
            if (owner_ != nullptr) owner_->setSystemError(kMsgFailedToOpenFile, name, "r");
            return false;
        }
        lines_ = std::make_unique<bv_textlines>(std::move(text), owner_, name_);
        return true;
    }
    bv_configfetcher fetcher(owner_, &settings_);
    bool ok = false;
    switch (kind) {
        case CONFIG_MAIN: ok = fetcher.fetchMainConfig(name); break;
        case CONFIG_ENZYMES: ok = fetcher.fetchEnzymes(name); break;
        case CONFIG_FRAGMENTATION_RULES: ok = fetcher.fetchFragmentationRules(name); break;
        case CONFIG_MASSES: ok = fetcher.fetchMasses(name); break;
        case CONFIG_MOD_FILE: ok = fetcher.fetchModFile(name, flag); break;
        case CONFIG_UNIMOD_COMPRESSED: ok = fetcher.fetchUnimodCompressed(name); break;
        case CONFIG_TAXONOMY: ok = fetcher.fetchTaxonomy(name); break;
        default: break;
    }
    if (!ok) {
        // An answer other than 200 records nothing in the client; the
        // configuration must not then pass for valid with every default.
        if (owner_ != nullptr && owner_->isValid()) owner_->setError(kMsgFailedToOpenFile, name, "r");
        return false;
    }
    // Text ends at a NUL, as it did for the C string it was read from.
    lines_ = std::make_unique<bv_textlines>(fetcher.getText().c_str(), owner_, name_);
    return true;
}

bool bv_configsource::readLine(std::string& line) { return lines_ != nullptr && lines_->nextLine(line); }

bool bv_configsource::readLine(char* buffer, int size, int& length, char*& cursor) {
    length = 0;
    cursor = buffer;
    if (buffer == nullptr || size <= 0 || lines_ == nullptr) return false;
    std::string raw;
    if (!lines_->nextRawLine(raw)) return false;
    std::size_t keep = std::min(raw.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, raw.data(), keep);
    buffer[keep] = '\0';
    length = static_cast<int>(keep);
    while (*cursor == ' ' || *cursor == '\t') ++cursor;
    return true;
}

}  // namespace brenvik
