#pragma once
// Time texts of 24 characters, "Www Mmm dd hh:mm:ss yyyy" (day zero-padded),
// as the logs print them.
#include <ctime>

class CTimeUtils {
public:
    CTimeUtils() = default;
    virtual ~CTimeUtils() = default;

    time_t now();
    // The local time t as text; on failure the error flag is set and the
    // text is empty.
    const char* formatTime(time_t t);

    bool hasError() const { return error; }
    const char* text() const { return buffer; }
    time_t time() const { return value; }

protected:
    bool error = false;
    char buffer[64] = {};
    time_t value = 0;
};

namespace bvparser_internal {

class CTimeUtils : public ::CTimeUtils {
public:
    // Text of a copy of the record; null gives the empty text.
    const char* asctime(const struct tm* record);
    struct tm* gmtime(time_t t);
    struct tm* localtime(time_t t);
    // Equal after a blank at index 8 (before a one-digit day) counts as "0".
    static bool sameTimeString(const char* a, const char* b);

    const struct tm& record() const { return tm_; }

private:
    struct tm tm_ = {};
};

}  // namespace bvparser_internal
