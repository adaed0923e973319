#include "database/bv_cachefile.h"

#include "common/system_calls.h"
#include "common/time_utils.h"
#include "support/fake_clock.h"
#include "support/taxonomy_fixture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using namespace brenvik;
using namespace tarvex_test;

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string gmText(time_t t) {
    bvparser_internal::CTimeUtils tu;
    return tu.asctime(tu.gmtime(t));
}

time_t mtimeOf(const std::string& path) {
    struct stat st;
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return st.st_mtime;
}

void setMtime(const std::string& path, time_t t) {
    struct timespec ts[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), ts, 0), 0);
}

// A cache written straight through the constant-database writer, for header
// keys that bv_cachefile itself would not write.
void writeRaw(const std::string& path, const Pairs& pairs) {
    ::unlink(path.c_str());
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    ASSERT_GE(fd, 0);
    bv_cdbmake w;
    makeStart(w, fd);
    for (const auto& [k, v] : pairs) ASSERT_EQ(makeAdd(w, k.data(), k.size(), v.data(), v.size()), 0);
    ASSERT_EQ(makeFinish(w), 0);
    ::close(fd);
}

struct Fixture {
    TempDir dir{"cache"};
    std::string source = dir.file("names.dmp");
    std::string cache = dir.file("names.dmp.cdb");
    Fixture() { writeFile(source, "1\t|\troot\t|\n2\t|\tBacteria\t|\n"); }

    void build(const char* version = "1.0", const Pairs& extra = {}) {
        bv_cachefile c(cache.c_str(), version, source.c_str());
        ASSERT_TRUE(c.create());
        ASSERT_TRUE(c.isCreating());
        ASSERT_TRUE(c.add("1", "root;1"));
        ASSERT_TRUE(c.add("2", "Bacteria;1"));
        ASSERT_TRUE(c.add("2", "eubacteria;2"));
        for (const auto& [k, v] : extra) ASSERT_TRUE(c.add(k.c_str(), v.c_str(), k.size(), v.size()));
        ASSERT_TRUE(c.finish());
        ASSERT_TRUE(c.isOpenForReading());
        ASSERT_EQ(c.getLastError(), 0) << c.getLastErrorString();
    }
    // The header keys of a cache of the fixture's source, as the writer
    // stores them, for raw variants.
    Pairs header(bool exact, time_t shift = 0) {
        Pairs p = {{"=0.5", gmText(mtimeOf(source) + shift)},
                   {"=0.4", std::to_string(readFile(source).size())},
                   {"=0.2", "1.0"},
                   {"1", "root;1"}};
        if (exact) p.push_back({"=0.6", "1"});
        return p;
    }
};

int openDescriptors() {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd) count += ::fcntl(fd, F_GETFD) >= 0 ? 1 : 0;
    return count;
}

// Opens the fixture's cache both ways and returns the last message numbers
// (re-creation allowed, not allowed) and the usable flags.
struct Verdict {
    bool okRecreate, okContinue;
    int recreate, cont;
    bool usableRecreate, usableContinue;
};

Verdict judge(const Fixture& f, const char* version = "1.0") {
    Verdict v;
    bv_cachefile a(f.cache.c_str(), version, f.source.c_str());
    v.okRecreate = a.open(true);
    v.recreate = a.getLastError();
    v.usableRecreate = a.isUsable();
    bv_cachefile b(f.cache.c_str(), version, f.source.c_str());
    v.okContinue = b.open(false);
    v.cont = b.getLastError();
    v.usableContinue = b.isUsable();
    return v;
}

}  // namespace

