#include "common/mmapfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/error_reporter.h"
#include "common/mmapfile_guard.h"
#include "common/mmapfile_helpers.h"
#include "common/mmapfile_marker.h"
#include "config/global_options.h"
#include "support/fake_clock.h"
#include "support/fake_monitor.h"
#include "support/reporter_switches.h"
#include "support/temp_dir.h"

using tarvex_test::FakeMonitor;
using tarvex_test::readFile;
using tarvex_test::TempDir;
using tarvex_test::writeFile;

namespace {

// A pid that certainly belongs to no running process: a child that has ended.
long deadPid() {
    pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

MmapMarker markerFor(const std::string& path, long pid, int rw) {
    struct stat st;
    stat(path.c_str(), &st);
    MmapMarker m;
    m.pid = pid;
    m.readWrite = rw;
    m.device = st.st_dev;
    m.inode = st.st_ino;
    m.size = st.st_size;
    char* canonical = realpath(path.c_str(), nullptr);
    m.path = canonical;
    free(canonical);
    return m;
}

// Removes a marker that a test wrote by hand.
struct MarkerGuard {
    std::string name;
    ~MarkerGuard() { mmap_marker::removeMarker(name); }
};

// Reports go to errorLog (and not by mail) until the test ends, when the
// process-wide options and the reporter's switches are put back.
struct ErrorLogOnly {
    tarvex_test::ReporterSwitches switches;
    explicit ErrorLogOnly(const std::string& errorLog) {
        brenvik::bv_options options;
        options.setErrorLogFile(errorLog);
        brenvik::switchStandaloneCluster(options, brenvik::bv_clusteroptions());
        errorReporter.toMail = false;
    }
    ~ErrorLogOnly() { brenvik::resetGlobalOptions(); }
};

}  // namespace

TEST(MmapNames, MappingAndMarkerNames) {
    struct Case {
        std::string path;
        bool local;
        std::string mapping;
        std::string marker;
    } cases[] = {
        {"/srv/tarvex/data/tarvex.control", false, "Global\\/srv/tarvex/data/tarvex.control",
         "/tarvex.Global~~srv~tarvex~data~tarvex.control"},
        {"/srv/tarvex/data/tarvex.control", true, "/srv/tarvex/data/tarvex.control",
         "/tarvex.~srv~tarvex~data~tarvex.control"},
        {"/srv/odd\\name", false, "Global\\/srv/odd~name", "/tarvex.Global~~srv~odd~name"},
    };
    for (const Case& c : cases) {
        std::string mapping = mmap_marker::mappingNameFor(c.path, c.local);
        EXPECT_EQ(mapping, c.mapping);
        EXPECT_EQ(mmap_marker::markerNameFor(mapping), c.marker);
    }
}

TEST(MmapNames, LongNamesAreCutAndHashed) {
    std::string a = mmap_marker::markerNameFor("Global\\/" + std::string(300, 'a') + "1");
    std::string b = mmap_marker::markerNameFor("Global\\/" + std::string(300, 'a') + "2");
    ASSERT_EQ(a.size(), 230u + 1 + 16);
    EXPECT_EQ(a.substr(0, 230), b.substr(0, 230));
    EXPECT_EQ(a[230], '.');
    EXPECT_NE(a, b);
    EXPECT_EQ(a.find_first_not_of("0123456789abcdef", 231), std::string::npos);
    // 255 bytes stay whole.
    std::string exact = mmap_marker::markerNameFor(std::string(255 - 8, 'x'));
    EXPECT_EQ(exact.size(), 255u);
    EXPECT_EQ(exact.find('.', 8), std::string::npos);
}

TEST(MmapMarkerLine, RoundTripAndRejects) {
    MmapMarker m;
    m.pid = 42;
    m.readWrite = 1;
    m.device = 2049;
    m.inode = 1234567;
    m.size = 95472;
    m.path = "/srv/with space/tarvex.control";
    std::string line = mmap_marker::formatMarker(m);
    EXPECT_EQ(line, "BVMAP1 42 1 2049 1234567 95472 /srv/with space/tarvex.control\n");
    MmapMarker back;
    ASSERT_TRUE(mmap_marker::parseMarker(line, back));
    EXPECT_EQ(back.pid, 42);
    EXPECT_EQ(back.readWrite, 1);
    EXPECT_EQ(back.device, 2049u);
    EXPECT_EQ(back.inode, 1234567u);
    EXPECT_EQ(back.size, 95472);
    EXPECT_EQ(back.path, m.path);

    const char* bad[] = {
        "",
        "BVMAP1 42 1 2049 1234567 95472 /p",  // no line end
        "BVMAP2 42 1 2049 1234567 95472 /p\n",
        "BVMAP1 42 2 2049 1234567 95472 /p\n",  // rw not 0/1
        "BVMAP1 -4 1 2049 1234567 95472 /p\n",
        "BVMAP1 x 1 2049 1234567 95472 /p\n",
        "BVMAP1 42 1 2049 1234567\n",
        "BVMAP1 42  1 2049 1234567 95472 /p\n",
        "BVMAP1 42 1 2049 99999999999999999999999 95472 /p\n",
    };
    for (const char* text : bad) EXPECT_FALSE(mmap_marker::parseMarker(text, back)) << text;
}

// Every way in which the owner's registration does not cover an open by
// name ends in error 49; the two switches of pid 0 and dev/ino "0 0" let a
// registration without a live owner through.
TEST(MmapContract, OpenByNameChecksTheMarker) {
    TempDir dir("mmap");
    const std::string path = dir.file("tarvex.control");
    writeFile(path, "0123456789");
    const std::string marker = mmap_marker::markerNameForFile(path);
    MarkerGuard guard{marker};
    const long live = static_cast<long>(getpid());

    struct Case {
        const char* what;
        bool writeMarker;
        const char* rawLine;  // written instead of a formatted marker when set
        long pid;
        int rw;
        bool zeroIdentity;
        bool replaceFile;
        bool readOnly;
        int error;
    } cases[] = {
        {"missing marker", false, nullptr, 0, 1, false, false, false, 49},
        {"unparsable marker", true, "BVMAP1 garbage\n", 0, 1, false, false, true, 49},
        {"dead owner", true, nullptr, -1, 1, false, false, true, 49},
        {"read-write open of a read-only marker", true, nullptr, live, 0, false, false, false, 49},
        {"replaced file", true, nullptr, live, 1, false, true, true, 49},
        {"live owner, read-only open", true, nullptr, live, 0, false, false, true, 0},
        {"live owner, read-write", true, nullptr, live, 1, false, false, false, 0},
        {"pid 0 and dev/ino 0 0", true, nullptr, 0, 1, true, false, false, 0},
        {"pid 0 does not switch off the identity check", true, nullptr, 0, 1, false, true, false, 49},
        {"dev/ino 0 0 does not switch off the liveness check", true, nullptr, -1, 1, true, false, false, 49},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(path, "0123456789");
        mmap_marker::removeMarker(marker);
        if (c.writeMarker) {
            if (c.rawLine != nullptr) {
                MmapMarker dummy;
                ASSERT_TRUE(mmap_marker::writeMarker(marker, dummy, 0644));
                // Overwrite with the raw text through a second marker write path.
                ASSERT_FALSE(mmap_marker::parseMarker(c.rawLine, dummy));
                int fd = shm_open(marker.c_str(), O_RDWR | O_TRUNC, 0);
                ASSERT_GE(fd, 0);
                ASSERT_EQ(write(fd, c.rawLine, strlen(c.rawLine)), static_cast<ssize_t>(strlen(c.rawLine)));
                close(fd);
            } else {
                MmapMarker m = markerFor(path, c.pid < 0 ? deadPid() : c.pid, c.rw);
                if (c.zeroIdentity) m.device = m.inode = 0;
                ASSERT_TRUE(mmap_marker::writeMarker(marker, m, 0644));
            }
        }
        if (c.replaceFile) {
            writeFile(path + ".new", "abcdefghij");
            ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
        }
        CMmapFile file;
        int error = -1;
        bool ok = file.open(path, c.readOnly, error, 0, 0, false);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(ok, c.error == 0);
        EXPECT_EQ(file.isOpen(), c.error == 0);
        if (ok) {
            ASSERT_EQ(file.getSize(), 10);
            char* view = static_cast<char*>(file.getView(0, 10));
            ASSERT_NE(view, nullptr);
            EXPECT_EQ(std::string(view, 10), c.replaceFile ? "abcdefghij" : "0123456789");
            if (!c.readOnly) {
                memcpy(view + 2, "XY", 2);
                file.close();
                EXPECT_EQ(readFile(path), "01XY456789");
            }
        }
    }
}

TEST(MmapContract, MissingFileIsError47) {
    TempDir dir("mmap");
    CMmapFile file;
    int error = 0;
    EXPECT_FALSE(file.open(dir.file("absent"), true, error, 0, 0, false));
    EXPECT_EQ(error, 47);
}

// The reasons are reported as M47/M49 only when the caller asks for it.
TEST(MmapContract, FailuresAreReportedOnlyWithTheReportFlag) {
    TempDir dir("mmap");
    ErrorLogOnly errorLog(dir.file("errorlog.txt"));
    const std::string path = dir.file("tarvex.control");
    writeFile(path, "data");
    struct Case {
        std::string path;
        bool report;
        const char* expected;  // null: nothing written
    } cases[] = {
        {path, false, nullptr},
        {dir.file("absent"), false, nullptr},
        {path, true, "Error [M00049 - Job -1 - X00365:mmapfile]"},
        {dir.file("absent"), true, "Error [M00047 - Job -1 - X00216:mmapfile]"},
    };
    for (const Case& c : cases) {
        ::unlink(dir.file("errorlog.txt").c_str());
        CMmapFile file;
        int error = 0;
        EXPECT_FALSE(file.open(c.path, false, error, 0, 0, c.report));
        bool logged = tarvex_test::pathExists(dir.file("errorlog.txt"));
        EXPECT_EQ(logged, c.expected != nullptr);
        if (logged && c.expected != nullptr) {
            std::string log = readFile(dir.file("errorlog.txt"));
            EXPECT_NE(log.find(c.expected), std::string::npos) << log;
            EXPECT_NE(log.find(c.path), std::string::npos) << log;
        }
    }
}

TEST(MmapOwner, MarkerCarriesModeAndIsRemovedOnlyByItsOwner) {
    TempDir dir("mmap");
    const std::string path = dir.file("db.seq");
    writeFile(path, std::string(5000, 's'));
    chmod(path.c_str(), 0640);
    const std::string marker = mmap_marker::markerNameForFile(path);
    MarkerGuard guard{marker};
    {
        CMmapFile owner;
        int error = -1;
        ASSERT_TRUE(owner.open(path, true, error, MMAP_OWNER | MMAP_NO_LOCK, 0, true));
        MmapMarker m;
        ASSERT_TRUE(mmap_marker::readMarker(marker, m));
        EXPECT_EQ(m.pid, static_cast<long>(getpid()));
        EXPECT_EQ(m.readWrite, 0);
        EXPECT_EQ(m.size, 5000);
        struct stat st;
        ASSERT_EQ(stat(("/dev/shm" + marker).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);

        // A read-only open by name works while the owner lives; a copy of it
        // outlives its original.
        CMmapFile reader;
        ASSERT_TRUE(reader.open(path, true, error, 0, 0, false));
        CMmapFile copy(reader);
        reader.close();
        const char* view = static_cast<const char*>(copy.getView(4999, 1));
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(*view, 's');
    }
    MmapMarker gone;
    EXPECT_FALSE(mmap_marker::readMarker(marker, gone));

    // Another owner's registration survives our close.
    {
        CMmapFile owner;
        int error = -1;
        ASSERT_TRUE(owner.open(path, true, error, MMAP_OWNER | MMAP_NO_LOCK, 0, true));
        MmapMarker other = markerFor(path, 0, 0);
        ASSERT_TRUE(mmap_marker::writeMarker(marker, other, 0644));
    }
    EXPECT_TRUE(mmap_marker::readMarker(marker, gone));
}

TEST(MmapViews, WindowsAreClampedAndReused) {
    TempDir dir("mmap");
    const std::string path = dir.file("db.idx");
    std::string data(3 * 1024 * 1024 + 123, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    writeFile(path, data);
    FakeMonitor monitor;
    ASSERT_TRUE(monitor.registerDatabaseFile(path));

    CMmapFile file;
    int error = -1;
    ASSERT_TRUE(file.open(path, true, error, MMAP_NO_VIEW, 1024 * 1024, false));
    EXPECT_FALSE(file.isWholeFileMapped());
    const int64_t size = static_cast<int64_t>(data.size());
    EXPECT_EQ(file.getView(size, 1), nullptr);
    EXPECT_EQ(file.getView(-1, 1), nullptr);

    // Two reads 100 bytes apart inside one window map once.
    char* first = static_cast<char*>(file.getView(1000, 10));
    ASSERT_NE(first, nullptr);
    int64_t offset = file.getViewOffset();
    char* second = static_cast<char*>(file.getView(1100, 10));
    EXPECT_EQ(second, first + 100);
    EXPECT_EQ(file.getViewOffset(), offset);
    EXPECT_EQ(*second, data[1100]);

    // Near the end, the window ends at the end of the file.
    char* tail = static_cast<char*>(file.getView(size - 5, 1000));
    ASSERT_NE(tail, nullptr);
    EXPECT_EQ(static_cast<uint64_t>(file.getViewOffset()) + file.getViewLength(), data.size());
    EXPECT_EQ(std::string(tail, 5), data.substr(data.size() - 5));

    // A copy of a windowed object maps its own windows.
    CMmapFile copy(file);
    EXPECT_EQ(copy.getViewLength(), 0u);
    char* fromCopy = static_cast<char*>(copy.getView(2 * 1024 * 1024, 4));
    ASSERT_NE(fromCopy, nullptr);
    EXPECT_EQ(std::string(fromCopy, 4), data.substr(2 * 1024 * 1024, 4));
}

TEST(MmapViews, OpenOnAnOpenObjectClosesItFirst) {
    TempDir dir("mmap");
    writeFile(dir.file("a"), "aaaa");
    writeFile(dir.file("b"), "bb");
    FakeMonitor monitor;
    ASSERT_TRUE(monitor.registerDatabaseFile(dir.file("a")));
    ASSERT_TRUE(monitor.registerDatabaseFile(dir.file("b")));
    CMmapFile file;
    int error = -1;
    ASSERT_TRUE(file.open(dir.file("a"), true, error, 0, 0, false));
    ASSERT_TRUE(file.open(dir.file("b"), true, error, 0, 0, false));
    EXPECT_EQ(file.getSize(), 2);
    EXPECT_EQ(std::string(static_cast<char*>(file.getView(0, 2)), 2), "bb");
    // A failed open leaves the object closed.
    EXPECT_FALSE(file.open(dir.file("c"), true, error, 0, 0, false));
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(file.getView(0, 1), nullptr);
}

TEST(MmapLock, OwnerLocksASmallFile) {
    TempDir dir("mmap");
    const std::string path = dir.file("small");
    writeFile(path, std::string(64 * 1024, 'z'));
    CMmapFile owner;
    int error = -1;
    ASSERT_TRUE(owner.open(path, true, error, MMAP_OWNER | MMAP_MAP_AND_LOCK, 0, false));
    EXPECT_TRUE(owner.isWholeFileMapped());
    EXPECT_EQ(owner.getLockState(), 1);
    owner.close();
    EXPECT_EQ(owner.getLockState(), 0);
}

namespace {

// A stand-in for bv-memlock: answers "locked" for its chunk, then waits for
// the owner's release request and answers "released".
const char* kHelperScript = R"(#!/bin/sh
while [ $# -gt 0 ]; do
  case "$1" in
    -f) file="$2"; shift 2;;
    -o) index="$2"; shift 2;;
    *) shift 2;;
  esac
done
lck="$file.lck"
echo "$@ $file $index" >> helper.calls
word() { printf "\\$(printf %o $1)\\000\\000\\000" | dd of="$lck" bs=1 seek=$(( index * 16 + 8 )) conv=notrunc 2>/dev/null; }
word 4
i=0
while [ $i -lt 400 ]; do
  req=$(od -An -tu4 -j $(( index * 16 )) -N4 "$lck" | tr -d ' ')
  if [ "$req" = "0" ]; then word 7; exit 0; fi
  sleep 0.05
  i=$((i + 1))
done
)";

struct WorkingFolder {
    std::string old;
    explicit WorkingFolder(const std::string& dir) {
        char buf[4096];
        old = getcwd(buf, sizeof buf);
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~WorkingFolder() { (void)!chdir(old.c_str()); }
};

}  // namespace

TEST(MmapHelper, HelpersLockChunksAndReleaseThroughTheLckFile) {
    TempDir dir("mmap");
    writeFile(dir.file("bv-memlock"), kHelperScript);
    chmod(dir.file("bv-memlock").c_str(), 0755);
    const std::string path = dir.file("big.seq");
    writeFile(path, std::string(5 * 1024 * 1024, 'q'));
    WorkingFolder here(dir.path());
    // The helpers are real processes, each answer a few process starts away:
    // on a loaded machine they took longer than the owner's ten-second
    // limits (the two tests below show those). Each pause sleeps 10 ms for
    // real and counts as 1 ms, so the waits last until the helpers answer.
    tarvex_test::FakeClock clock;
    clock.stepMs = 1;
    clock.onPause = [](int64_t) { usleep(10 * 1000); };

    CMmapFile file;
    int error = -1;
    // Chunks of 2 MiB: 5 MiB makes three records.
    ASSERT_TRUE(file.open(path, true, error, MMAP_MAP_AND_LOCK | MMAP_NO_LOCK | (2u << 16), 0, false));
    EXPECT_EQ(file.getLockState(), 2);
    std::string lck = readFile(path + ".lck");
    ASSERT_EQ(lck.size(), 3u * 16);
    for (int i = 0; i < 3; ++i) {
        HelperLockRecord r;
        memcpy(&r, lck.data() + 16 * i, 16);
        EXPECT_EQ(r.request, 1u);
        EXPECT_EQ(r.state, HELPER_STATE_LOCKED);
    }
    // With a deferral list, close only asks; the caller waits afterwards.
    HelperLockDeferral deferral;
    file.setDeferral(&deferral);
    file.close();
    ASSERT_EQ(deferral.objects.size(), 1u);
    EXPECT_EQ(deferral.lckPaths[0], path + ".lck");
    CMmapFile* object = deferral.objects[0];
    void* view = deferral.views[0].second;
    memlock_helpers::waitForHelperRelease(deferral.lckPaths[0], object, view);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(view, nullptr);
    EXPECT_FALSE(tarvex_test::pathExists(path + ".lck"));
}

TEST(MmapHelper, AHelperThatNeverReleasesLeavesTheLckAfterTenSeconds) {
    TempDir dir("mmap");
    writeFile(dir.file("bv-memlock"),
              "#!/bin/sh\nprintf '\\004\\000\\000\\000' | dd of=\"$2.lck\" bs=1 seek=8 conv=notrunc 2>/dev/null\n");
    chmod(dir.file("bv-memlock").c_str(), 0755);
    const std::string path = dir.file("stuck.seq");
    writeFile(path, std::string(4096, 'q'));
    brenvik::bv_options options;
    options.setErrorLogFile(dir.file("errorlog.txt"));
    brenvik::switchStandaloneCluster(options, brenvik::bv_clusteroptions());
    WorkingFolder here(dir.path());

    CMmapFile file;
    int error = -1;
    ASSERT_TRUE(file.open(path, true, error, MMAP_MAP_AND_LOCK | MMAP_NO_LOCK, 0, false));
    ASSERT_EQ(file.getLockState(), 2);
    {
        tarvex_test::FakeClock clock;
        file.close();
        EXPECT_GE(clock.elapsedMs(), 9000);
        EXPECT_LE(clock.elapsedMs(), 11000);
    }
    EXPECT_TRUE(tarvex_test::pathExists(path + ".lck"));
    // The object opened on the ".lck" file was closed all the same.
    MmapMarker marker;
    EXPECT_FALSE(mmap_marker::readMarker(mmap_marker::markerNameForFile(path + ".lck"), marker));
    EXPECT_NE(readFile(dir.file("errorlog.txt")).find("X01289:mmapfile"), std::string::npos);
    brenvik::resetGlobalOptions();
}

TEST(MmapHelper, AHelperThatNeverAnswersCostsTenSecondsAndTheLckGoes) {
    TempDir dir("mmap");
    writeFile(dir.file("bv-memlock"), "#!/bin/sh\necho started >> helper.calls\nexit 0\n");
    chmod(dir.file("bv-memlock").c_str(), 0755);
    const std::string path = dir.file("mid.seq");
    writeFile(path, std::string(1024, 'q'));
    WorkingFolder here(dir.path());

    CMmapFile file;
    int error = -1;
    {
        tarvex_test::FakeClock clock;
        // Chunk arguments outside 2..2048 mean 512 MiB: one record.
        ASSERT_TRUE(file.open(path, true, error, MMAP_MAP_AND_LOCK | MMAP_NO_LOCK | (4096u << 16), 0, false));
        EXPECT_GE(clock.elapsedMs(), 9000);
        EXPECT_LE(clock.elapsedMs(), 11000);
    }
    EXPECT_EQ(file.getLockState(), 0);
    EXPECT_FALSE(tarvex_test::pathExists(path + ".lck"));
    // The wait took no time: the helper may still be on its way.
    const std::string calls = dir.file("helper.calls");
    auto called = [&] { return tarvex_test::pathExists(calls) ? readFile(calls) : std::string(); };
    for (int i = 0; i < 1000 && called().empty(); ++i) usleep(10 * 1000);
    EXPECT_EQ(called(), "started\n");
}

// Linux lets a mapped file shrink. A read-only view whose file is cut short
// reads zeros past the new end (and counts the loss) instead of dying of
// SIGBUS; a file whose size differs from its registration is refused.
TEST(MmapContract, ReadOnlyViewSurvivesItsFileBeingCutShort) {
    TempDir dir("mmap");
    const std::string path = dir.file("db.s00");
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const std::string data(3 * page + 100, 'x');
    writeFile(path, data);
    const std::string marker = mmap_marker::markerNameForFile(path);
    MarkerGuard guard{marker};
    MmapMarker m = markerFor(path, 0, 0);
    CMmapFile file;
    int error = -1;
    for (long long registered : {m.size + 1, m.size - 1}) {
        MmapMarker other = m;
        other.size = registered;
        ASSERT_TRUE(mmap_marker::writeMarker(marker, other, 0644));
        EXPECT_FALSE(file.open(path, true, error, 0, 0, false)) << registered;
        EXPECT_EQ(error, 49);
    }
    ASSERT_TRUE(mmap_marker::writeMarker(marker, m, 0644));
    ASSERT_TRUE(file.open(path, true, error, 0, 0, false));
    const volatile char* view = static_cast<const char*>(file.getView(0, data.size()));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[data.size() - 1], 'x');

