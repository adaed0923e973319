#include "common/text_utils.h"

#include <cctype>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <strings.h>

bool isBlankLine(const char* text) {
    if (!text) return true;
    for (const char* p = text; *p && *p != '\n' && *p != '\r'; ++p)
        if (*p != '\t' && *p != 0x1A && *p != ' ') return false;
    return true;
}

int compareNoCase(const char* a, const char* b) { return strcasecmp(a, b); }

int compareNoCasePrefix(const char* text, const char* expected, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        unsigned char t = static_cast<unsigned char>(text[i]);
        unsigned char e = static_cast<unsigned char>(expected[i]);
        if (t == 0 || std::toupper(t) != std::toupper(e)) return -1;
    }
    return 0;
}

const char* skipChars(const char* text, const char* set) {
    if (!text) return nullptr;
    return text + std::strspn(text, set);
}

void trimRight(char* text) {
    if (!text) return;
    size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\t' || text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' '))
        text[--n] = '\0';
}

void trimSpaces(std::string& text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    size_t last = text.find_last_not_of(' ');
    if (first != 0 || last + 1 != text.size()) text = text.substr(first, last - first + 1);
}

const char* findFirstOf(const char* text, bool backOverBlanks, const char* set) {
    if (!text) return nullptr;
    const char* p = std::strpbrk(text, set);
    if (!p) return nullptr;
    if (backOverBlanks)
        while (p > text && p[-1] == ' ') --p;
    return p;
}

void copyWithoutAngleBrackets(const char* source, char* destination, size_t size) {
    if (size == 0) return;
    size_t limit = size >= 2 ? size - 2 : 0;
    size_t n = 0;
    for (const char* p = source; p && *p && n < limit; ++p)
        if (*p != '<' && *p != '>') destination[n++] = *p;
    destination[n] = '\0';
}

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}
}  // namespace

std::string urlDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
        } else if (text.size() - i > 2) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        }
    }
    return out;
}

char* setEnglishLocale() {
    const char* current = std::setlocale(LC_ALL, nullptr);
    if (!current) return nullptr;
    char* saved = strdup(current);
    if (!saved) return nullptr;
    std::setlocale(LC_ALL, "C");
    return saved;
}

void restoreLocale(char* saved) {
    if (!saved) return;
    std::setlocale(LC_ALL, saved);
    std::free(saved);
}

const char* findBytes(const char* data, size_t size, std::string_view bytes) {
    if (bytes.empty() || data == nullptr) return nullptr;
    return static_cast<const char*>(memmem(data, size, bytes.data(), bytes.size()));
}