TEST(CacheFile, BuildsAndReadsBack) {
    Fixture f;
    f.build();
    bv_cachefile c(f.cache.c_str(), "1.0", f.source.c_str());
    ASSERT_TRUE(c.open(true)) << c.getLastErrorString();
    EXPECT_EQ(c.getValue("2", 0), "Bacteria;1");
    EXPECT_EQ(c.getValue("2", 1), "eubacteria;2");
    EXPECT_EQ(c.getValue("2", 2), "");
    EXPECT_EQ(c.getAllValues("2"), (std::vector<std::string>{"Bacteria;1", "eubacteria;2"}));
    EXPECT_TRUE(c.getAllValues("3").empty());
    EXPECT_EQ(c.getValue("=0.2", 0), "1.0");
    EXPECT_EQ(c.getValue("=0.6", 0), "1");
    EXPECT_EQ(c.getValue("=0.4", 0), std::to_string(readFile(f.source).size()));
    EXPECT_EQ(c.getValue("=0.5", 0), gmText(mtimeOf(f.source)));
    // Opening again replaces the first descriptor instead of keeping it.
    const int before = openDescriptors();
    ASSERT_TRUE(c.open(true));
    ASSERT_TRUE(c.open(false));
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(c.getValue("1", 0), "root;1");
    // Readable by others: created 0666 under the umask.
    mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat st;
    ASSERT_EQ(::stat(f.cache.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask);
}

TEST(CacheFile, ValidityAgainstVersionSourceAndHeaderKeys) {
    struct Case {
        const char* name;
        std::function<void(Fixture&)> setUp;
        int recreate, cont;     // last message with / without re-creation (0 = valid)
        bool usableAfterRecreate = true;
        bool rebuildIsValid = true;  // a cache of a missing source never is
    };
    const std::vector<Case> cases = {
        {"fresh", [](Fixture& f) { f.build(); }, 0, 0},
        {"version missing", [](Fixture& f) {
             auto h = f.header(true);
             h.erase(h.begin() + 2);
             writeRaw(f.cache, h);
         }, 47, 48},
        {"other version", [](Fixture& f) { f.build("0.9"); }, 45, 46},
        {"source grew", [](Fixture& f) { f.build(); writeFile(f.source, readFile(f.source) + "3\n"); }, 53, 54},
        {"source time moved a day", [](Fixture& f) { f.build(); setMtime(f.source, mtimeOf(f.source) + 86400); }, 53, 54},
        {"source time moved an hour, exact time recorded", [](Fixture& f) {
             f.build();
             setMtime(f.source, mtimeOf(f.source) + 3600);
         }, 53, 54},
        {"one hour later without exact-time key", [](Fixture& f) { writeRaw(f.cache, f.header(false, 3600)); }, 0, 0},
        {"one hour earlier without exact-time key", [](Fixture& f) { writeRaw(f.cache, f.header(false, -3600)); }, 0, 0},
        {"two hours without exact-time key", [](Fixture& f) { writeRaw(f.cache, f.header(false, 7200)); }, 53, 54},
        {"an hour and a second without exact-time key", [](Fixture& f) { writeRaw(f.cache, f.header(false, 3601)); }, 53, 54},
        {"source removed", [](Fixture& f) { f.build(); ::unlink(f.source.c_str()); }, 53, 54, true, false},
        {"size limit 4Gb of an older writer", [](Fixture& f) { auto h = f.header(true); h.push_back({"=0.3", "4Gb"}); writeRaw(f.cache, h); }, 44, 42, true},
        {"size limit 2Gb of an older writer", [](Fixture& f) { auto h = f.header(true); h.push_back({"=0.3", "2Gb"}); writeRaw(f.cache, h); }, 44, 42, true},
        {"size limit 256TB", [](Fixture& f) { auto h = f.header(true); h.push_back({"=0.3", "256TB"}); writeRaw(f.cache, h); }, 42, 42, false},
        {"shorter than a header", [](Fixture& f) { writeFile(f.cache, std::string(100, 'x')); }, 47, 48},
        {"empty leftover", [](Fixture& f) { writeFile(f.cache, ""); }, 47, 48},
        {"damaged footer", [](Fixture& f) {
             f.build();
             std::string b = readFile(f.cache);
             b[b.size() - 40] = 16;  // position size 16
             writeFile(f.cache, b);
         }, 47, 48},
        {"missing", [](Fixture&) {}, 35, 35},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        c.setUp(f);
        Verdict v = judge(f);
        EXPECT_EQ(v.recreate, c.recreate);
        EXPECT_EQ(v.cont, c.cont);
        EXPECT_EQ(v.okRecreate, c.recreate == 0);
        EXPECT_EQ(v.okContinue, c.cont == 0);
        EXPECT_EQ(v.usableRecreate, c.usableAfterRecreate);
        // Whatever was wrong (short of the size limit), a rebuild makes it valid.
        if (c.usableAfterRecreate && c.recreate != 0) {
            bv_cachefile r(f.cache.c_str(), "1.0", f.source.c_str());
            ASSERT_TRUE(r.create()) << r.getLastErrorString();
            ASSERT_TRUE(r.isCreating());
            r.add("k", "v");
            ASSERT_TRUE(r.finish());
            if (!c.rebuildIsValid) continue;
            EXPECT_EQ(r.getLastError(), 0) << r.getLastErrorString();
            EXPECT_EQ(r.getValue("k", 0), "v");
        }
    }
}

TEST(CacheFile, MessageTextsNameTheFiles) {
    Fixture f;
    f.build();
    const size_t size = readFile(f.source).size();
    const time_t before = mtimeOf(f.source);
    writeFile(f.source, "changed");
    setMtime(f.source, before + 86400);
    bv_cachefile c(f.cache.c_str(), "1.0", f.source.c_str());
    EXPECT_FALSE(c.open(true));
    EXPECT_EQ(c.getLastErrorString(), f.source + " changed. " + gmText(before + 86400) + " (was " + gmText(before) +
                                          "), 7 bytes (was " + std::to_string(size) + "). Re-creating the cache file");
    bv_cachefile v(f.cache.c_str(), "2.0", nullptr);
    EXPECT_FALSE(v.open(false));
    EXPECT_EQ(v.getLastErrorString(), "Cache file " + f.cache + " is an old version. Continuing without cache");
}

TEST(CacheFile, BuildLockHeldElsewhereMeansBeingCreated) {
    Fixture f;
    f.build();
    // Another open file description holding the builder's lock: the same as
    // another process building the file.
    auto other = std::make_unique<ForeignCacheLock>(f.cache);
    ASSERT_TRUE(other->held());

    bv_cachefile c(f.cache.c_str(), "1.0", f.source.c_str());
    EXPECT_FALSE(c.open(true));
    EXPECT_EQ(c.getLastError(), 49);
    EXPECT_FALSE(c.isUsable());
    EXPECT_FALSE(c.create()) << "an unusable cache is never rebuilt";

    // A stale file under construction is not removed from under its builder.
    bv_cachefile d(f.cache.c_str(), "1.0", f.source.c_str());
    EXPECT_TRUE(d.create() == false);
    EXPECT_EQ(d.getLastError(), 49);
    EXPECT_TRUE(pathExists(f.cache));
    other.reset();

    // Readers do not count as builders for each other.
    bv_cachefile r1(f.cache.c_str(), "1.0", f.source.c_str());
    bv_cachefile r2(f.cache.c_str(), "1.0", f.source.c_str());
    EXPECT_TRUE(r1.open(true));
    EXPECT_TRUE(r2.open(true));
}

namespace {

// Another task that locks the new cache file between its creation and the
// builder's lock (it found the name unlocked): the open that creates it
// lets the lock be taken at once.
std::string lockTakenOn;
std::unique_ptr<ForeignCacheLock> lockTakenMeanwhile;
int openThenLockElsewhere(const char* path, int flags, mode_t mode) {
    const int fd = ::open(path, flags, mode);
    if (fd >= 0 && (flags & O_CREAT) && lockTakenOn == path) {
        lockTakenMeanwhile = std::make_unique<ForeignCacheLock>(path);
        lockTakenOn.clear();
    }
    return fd;
}

}  // namespace

// The builder tries its lock again 10 times, 10 ms apart, on the injectable
// clock: it builds once the other lets go, and gives up after its tries.
TEST(CacheFile, BuildLockTakenMeanwhileIsTriedAgainOnTheInjectableClock) {
    const struct {
        const char* name;
        int letGoAfterPauses;  // -1: never
        bool builds;
        int64_t elapsedMs;
    } cases[] = {
        {"let go after three pauses", 3, true, 30},
        {"held for good", -1, false, 90},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        lockTakenOn = f.cache;
        FakeClock clock;
        clock.onPause = [&](int64_t) {
            if (clock.pauses() == c.letGoAfterPauses) lockTakenMeanwhile.reset();
        };
        const auto saved = systemCalls().open;
        systemCalls().open = &openThenLockElsewhere;
        bv_cachefile b(f.cache.c_str(), "1.0", f.source.c_str());
        EXPECT_TRUE(b.create());
        systemCalls().open = saved;
        EXPECT_TRUE(lockTakenOn.empty()) << "the lock was taken meanwhile";
        EXPECT_EQ(b.isCreating(), c.builds);
        EXPECT_EQ(b.getLastError(), c.builds ? 0 : 49);
        EXPECT_EQ(clock.elapsedMs(), c.elapsedMs);
        b.abandon();
        lockTakenMeanwhile.reset();
    }
}

// A task that finds the cache being built waits on the injectable clock:
// until the builder lets go or its unfinished file is removed, and at most
// the bound it is given.
TEST(CacheFile, WaitForBuildEndsWithTheBuildOrAtItsBound) {
    struct Case {
        const char* name;
        bool fileThere;
        bool holderLetsGo;
        bool fileRemoved;
        bool free;
        int64_t leastMs;
        int64_t mostMs;
    };
    constexpr int kBound = 30000;
    const Case cases[] = {
        {"no file", false, false, false, true, 0, 0},
        {"file not held", true, false, false, true, 0, 0},
        {"holder lets go after a second", true, true, false, true, 1000, 1050},
        {"unfinished file removed after a second", true, false, true, true, 1000, 1050},
        {"held for good", true, false, false, false, kBound, kBound + 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string cache = dir.path() + "/n.dmp.cdb";
        std::unique_ptr<ForeignCacheLock> holder;
        if (c.fileThere) {
            writeFile(cache, "");
            if (c.holderLetsGo || c.fileRemoved || !c.free) {
                holder = std::make_unique<ForeignCacheLock>(cache);
                ASSERT_TRUE(holder->held());
            }
        }
        FakeClock clock;
        clock.onPause = [&](int64_t elapsedMs) {
            if (elapsedMs < 1000 || !holder || !(c.holderLetsGo || c.fileRemoved)) return;
            if (c.fileRemoved) ::unlink(cache.c_str());
            holder.reset();
        };
        bv_cachefile waiter(cache.c_str(), "1.0", nullptr);
        EXPECT_EQ(waiter.waitForBuild(kBound), c.free);
        EXPECT_GE(clock.elapsedMs(), c.leastMs);
        EXPECT_LE(clock.elapsedMs(), c.mostMs);
    }
}

TEST(CacheFile, IntegerValues) {
    Fixture f;
    {
        bv_cachefile c(f.cache.c_str(), "1.0", nullptr);
        ASSERT_TRUE(c.create());
        EXPECT_TRUE(c.addInt32("256", 0x100));
        EXPECT_TRUE(c.addInt32("zero", 0));
        EXPECT_TRUE(c.addInt32("max", 0xFFFFFFFF));
        EXPECT_TRUE(c.addInt64("big", 0x0000010000000000ULL));
        EXPECT_TRUE(c.add("six", "abcdef"));
        ASSERT_TRUE(c.finish());
    }
    bv_cachefile c(f.cache.c_str(), "1.0", nullptr);
    ASSERT_TRUE(c.open(true)) << c.getLastErrorString();
    EXPECT_EQ(c.getValue("256", 0), std::string("\x00\x01", 2));
    EXPECT_EQ(c.getValue("zero", 0), std::string("\x00", 1));
    EXPECT_EQ(c.getValue("big", 0).size(), 6u);
    bool found = false;
    EXPECT_EQ(c.getInt("256", found), 256u);
    EXPECT_TRUE(found);
    EXPECT_EQ(c.getInt("zero", found), 0u);
    EXPECT_TRUE(found);
    EXPECT_EQ(c.getInt("max", found), 0xFFFFFFFFu);
    EXPECT_EQ(c.getInt("absent", found), 0u);
    EXPECT_FALSE(found);
    EXPECT_EQ(c.getLastError(), 0);
    EXPECT_EQ(c.getInt("six", found), 0x64636261u);
    EXPECT_TRUE(found);
    EXPECT_EQ(c.getLastError(), 40);
    EXPECT_EQ(c.getLastErrorString(),
              "Value in cdb cache file (" + f.cache + ") is corrupt: Length of value > 8 bytes");
}

TEST(CacheFile, SourceTakenWhenTheBuildStarts) {
    Fixture f;
    bv_cachefile c(f.cache.c_str(), "1.0", f.source.c_str());
    ASSERT_TRUE(c.create());
    c.add("1", "root;1");
    // The source is replaced while the cache is being built from the old one.
    writeFile(f.source, "a longer, newer source file\n");
    c.finish();
    EXPECT_FALSE(c.isOpenForReading());
    EXPECT_EQ(c.getLastError(), 54);
    EXPECT_EQ(judge(f).recreate, 53);
}

TEST(CacheFile, AbandonedBuildIsIncomplete) {
    Fixture f;
    {
        bv_cachefile c(f.cache.c_str(), "1.0", f.source.c_str());
        ASSERT_TRUE(c.create());
        std::string value(5000, 'v');
        for (int i = 0; i < 10; ++i) c.add(std::to_string(i).c_str(), value.c_str());
        // Destroyed without finish: the lock goes with the descriptor.
    }
    Verdict v = judge(f);
    EXPECT_EQ(v.recreate, 47);
    EXPECT_EQ(v.cont, 48);
    EXPECT_TRUE(v.usableRecreate);
}

// A process started with its standard output closed: what it prints while
// building must not land in the cache (its descriptor stays off 0, 1 and 2).
TEST(CacheFile, BuiltWithStandardStreamsClosed) {
    Fixture f;
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(1);
        bv_cachefile c(f.cache.c_str(), "1.0", f.source.c_str());
        if (!c.create() || !c.isCreating()) ::_exit(10);
        c.add("1", "root;1");
        (void)!::write(1, "Content-type: text/xml\n", 23);
        c.add("2", "Bacteria;1");
        if (!c.finish() || c.getLastError() != 0) ::_exit(11);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    bv_cachefile c(f.cache.c_str(), "1.0", f.source.c_str());
    ASSERT_TRUE(c.open(false)) << c.getLastErrorString();
    EXPECT_EQ(c.getValue("1", 0), "root;1");
    EXPECT_EQ(c.getValue("2", 0), "Bacteria;1");
    EXPECT_EQ(readFile(f.cache).find("Content-type"), std::string::npos);
}

// A write that fails half-way (the file-size limit here) must not leave a
// cache that looks finished.
TEST(CacheFile, WriteErrorLeavesAnUnfinishedFile) {
    Fixture f;
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {16384, 16384};
        ::setrlimit(RLIMIT_FSIZE, &rl);
        bv_cachefile c(f.cache.c_str(), "1.0", f.source.c_str());
        if (!c.create() || !c.isCreating()) ::_exit(10);
        std::string value(1000, 'v');
        bool refused = false;
        for (int i = 0; i < 100; ++i) refused |= !c.add(std::to_string(i).c_str(), value.c_str());
        if (!refused) ::_exit(11);
        if (c.getLastError() != 41) ::_exit(12);
        if (c.finish()) ::_exit(13);
        if (c.getLastError() != 41) ::_exit(14);
        if (c.isOpenForReading()) ::_exit(15);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    Verdict v = judge(f);
    EXPECT_EQ(v.recreate, 47);
    EXPECT_EQ(v.cont, 48);
}

// Several processes want the same missing cache at once: exactly one builds
// it, the others go on without it, and the cache ends up complete.
TEST(CacheFile, ConcurrentFirstUseBuildsOnce) {
    Fixture f;
    constexpr int kProcesses = 6;
    constexpr int kRecords = 40000;
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(go[1]);
            char b;
            if (::read(go[0], &b, 1) != 0) ::_exit(20);  // released when the parent closes the pipe
            bv_cachefile c(f.cache.c_str(), "1.0", f.source.c_str());
            if (c.open(true)) ::_exit(2);                        // used a finished cache
            if (c.getLastError() == 49) ::_exit(1);             // being built elsewhere
            if (!c.create()) ::_exit(c.getLastError() == 49 ? 1 : 21);
            if (!c.isCreating()) ::_exit(c.getLastError() == 49 ? 1 : 22);
            for (int i = 0; i < kRecords; ++i) {
                std::string k = "k" + std::to_string(i);
                if (!c.add(k.c_str(), std::to_string(i).c_str())) ::_exit(23);
            }
            if (!c.finish() || !c.isOpenForReading()) ::_exit(24);
            ::_exit(0);
        }
        children.push_back(pid);
    }
    ::close(go[0]);
    ::close(go[1]);
    int builders = 0;
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        const int code = WEXITSTATUS(status);
        ASSERT_TRUE(code == 0 || code == 1 || code == 2) << "child exit " << code;
        builders += code == 0;
    }
    EXPECT_EQ(builders, 1);
    bv_cachefile c(f.cache.c_str(), "1.0", f.source.c_str());
    ASSERT_TRUE(c.open(false)) << c.getLastErrorString();
    for (int i = 0; i < kRecords; i += 997) EXPECT_EQ(c.getValue("k" + std::to_string(i), 0), std::to_string(i));
    EXPECT_EQ(c.getValue("k" + std::to_string(kRecords - 1), 0), std::to_string(kRecords - 1));
}

