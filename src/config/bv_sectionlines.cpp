#include "config/bv_sectionlines.h"

#include <cstring>

namespace brenvik {
namespace sectionsyntax {

bool isSectionEndLine(const std::string& line) {
    size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (line.size() - i < 3) return false;
    if (!startsWithNoCase(line.substr(i, 3), "end")) return false;
    if (line.size() == i + 3) return true;
    char next = line[i + 3];
    return next == ' ' || next == '\n' || next == '\r';
}

bool skipSection(bv_sectionlines& lines) {
    std::string line;
    while (lines.nextLine(line)) {
        if (isSectionEndLine(line)) return false;
    }
    return true;
}

bool startsWithNoCase(const std::string& line, const char* key) {
    size_t n = std::strlen(key);
    if (line.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        char a = line[i], b = key[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

bool equalsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && startsWithNoCase(a, b.c_str());
}

void trimTrailingBlanks(std::string& line) {
    while (!line.empty()) {
        char c = line.back();
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') break;
        line.pop_back();
    }
}

bool isBlankLine(const std::string& line) {
    for (char c : line) {
        if (c != ' ' && c != '\t' && c != '\x1a') return false;
    }
    return true;
}

}  // namespace sectionsyntax
}  // namespace brenvik
