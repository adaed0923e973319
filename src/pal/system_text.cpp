#include "pal/system_text.h"

#include <atomic>
#include <cstdio>

#include "pal/msg_catalog.h"

namespace NARROW_CHAR_PAL {

namespace {
std::atomic<HttpErrorTextLookup> httpLookup{nullptr};
}

bool intToString(int32_t value, std::string& text) {
    char buf[31];
    int n = std::snprintf(buf, sizeof buf, "%d", value);
    if (n < 1 || n > 30) {
        text.clear();
        return false;
    }
    text = buf;
    return true;
}

void setHttpErrorTextLookup(HttpErrorTextLookup lookup) { httpLookup.store(lookup); }

namespace {

const char* ownErrorText(uint32_t code) {
    switch (code) {
        case kErrorFileHardLinked:
            return "File has more than one link (a hard link)";
        case kErrorFileOtherOwner:
            return "File belongs to another user";
        case kErrorFileHasNul:
            return "File contains a NUL byte";
        case kErrorFileNotRegular:
            return "Not a regular file";
        default:
            return nullptr;
    }
}

}  // namespace

}  // namespace NARROW_CHAR_PAL

std::string getSystemErrorText(uint32_t code) {
    if (const char* own = NARROW_CHAR_PAL::ownErrorText(code)) return own;
    std::string text;
    bool found = code < NARROW_CHAR_PAL::kHttpErrorBase && NARROW_CHAR_PAL::systemMessageText(code, text);
    if (!found) {
        NARROW_CHAR_PAL::HttpErrorTextLookup lookup = NARROW_CHAR_PAL::httpLookup.load();
        const char* s = lookup ? lookup(code) : nullptr;
        if (s) {
            text = s;
            found = true;
        }
    }
    if (!found) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "(Error: %u)", static_cast<unsigned>(code));
        return buf;
    }
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}
