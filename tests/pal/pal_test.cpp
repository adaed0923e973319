#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <thread>

#include "pal/exceptions.h"
#include "pal/last_error.h"
#include "pal/msg_catalog.h"
#include "pal/mutex.h"
#include "pal/system_text.h"
#include "support/temp_dir.h"

using namespace NARROW_CHAR_PAL;

TEST(PalExceptions, MessagesAndFields) {
    AssertFailure a("bad index", 12, nullptr);
    EXPECT_EQ(a.message(), "Assert Failure: bad index");
    EXPECT_EQ(a.line, 12);
    EXPECT_EQ(a.file, "");

    WindowsError e(EACCES, 37, "mutex");
    EXPECT_EQ(e.message(), "Permission denied");
    WindowsError copy(e);
    EXPECT_EQ(copy.code, static_cast<uint32_t>(EACCES));
    EXPECT_EQ(copy.file, "mutex");

    EXPECT_EQ(WindowsError(0xDEADBEEF, 1, "x").message(), "Message 0xdeadbeef not found in the catalog.");
    try {
        throw WindowsError(ENOENT, 5, "f");
    } catch (const Exception& ex) {
        EXPECT_EQ(ex.message(), "No such file or directory");
    }
}

TEST(PalSystemText, KnownUnknownAndHttpCodes) {
    EXPECT_EQ(getSystemErrorText(ENOENT), "No such file or directory");
    EXPECT_EQ(getSystemErrorText(4000000000u), "(Error: 4000000000)");
    EXPECT_EQ(getSystemErrorText(12002), "(Error: 12002)");
    // The HTTP client's texts keep their length; line ends become blanks.
    setHttpErrorTextLookup([](uint32_t code) -> const char* { return code == 12002 ? "Timed out\r\n" : nullptr; });
    EXPECT_EQ(getSystemErrorText(12002), "Timed out  ");
    EXPECT_EQ(getSystemErrorText(12003), "(Error: 12003)");
    setHttpErrorTextLookup(nullptr);
}

TEST(PalIntToString, Values) {
    const struct {
        int32_t value;
        const char* text;
    } cases[] = {{0, "0"}, {-2147483647 - 1, "-2147483648"}, {INT_MAX, "2147483647"}, {-7, "-7"}};
    for (const auto& c : cases) {
        std::string s = "junk";
        EXPECT_TRUE(intToString(c.value, s));
        EXPECT_EQ(s, c.text);
    }
}

TEST(PalLastError, CapturedPerThread) {
    errno = ENOENT;
    EXPECT_EQ(captureLastError(), static_cast<uint32_t>(ENOENT));
    std::thread([] {
        EXPECT_EQ(getLastError(), 0u);
        setLastError(99);
    }).join();
    EXPECT_EQ(getLastError(), static_cast<uint32_t>(ENOENT));
}

TEST(PalMutex, RecursiveAndExclusive) {
    Mutex m;
    {
        MutexLock outer(m);
        MutexLock inner(m);  // the holder may take it again
    }
    int counter = 0;
    auto work = [&] {
        for (int i = 0; i < 10000; ++i) {
            MutexLock g(m);
            ++counter;
        }
    };
    std::thread t1(work), t2(work);
    t1.join();
    t2.join();
    EXPECT_EQ(counter, 20000);
}

namespace {
class DirCatalog : public MsgCatalog {
public:
    DirCatalog(const std::string& dir, const std::string& base) : MsgCatalog(base), dir_(dir) {}
    std::string catalogDirectory() const override { return dir_ + "/"; }

private:
    std::string dir_;
};
}  // namespace

TEST(PalMsgCatalog, FileThenSystemThenFallback) {
    tarvex_test::TempDir dir("cat");
    DirCatalog cat(dir.path(), "bvmsg");
    EXPECT_EQ(cat.catalogFileName("0407"), dir.path() + "/bvmsg0407.msg");
    // No file yet: system texts, and the load is tried again later.
    EXPECT_EQ(cat.getMessage(ENOENT), "No such file or directory");
    EXPECT_FALSE(cat.isLoaded());
    // The user's language is missing, the fallback language 0809 is used.
    tarvex_test::writeFile(dir.file("bvmsg0809.msg"), "1f4 Own text\t \r\n2 Replaced system text\n");
    EXPECT_EQ(cat.getMessage(0x1f4), "Own text");
    EXPECT_TRUE(cat.isLoaded());
    EXPECT_EQ(cat.getMessage(2), "Replaced system text");
    EXPECT_EQ(cat.getMessage(ENOENT + 1), getSystemErrorText(ENOENT + 1));
    EXPECT_EQ(cat.getMessage(0xabcdef), "Message 0xabcdef not found in the catalog.");
}

// An ID is a whole hexadecimal number of 32 bits; a line with anything else
// is skipped, and a wider ID never lands on another message's place.
TEST(PalMsgCatalog, LinesWithoutAWholeIdAreSkipped) {
    tarvex_test::TempDir dir("cat");
    DirCatalog cat(dir.path(), "bv");
    tarvex_test::writeFile(dir.file("bv0809.msg"),
                           "1f4 Own text\n1000001f4 Too wide\n 2 Leading blank\n0x3 Prefixed\n+4 Signed\n"
                           "5x Trailing\nA0\n");
    EXPECT_EQ(cat.getMessage(0x1f4), "Own text");
    for (uint32_t id : {2u, 3u, 4u, 5u})
        EXPECT_EQ(cat.getMessage(id), getSystemErrorText(id)) << id;
    EXPECT_EQ(cat.getMessage(0xa0), "");  // an ID alone has the empty text
}

TEST(PalMsgCatalog, UserLanguageBeforeFallbackLanguage) {
    tarvex_test::TempDir dir("cat");
    char own[8];
    std::snprintf(own, sizeof own, "%04x", static_cast<unsigned>(userDefaultLanguageId()));
    tarvex_test::writeFile(dir.file(std::string("bv") + own + ".msg"), "10 user language\n");
    tarvex_test::writeFile(dir.file("bv0809.msg"), "10 fallback language\n");
    DirCatalog cat(dir.path(), "bv");
    EXPECT_EQ(cat.getMessage(0x10), "user language");
}

TEST(PalMsgCatalog, EmptyBaseNameNeverLoads) {
    MsgCatalog cat("");
    EXPECT_FALSE(cat.loadCatalog());
    EXPECT_EQ(cat.getMessage(ENOENT), "No such file or directory");
}