    const unsigned lost = mmap_guard::lostViewCount();
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(page)), 0);
    EXPECT_EQ(view[0], 'x');
    EXPECT_EQ(view[2 * page + 5], 0);
    EXPECT_EQ(view[page + 5], 0);
    EXPECT_EQ(view[data.size() - 1], 0);
    EXPECT_EQ(mmap_guard::lostViewCount(), lost + 2);
    file.close();
}

// How a fault that is not ours ends the process: as the handler installed
// before the guard has it (the sanitizers' reports and aborts), else killed
// by the signal.
static bool endedAsAFaultNotOurs(int status) {
#if defined(__SANITIZE_ADDRESS__)
    if (::testing::KilledBySignal(SIGABRT)(status) || ::testing::ExitedWithCode(1)(status)) return true;
#endif
    return ::testing::KilledBySignal(SIGBUS)(status);
}

// The guard covers only read-only views: any other fault still ends the
// process as it would without the guard.
TEST(MmapContract, FaultOutsideAGuardedViewStillKills) {
    TempDir dir("mmap");
    const std::string path = dir.file("tarvex.control");
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    writeFile(path, std::string(2 * page, 'c'));
    const std::string marker = mmap_marker::markerNameForFile(path);
    MarkerGuard guard{marker};
    ASSERT_TRUE(mmap_marker::writeMarker(marker, markerFor(path, 0, 1), 0644));
    // A read-only view first, so that the handler is installed.
    writeFile(path + ".ro", "r");
    const std::string roMarker = mmap_marker::markerNameForFile(path + ".ro");
    MarkerGuard roGuard{roMarker};
    ASSERT_TRUE(mmap_marker::writeMarker(roMarker, markerFor(path + ".ro", 0, 0), 0644));
    auto readPastTheCut = [&] {
        CMmapFile readOnly;
        CMmapFile writable;
        int error = 0;
        if (!readOnly.open(path + ".ro", true, error, 0, 0, false)) _exit(2);
        if (!writable.open(path, false, error, 0, 0, false)) _exit(3);
        volatile char* view = static_cast<char*>(writable.getView(0, 2 * page));
        if (truncate(path.c_str(), 0) != 0) _exit(4);
        (void)view[page + 1];
        _exit(0);
    };
    EXPECT_EXIT(readPastTheCut(), endedAsAFaultNotOurs, "");
}