TEST(CacheFile, SizeLimitStopsAddingAndMarksTheCache) {
    // The limit itself is far beyond any test file; a key whose length alone
    // passes it shows the path without writing anything large.
    Fixture f;
    bv_cachefile c(f.cache.c_str(), "1.0", nullptr);
    ASSERT_TRUE(c.create());
    char k = 'k';
    EXPECT_FALSE(c.add(&k, "v", bv_cachefile::kSizeLimit, 1));
    EXPECT_EQ(c.getLastError(), 42);
    EXPECT_FALSE(c.add("a", "b"));
    ASSERT_TRUE(c.finish());
    EXPECT_FALSE(c.isUsable());
    EXPECT_EQ(c.getLastErrorString(), "Cannot use cache file (" + f.cache +
                                          ") which exceeded max size of 256TB. Try deleting the cache file and retrying");
}

TEST(CacheFile, UnreadableAndIrremovableFiles) {
    // A folder where the cache should be: only a regular file is opened as a
    // cache, and the folder cannot be removed.
    Fixture f;
    ASSERT_EQ(::mkdir(f.cache.c_str(), 0777), 0);
    writeFile(f.cache + "/inside", "x");
    bv_cachefile c(f.cache.c_str(), "1.0", f.source.c_str());
    EXPECT_FALSE(c.open(true));
    EXPECT_EQ(c.getLastError(), 35);
    EXPECT_EQ(c.getLastErrorString(), "Cache file " + f.cache + " is missing or cannot be opened");
    EXPECT_TRUE(c.isUsable());
    EXPECT_FALSE(c.create());
    EXPECT_EQ(c.getLastError(), 50);
    EXPECT_EQ(c.getLastErrorString(), "Failed to remove old cache file " + f.cache + " - error " +
                                          std::strerror(EISDIR) + ". Continuing without cache");
    EXPECT_FALSE(c.isUsable());
    EXPECT_FALSE(c.create());
}
