#include "common/log_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>

#include "common/error_reporter.h"
#include "common/file_utils.h"
#include "common/io_utils.h"
#include "common/system_calls.h"
#include "log_fixture.h"
#include "support/fake_clock.h"
#include "support/reporter_switches.h"

namespace {

using tarvex_test::LogFolderTest;
using tarvex_test::maskTimes;

using LogFilesTest = LogFolderTest;

TEST_F(LogFilesTest, LineFormats) {
    EXPECT_EQ(maskTimes(formatErrorLogEntry(27, 5, 473, "taxfetch", "Thu Dec 10 09:25:07 2026", "db <x>")),
              "Error [M00027 - Job 5 - X00473:taxfetch] - <time>\n   - db &lt;x&gt;\n\n");
    writeMonitorLogLine("a <b>");
    writeIpcLogLine("raw <t>", -1, 12, "m_socket");
    writeIpcLogLine("second", 123456, 7, "bv_job");
    EXPECT_EQ(maskTimes(monitorLog()), "<time> - a &lt;b&gt;\n");
    EXPECT_EQ(maskTimes(ipcLog()), "<time> Job    -1  m_socket 12 - raw <t>\n<time> Job 123456  bv_job 7 - second\n");
}

TEST_F(LogFilesTest, MissingFolderSkipsTheLogSilently) {
    EXPECT_FALSE(appendLogEntry(dir.file("no/such/dir/log.txt"), "x\n", false));
    EXPECT_EQ(errorLog(), "");
}

// Several processes append to one log at once: every entry arrives whole.
TEST_F(LogFilesTest, ConcurrentAppendersNeverInterleave) {
    constexpr int processes = 6, entries = 200;
    for (int p = 0; p < processes; ++p) {
        if (fork() == 0) {
            for (int i = 0; i < entries; ++i) {
                std::string text(100 + (i * 37) % 900, static_cast<char>('a' + p));
                appendErrorLogEntry(p, i, 1, "m", "T", text);
            }
            _exit(0);
        }
    }
    for (int p = 0; p < processes; ++p) {
        int status = 0;
        wait(&status);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::istringstream in(errorLog());
    std::string header, body, blank;
    int count = 0;
    const std::regex headerForm(R"(Error \[M0000([0-5]) - Job (\d+) - X00001:m\] - T)");
    while (std::getline(in, header)) {
        ASSERT_TRUE(std::getline(in, body));
        ASSERT_TRUE(std::getline(in, blank));
        std::smatch m;
        ASSERT_TRUE(std::regex_match(header, m, headerForm)) << header;
        const int p = std::stoi(m[1]), i = std::stoi(m[2]);
        EXPECT_EQ(body, "   - " + std::string(100 + (i * 37) % 900, static_cast<char>('a' + p)));
        EXPECT_EQ(blank, "");
        ++count;
    }
    EXPECT_EQ(count, processes * entries);
}

// Another open file description of the log that holds the appenders' lock,
// as another process would; -1 when it cannot.
int holdLogLock(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_len = 4;
    if (fd >= 0 && fcntl(fd, F_OFD_SETLK, &fl) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

// A lock held elsewhere for good: after its tries the line is written all
// the same, and the monitor log's failure is reported as message 267.
TEST_F(LogFilesTest, LockFailureStillWritesAndReports) {
    const std::string path = dir.file("logs/monitor.log");
    const int fd = holdLogLock(path, O_RDWR | O_CREAT);
    ASSERT_GE(fd, 0);
    tarvex_test::ReporterSwitches switches;
    getErrorReporter().toPage = false;
    {
        tarvex_test::FakeClock clock;
        writeMonitorLogLine("still here");
        EXPECT_GE(clock.elapsedMs(), 9000) << "gave up before its tries";
    }
    close(fd);
    EXPECT_EQ(maskTimes(monitorLog()), "<time> - still here\n");
    EXPECT_NE(errorLog().find("   - Failed to lock file ../logs/monitor.log - error: "), std::string::npos);
}

// A disk that fills in the middle of an entry: the write call takes the
// first bytes it is offered (up to a budget), then says there is no room.
// Before that, another process may append an entry of its own meanwhile.
size_t writeBudget = 0;
int otherAppender = -1;
std::string appendedMeanwhile;
ssize_t fillingWrite(int fd, const void* data, size_t count) {
    // Standard error lies on another disk, which has room.
    if (fd == STDERR_FILENO) return ::write(fd, data, count);
    if (!appendedMeanwhile.empty()) {
        if (::write(otherAppender, appendedMeanwhile.data(), appendedMeanwhile.size()) < 0) return -1;
        appendedMeanwhile.clear();
    }
    if (writeBudget == 0) {
        errno = ENOSPC;
        return -1;
    }
    const size_t n = count < writeBudget ? count : writeBudget;
    writeBudget -= n;
    return ::write(fd, data, n);
}

// Standard error into a file for one scope.
class CapturedStandardError {
public:
    explicit CapturedStandardError(const std::string& path) : path_(path) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        saved_ = ::dup(STDERR_FILENO);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~CapturedStandardError() { restore(); }
    std::string text() {
        restore();
        return tarvex_test::readFile(path_);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        saved_ = -1;
    }
    std::string path_;
    int saved_ = -1;
};

// Under the lock, an entry torn by a full disk is cut back. When the lock
// wait gave up (another process holds it), the entry is written all the
// same, and the others' entries appended meanwhile lie after the length seen
// before: cutting back would erase them, so the torn bytes stay.
TEST_F(LogFilesTest, AnEntryTornByAFullDiskIsCutBackOnlyUnderTheLock) {
    const std::string first = formatErrorLogEntry(1, 1, 1, "m", "T", "first");
    const std::string torn = formatErrorLogEntry(2, 2, 2, "m", "T", "torn by the disk");
    const std::string other = formatErrorLogEntry(4, 4, 4, "m", "T", "the lock holder's own entry");
    const std::string next = formatErrorLogEntry(3, 3, 3, "m", "T", "after space was freed");
    // Bytes the disk takes before it is full: none, one piece, all but one.
    for (const bool lockHeldElsewhere : {false, true}) {
        for (size_t budget : {size_t{0}, size_t{7}, torn.size() - 1}) {
            SCOPED_TRACE(std::string(lockHeldElsewhere ? "lock held elsewhere, " : "") + std::to_string(budget));
            std::remove(dir.file("logs/errorlog.txt").c_str());
            appendErrorLogEntry(1, 1, 1, "m", "T", "first");
            int holder = -1;
            if (lockHeldElsewhere) {
                holder = holdLogLock(dir.file("logs/errorlog.txt"), O_WRONLY | O_APPEND);
                ASSERT_GE(holder, 0);
                otherAppender = holder;
                appendedMeanwhile = other;
            }
            std::string standardError;
            {
                tarvex_test::FakeClock clock;
                CapturedStandardError captured(dir.file("stderr.txt"));
                writeBudget = budget;
                auto saved = systemCalls().write;
                systemCalls().write = &fillingWrite;
                appendErrorLogEntry(2, 2, 2, "m", "T", "torn by the disk");
                systemCalls().write = saved;
                standardError = captured.text();
            }
            if (holder >= 0) ::close(holder);
            EXPECT_TRUE(appendedMeanwhile.empty());
            appendedMeanwhile.clear();
            const std::string before =
                lockHeldElsewhere ? first + other + torn.substr(0, budget) : first;  // no fragment stays
            EXPECT_EQ(errorLog(), before);
            ASSERT_GE(standardError.size(), torn.size());
            EXPECT_EQ(standardError.substr(standardError.size() - torn.size()), torn)
                << "the entry reaches standard error";
            appendErrorLogEntry(3, 3, 3, "m", "T", "after space was freed");
            EXPECT_EQ(errorLog(), before + next);
        }
    }
}

TEST_F(LogFilesTest, WhyTheErrorLogCannotBeOpenedIsSaidOncePerProcess) {
    ASSERT_EQ(mkdir(dir.file("logs/errorlog.txt").c_str(), 0777), 0);
    // In a child: the line is said once in a process's life.
    const pid_t child = fork();
    if (child == 0) {
        CapturedStandardError captured(dir.file("stderr.txt"));
        appendErrorLogEntry(1, 1, 1, "m", "T", "one");
        appendErrorLogEntry(2, 2, 2, "m", "T", "two");
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string cgi = std::filesystem::canonical(dir.file("cgi")).string();
    EXPECT_EQ(tarvex_test::readFile(dir.file("stderr.txt")),
              "cannot append to " + cgi + "/../logs/errorlog.txt: Is a directory\n" +
                  formatErrorLogEntry(1, 1, 1, "m", "T", "one") + formatErrorLogEntry(2, 2, 2, "m", "T", "two"));
}

// Messages name a relative file with the working folder it was resolved
// from, once, and leave other paths as they are written.
TEST_F(LogFilesTest, MessagesNameRelativeFilesFromTheWorkingFolder) {
    const std::string cgi = std::filesystem::canonical(dir.file("cgi")).string();
    const struct {
        const char* path;
        std::string shown;
    } cases[] = {
        {"../logs/errorlog.txt", cgi + "/../logs/errorlog.txt"},
        {"./././x.log", cgi + "/x.log"},
        {"..\\data\\tarvex.control", cgi + "/..\\data\\tarvex.control"},
        {"/var/log/tarvex/errorlog.txt", "/var/log/tarvex/errorlog.txt"},
        {"\\srv\\tarvex\\x", "\\srv\\tarvex\\x"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(pathInMessages(c.path), c.shown) << c.path;
}

TEST_F(LogFilesTest, ALinkInPlaceOfALogIsNotFollowed) {
    const std::string victim = dir.file("victim");
    tarvex_test::writeFile(victim, "precious\n");
    for (const char* target : {"../victim", "../nowhere"}) {
        SCOPED_TRACE(target);
        const std::string log = dir.file("logs/monitor.log");
        std::remove(log.c_str());
        ASSERT_EQ(symlink(target, log.c_str()), 0);
        EXPECT_FALSE(appendLogEntry("../logs/monitor.log", "entry\n", true));
        EXPECT_EQ(errno, ELOOP);
    }
    EXPECT_EQ(tarvex_test::readFile(victim), "precious\n");
    EXPECT_FALSE(tarvex_test::pathExists(dir.file("nowhere")));
}

TEST(LogTexts, EscapeAngleBrackets) {
    EXPECT_EQ(escapeAngleBrackets("<a href=\"x\">&</a>"), "&lt;a href=\"x\"&gt;&&lt;/a&gt;");
    std::string s = "<<>>";
    CErrorReporter::escapeAngleBrackets(s);
    EXPECT_EQ(s, "&lt;&lt;&gt;&gt;");
}

}  // namespace