// The guard's table has room for 64 views. A read-only view beyond them
// used to stay unguarded without a word (a cut file then killed the
// process): it is refused and reported, also without the report flag.
TEST(MmapContract, ViewTheGuardHasNoRoomForIsRefusedAndReported) {
    TempDir dir("mmap");
    ErrorLogOnly errorLog(dir.file("errorlog.txt"));
    const std::string path = dir.file("db.i00");
    writeFile(path, std::string(100, 'i'));
    const std::string marker = mmap_marker::markerNameForFile(path);
    MarkerGuard guard{marker};
    ASSERT_TRUE(mmap_marker::writeMarker(marker, markerFor(path, 0, 0), 0644));

    static char placeholders[65];
    std::vector<const char*> taken;
    for (char& p : placeholders) {
        if (!mmap_guard::guardReadOnlyMapping(&p, 1)) break;
        taken.push_back(&p);
    }
    EXPECT_LE(taken.size(), 64u);
    ASSERT_LT(taken.size(), std::size(placeholders));
    for (const bool whole : {true, false}) {
        SCOPED_TRACE(whole ? "whole-file view" : "window");
        CMmapFile file;
        int error = 0;
        const bool opened = file.open(path, true, error, whole ? 0u : static_cast<uint32_t>(MMAP_NO_VIEW), 0, false);
        if (whole) {
            EXPECT_FALSE(opened);
            EXPECT_EQ(error, 50);
        } else {
            ASSERT_TRUE(opened);
            EXPECT_EQ(file.getView(0, 10), nullptr);
        }
        const std::string log = readFile(dir.file("errorlog.txt"));
        EXPECT_NE(log.find("no room left to guard the view"), std::string::npos) << log;
        ::unlink(dir.file("errorlog.txt").c_str());
    }
    for (const char* p : taken) mmap_guard::unguardReadOnlyMapping(p);
    CMmapFile file;
    int error = 0;
    EXPECT_TRUE(file.open(path, true, error, 0, 0, false));
    EXPECT_NE(file.getView(0, 10), nullptr);
    file.close();
}

