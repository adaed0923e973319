#include "common/log_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>

#include "common/error_reporter.h"
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

// A lock held elsewhere for good: after its tries the line is written all
// the same, and the monitor log's failure is reported as message 267.
TEST_F(LogFilesTest, LockFailureStillWritesAndReports) {
    const std::string path = dir.file("logs/monitor.log");
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_len = 4;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &fl), 0);
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

TEST(LogTexts, EscapeAngleBrackets) {
    EXPECT_EQ(escapeAngleBrackets("<a href=\"x\">&</a>"), "&lt;a href=\"x\"&gt;&&lt;/a&gt;");
    std::string s = "<<>>";
    CErrorReporter::escapeAngleBrackets(s);
    EXPECT_EQ(s, "&lt;&lt;&gt;&gt;");
}

}  // namespace
