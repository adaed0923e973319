#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/bv_winmutex.h"
#include "common/time_utils.h"
#include "support/scoped_environment.h"

namespace {
// Runs the body with TZ=UTC so that local time equals UTC; the zone of
// before is read again at the end.
struct ZoneReload {
    ~ZoneReload() { tzset(); }
};
struct UtcZone {
    UtcZone() { tzset(); }
    ZoneReload reload;  // runs after the variable is back
    tarvex_test::ScopedEnvironment zone{"TZ", std::string("UTC")};
};
}  // namespace

TEST(CTimeUtils, FormatsTwentyFourCharactersDayZeroPadded) {
    UtcZone utc;
    const struct {
        time_t t;
        const char* text;
    } cases[] = {
        {0, "Thu Jan 01 00:00:00 1970"},
        {1709294645, "Fri Mar 01 12:04:05 2024"},
        {1734567890, "Thu Dec 19 00:24:50 2024"},
    };
    for (const auto& c : cases) {
        CTimeUtils tu;
        EXPECT_STREQ(tu.formatTime(c.t), c.text);
        EXPECT_EQ(std::strlen(tu.text()), 24u);
        EXPECT_FALSE(tu.hasError());
    }
    CTimeUtils tu;
    time_t before = time(nullptr);
    time_t stored = tu.now();
    EXPECT_GE(stored, before);
    EXPECT_EQ(tu.time(), stored);
}

TEST(CTimeUtils, UnformattableTimeSetsErrorAndEmptiesText) {
    CTimeUtils tu;
    // A year beyond what fits in struct tm / the 24-character form.
    EXPECT_STREQ(tu.formatTime(static_cast<time_t>(1) << 60), "");
    EXPECT_TRUE(tu.hasError());
}

TEST(ParserTimeUtils, RecordsAndTexts) {
    UtcZone utc;
    bvparser_internal::CTimeUtils tu;
    struct tm* r = tu.gmtime(1709294645);
    EXPECT_EQ(r->tm_mday, 1);
    EXPECT_STREQ(tu.asctime(r), "Fri Mar 01 12:04:05 2024");
    EXPECT_STREQ(tu.asctime(nullptr), "");
    EXPECT_FALSE(tu.hasError());
    EXPECT_EQ(tu.localtime(0)->tm_year, 70);

    EXPECT_TRUE(bvparser_internal::CTimeUtils::sameTimeString("Fri Mar  1 12:04:05 2024", "Fri Mar 01 12:04:05 2024"));
    EXPECT_TRUE(bvparser_internal::CTimeUtils::sameTimeString("Fri Mar 01 12:04:05 2024", "Fri Mar 01 12:04:05 2024"));
    EXPECT_FALSE(bvparser_internal::CTimeUtils::sameTimeString("Fri Mar 01 12:04:05 2024", "Fri Mar 02 12:04:05 2024"));
    EXPECT_TRUE(bvparser_internal::CTimeUtils::sameTimeString("short", "short"));
}

TEST(GlobalMutex, OneRecursiveMutexForTheProcess) {
    bv_winmutex& m = getGlobalMutex();
    EXPECT_EQ(&m, &getGlobalMutex());
    EXPECT_EQ(m.lock(), 0);
    EXPECT_EQ(m.lock(), 0);  // the holder takes it again
    m.unlock();
    m.unlock();
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 5000; ++i) {
            bv_winmutex_lock g(getGlobalMutex());
            ++counter;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 10000);
}

TEST(GlobalMutex, LockWithoutMutexThrows) {
    bv_winmutex m;
    m.close();
    try {
        m.lock();
        FAIL() << "no throw";
    } catch (unsigned long code) {
        EXPECT_EQ(code, 0xFFFFFFFFul);
    }
}