namespace {
void exitSeven(int, siginfo_t*, void*) { _exit(7); }
}  // namespace

// A SIGBUS outside our views belongs to whoever handled it before the guard
// was installed. Run in a fresh process, so that the handler is in place
// before the first guarded view. That process ends at the fault: its folder
// and markers are removed before it.
TEST(MmapContract, FaultOutsideAGuardedViewGoesToTheHandlerInstalledBefore) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto faultAfterOwnHandler = [] {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_sigaction = exitSeven;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        if (sigaction(SIGBUS, &action, nullptr) != 0) _exit(2);
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        CMmapFile readOnly;
        CMmapFile writable;
        volatile char* view = nullptr;
        int failed = 0;
        {
            TempDir dir("mmap");
            const std::string path = dir.file("tarvex.control");
            writeFile(path, std::string(2 * page, 'c'));
            writeFile(path + ".ro", "r");
            const std::string marker = mmap_marker::markerNameForFile(path);
            const std::string roMarker = mmap_marker::markerNameForFile(path + ".ro");
            MarkerGuard guard{marker};
            MarkerGuard roGuard{roMarker};
            int error = 0;
            if (!mmap_marker::writeMarker(marker, markerFor(path, 0, 1), 0644) ||
                !mmap_marker::writeMarker(roMarker, markerFor(path + ".ro", 0, 0), 0644))
                failed = 3;
            else if (!readOnly.open(path + ".ro", true, error, 0, 0, false) ||
                     !writable.open(path, false, error, 0, 0, false))
                failed = 4;
            else if ((view = static_cast<char*>(writable.getView(0, 2 * page))) == nullptr ||
                     truncate(path.c_str(), 0) != 0)
                failed = 5;
        }
        if (failed != 0) _exit(failed);
        (void)view[page + 1];
        _exit(0);
    };
    EXPECT_EXIT(faultAfterOwnHandler(), ::testing::ExitedWithCode(7), "");
}

