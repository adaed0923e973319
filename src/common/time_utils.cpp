#include "common/time_utils.h"

#include <cstring>
#include <string>

namespace {

// Writes the 24-character text of record into buffer (64 bytes); false when
// it does not come out as 24 characters.
bool formatRecord(const struct tm& record, char* buffer) {
    size_t n = std::strftime(buffer, 64, "%a %b %d %H:%M:%S %Y", &record);
    if (n != 24) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

}  // namespace

time_t CTimeUtils::now() {
    value = std::time(nullptr);
    return value;
}

const char* CTimeUtils::formatTime(time_t t) {
    struct tm record;
    if (!localtime_r(&t, &record) || !formatRecord(record, buffer)) {
        error = true;
        buffer[0] = '\0';
    }
    return buffer;
}

namespace bvparser_internal {

const char* CTimeUtils::asctime(const struct tm* record) {
    buffer[0] = '\0';
    if (!record) return buffer;
    struct tm copy = *record;
    if (!formatRecord(copy, buffer)) error = true;
    return buffer;
}

struct tm* CTimeUtils::gmtime(time_t t) {
    if (!gmtime_r(&t, &tm_)) error = true;
    return &tm_;
}

struct tm* CTimeUtils::localtime(time_t t) {
    if (!localtime_r(&t, &tm_)) error = true;
    return &tm_;
}

bool CTimeUtils::sameTimeString(const char* a, const char* b) {
    std::string x(a ? a : ""), y(b ? b : "");
    if (x.size() > 8 && x[8] == ' ') x[8] = '0';
    if (y.size() > 8 && y[8] == ' ') y[8] = '0';
    return x == y;
}

}  // namespace bvparser_internal
