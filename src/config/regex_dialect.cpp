#include "config/regex_dialect.h"

#include <cstring>

namespace brenvik {

namespace {

// Length of the bracket expression that starts at text[pos] == '[', or 0 when
// it is not closed (glibc then reports the missing bracket itself).
std::size_t bracketLength(const std::string& text, std::size_t pos) {
    std::size_t i = pos + 1;
    if (i < text.size() && text[i] == '^') ++i;
    if (i < text.size() && text[i] == ']') ++i;  // a leading ']' is a member
    while (i < text.size()) {
        char c = text[i];
        if (c == ']') return i - pos + 1;
        if (c == '[' && i + 1 < text.size() &&
            (text[i + 1] == ':' || text[i + 1] == '=' || text[i + 1] == '.')) {
            // [:class:], [=equiv=], [.coll.] end at the matching "x]".
            char delim = text[i + 1];
            std::size_t j = i + 2;
            while (j + 1 < text.size() && !(text[j] == delim && text[j + 1] == ']')) ++j;
            if (j + 1 >= text.size()) return 0;
            i = j + 2;
            continue;
        }
        ++i;
    }
    return 0;
}

bool keepsBackslash(char c) {
    return std::strchr("(){}.[\\*^$", c) != nullptr || (c >= '1' && c <= '9');
}

}  // namespace

std::string translateBsdRegex(const std::string& pattern) {
    std::string out;
    out.reserve(pattern.size() + 4);
    std::size_t i = 0;
    while (i < pattern.size()) {
        char c = pattern[i];
        if (c == '\\') {
            if (i + 1 >= pattern.size()) {  // trailing backslash: glibc reports it
                out += c;
                ++i;
                continue;
            }
            char n = pattern[i + 1];
            if (keepsBackslash(n)) out += '\\';
            out += n;
            i += 2;
            continue;
        }
        if (c == '[') {
            if (pattern.compare(i, 7, "[[:<:]]") == 0) {
                out += "\\<";
                i += 7;
                continue;
            }
            if (pattern.compare(i, 7, "[[:>:]]") == 0) {
                out += "\\>";
                i += 7;
                continue;
            }
            std::size_t len = bracketLength(pattern, i);
            if (len == 0) {  // unclosed: hand the rest over unchanged
                out.append(pattern, i, std::string::npos);
                break;
            }
            out.append(pattern, i, len);
            i += len;
            continue;
        }
        out += c;
        ++i;
    }
    return out;
}

int bsdRegcomp(regex_t* preg, const char* pattern, int cflags) {
    if (pattern == nullptr || *pattern == '\0') return REG_BADPAT;
    std::string translated = translateBsdRegex(pattern);
    return regcomp(preg, translated.c_str(), cflags);
}

BsdRegex::~BsdRegex() { release(); }

void BsdRegex::release() {
    if (compiled_) regfree(&re_);
    compiled_ = false;
}

int BsdRegex::compile(const std::string& pattern, int cflags) {
    release();
    status_ = bsdRegcomp(&re_, pattern.c_str(), cflags);
    compiled_ = status_ == 0;
    return status_;
}

int BsdRegex::exec(const char* text, std::size_t nmatch, regmatch_t* pmatch, int eflags) const {
    if (!compiled_) return REG_BADPAT;
    return regexec(&re_, text, nmatch, pmatch, eflags);
}

std::string BsdRegex::errorText(int status) const {
    char buf[256];
    regerror(status, compiled_ ? &re_ : nullptr, buf, sizeof buf);
    return buf;
}

}  // namespace brenvik