// A writable mapping (the control file) lies in a folder the web server's
// user can write: a link planted under its name is not followed, and the
// open fails as any other, with the system's reason and the path given.
TEST(MmapContract, WritableFileThatIsALinkIsNotOpened) {
    TempDir dir("mmap");
    ErrorLogOnly errorLog(dir.file("errorlog.txt"));
    const std::string target = dir.file("elsewhere");
    writeFile(target, std::string(64, 't'));
    const std::string link = dir.file("tarvex.control");
    std::filesystem::create_symlink(target, link);
    const std::string marker = mmap_marker::markerNameForFile(link);
    MarkerGuard guard{marker};
    ASSERT_TRUE(mmap_marker::writeMarker(marker, markerFor(target, 0, 1), 0644));
    for (const uint32_t flags : {0u, static_cast<uint32_t>(MMAP_OWNER)}) {
        SCOPED_TRACE(flags == 0 ? "by name" : "as owner");
        ::unlink(dir.file("errorlog.txt").c_str());
        CMmapFile file;
        int error = 0;
        EXPECT_FALSE(file.open(link, false, error, flags, 0, true));
        EXPECT_EQ(error, flags == 0 ? 49 : 47);
        const std::string log = readFile(dir.file("errorlog.txt"));
        EXPECT_NE(log.find(link), std::string::npos) << log;
        EXPECT_NE(log.find("Too many levels of symbolic links"), std::string::npos) << log;
    }
    // Read-only database files may be links.
    CMmapFile readOnly;
    int error = 0;
    ASSERT_TRUE(mmap_marker::writeMarker(marker, markerFor(target, 0, 0), 0644));
    EXPECT_TRUE(readOnly.open(link, true, error, 0, 0, false));
    readOnly.close();
    EXPECT_EQ(readFile(target), std::string(64, 't'));

    // The ".lck" file that the memlock helpers read is written there too: a
    // link planted under its name must not create the file it points to.
    const std::string database = dir.file("db.s00");
    writeFile(database, std::string(64, 's'));
    const std::string planted = dir.file("planted");
    std::filesystem::create_symlink(planted, database + ".lck");
    ::unlink(dir.file("errorlog.txt").c_str());
    CMmapFile pinned;
    (void)pinned.open(database, true, error, MMAP_MAP_AND_LOCK | MMAP_NO_LOCK | (2u << 16), 0, true);
    pinned.close();
    EXPECT_FALSE(tarvex_test::pathExists(planted));
    const std::string log = readFile(dir.file("errorlog.txt"));
    EXPECT_NE(log.find("M00047"), std::string::npos) << log;
    EXPECT_NE(log.find(database + ".lck"), std::string::npos) << log;
    EXPECT_NE(log.find("Too many levels of symbolic links"), std::string::npos) << log;
}

// The marker name of a file is built from its canonical path: symbolic links
// resolved, "." and ".." gone, a relative path taken from the working folder.
TEST(MmapNames, MarkerNamesFollowTheCanonicalPath) {
    TempDir dir("mmap");
    const std::string real = dir.file("real");
    std::filesystem::create_directories(real + "/sub");
    writeFile(real + "/sub/db.i00", "x");
    writeFile(real + "/odd (deleted)", "x");
    std::filesystem::create_directory_symlink(real, dir.file("link"));
    std::filesystem::create_symlink(real + "/sub/db.i00", dir.file("file-link"));
    std::filesystem::create_symlink(real + "/none", dir.file("dangling"));
    char* canonical = ::realpath((real + "/sub/db.i00").c_str(), nullptr);
    ASSERT_NE(canonical, nullptr);
    const std::string expected = mmap_marker::markerNameFor(mmap_marker::mappingNameFor(canonical, false));
    std::free(canonical);
    const std::string cwd = std::filesystem::current_path().string();
    std::filesystem::current_path(real);
    const std::string relative = mmap_marker::markerNameForFile("sub/../sub/./db.i00");
    std::filesystem::current_path(cwd);
    EXPECT_EQ(relative, expected);
    for (const std::string& path : {real + "/sub/db.i00", dir.file("link") + "/sub/db.i00",
                                    dir.file("link") + "/sub/../sub/db.i00", dir.file("file-link"),
                                    dir.file("link") + "//sub///db.i00"})
        EXPECT_EQ(mmap_marker::markerNameForFile(path), expected) << path;
    char* odd = ::realpath((real + "/odd (deleted)").c_str(), nullptr);
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(mmap_marker::markerNameForFile(dir.file("link") + "/odd (deleted)"),
              mmap_marker::markerNameFor(mmap_marker::mappingNameFor(odd, false)));
    std::free(odd);
    // Paths that name no file have no marker.
    for (const std::string& path : {dir.file("dangling"), real + "/none", real + "/sub/db.i00/", std::string()})
        EXPECT_EQ(mmap_marker::markerNameForFile(path), "") << path;
}
