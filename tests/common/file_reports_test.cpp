#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "common/bv_errs.h"
#include "common/bv_filesystem.h"
#include "common/error_reporter.h"
#include "common/file_utils.h"
#include "common/log_fixture.h"
#include "common/bv_winmutex.h"
#include "common/process_startup.h"

namespace {

class FileReports : public tarvex_test::LogFolderTest {
protected:
    void SetUp() override {
        LogFolderTest::SetUp();
        errorReporter.exitOnFatal = false;
        errorReporter.toPage = false;
        errorReporter.toMail = false;
    }
    void TearDown() override {
        errorReporter.exitOnFatal = true;
        errorReporter.toPage = true;
        errorReporter.toMail = true;
        LogFolderTest::TearDown();
    }
};

}  // namespace

TEST_F(FileReports, LockFailureReportedUnlessQuiet) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(unlockFileRegion(fds[1], 0, 4, "the-pipe", true), -1);
    EXPECT_EQ(errorLog(), "");
    EXPECT_EQ(unlockFileRegion(fds[1], 0, 4, "the-pipe", false), -1);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(tarvex_test::maskTimes(errorLog()),
              "Error [M00267 - Job -1 - X00076:bv_fileutil] - <time>\n"
              "   - Failed to lock file the-pipe - error: Illegal seek\n\n");
}

TEST_F(FileReports, OpenFailureReportedOrFormattedIntoTheBuffer) {
    char text[256];
    EXPECT_EQ(fileOpen("../no/such", true, text, sizeof text), -1);
    EXPECT_EQ(errorLog(), "") << "with a buffer nothing is reported";
    EXPECT_NE(std::string(text).find("Can't open ../no/such for \"reading\". Error No such file or directory"),
              std::string::npos)
        << text;
    char small[8];
    EXPECT_EQ(fileOpen("../no/such", false, small, sizeof small), -1);
    EXPECT_EQ(std::string(small).size(), 7u);

    EXPECT_EQ(fileOpen("../no/such", false), -1);
    EXPECT_EQ(fileOpenStream("../no/other", "r", false), nullptr);
    EXPECT_EQ(fileOpenStream("../no/other", "a+t", true), nullptr);
    // The log names the files from the working folder.
    const std::string cgi = std::filesystem::canonical(dir.file("cgi")).string();
    EXPECT_EQ(tarvex_test::maskTimes(errorLog()),
              "Error [M00012 - Job -1 - X00180:bv_fileutil] - <time>\n"
              "   - Can't open " + cgi + "/../no/such for \"writing\". Error No such file or directory\n\n"
              "Error [M00012 - Job -1 - X00180:bv_fileutil] - <time>\n"
              "   - Can't open " + cgi + "/../no/other for \"a+t\". Error No such file or directory\n\n");
}

TEST_F(FileReports, GroupAccessFailureReportedExceptForTheErrorLog) {
    // The default user group "Guests" does not exist on this system.
    tarvex_test::writeFile(dir.file("data/jobid"), "1");
    const int fd = ::open(dir.file("data/jobid").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(setFileAccess(fd, "../logs/errorlog.txt", false), -1);
    EXPECT_EQ(errorLog(), "");
    EXPECT_EQ(setFileAccess(fd, "../data/jobid", false), -1);
    ::close(fd);
    std::string log = tarvex_test::maskTimes(errorLog());
    EXPECT_NE(log.find("Error [M00143 - Job -1 - X00296:bv_fileutil]"), std::string::npos) << log;
    EXPECT_NE(log.find("in SetEntriesInAcl for file ../data/jobid"), std::string::npos) << log;
}

TEST(FileSystemReports, SizeAndTimeRecordOnTheErrorObject) {
    tarvex_test::TempDir dir("fsr");
    tarvex_test::writeFile(dir.file("f"), "12345");
    brenvik::bv_errs errs;
    EXPECT_EQ(brenvik::bv_filesystem::getSize(dir.file("f"), &errs), 5);
    time_t mtime = brenvik::bv_filesystem::getModificationTime(dir.file("f"), &errs);
    EXPECT_LE(std::abs(mtime - time(nullptr)), 5);
    EXPECT_EQ(errs.getNumberOfErrors(), 0);

    EXPECT_EQ(brenvik::bv_filesystem::getSize(dir.file("g"), nullptr), 0);
    EXPECT_EQ(brenvik::bv_filesystem::getSize(dir.file("g"), &errs), 0);
    EXPECT_EQ(brenvik::bv_filesystem::getModificationTime(dir.file("g"), &errs), 0);
    ASSERT_EQ(errs.getNumberOfErrors(), 2);
    EXPECT_EQ(errs.getErrorNumber(1), 258);
    EXPECT_EQ(errs.getErrorString(1), "Failed to stat '" + dir.file("g") + "'");
    EXPECT_EQ(errs.getErrorString(2), "Failed to stat '" + dir.file("g") + "'. No such file or directory");
}

TEST(ProcessHelpers, TimesIdsEnvironmentAndShell) {
    ProcessCpuTimes t;
    getProcessCpuTimes(t);
    usleep(30000);
    ProcessCpuTimes later;
    getProcessCpuTimes(later);
    EXPECT_GE(later.elapsedMs, t.elapsedMs + 25) << "elapsed counts wall-clock time";
    EXPECT_EQ(getProcessId(), static_cast<uint32_t>(getpid()));
    setenv("TARVEX_TEST_VAR", "v1", 1);
    EXPECT_STREQ(getEnv("TARVEX_TEST_VAR"), "v1");
    unsetenv("TARVEX_TEST_VAR");
    EXPECT_EQ(getEnv("TARVEX_TEST_VAR"), nullptr);
    EXPECT_FALSE(getComputerName().empty());
    EXPECT_EQ(enableLowFragmentationHeap(nullptr, false), 0u);

    tarvex_test::TempDir dir("sh");
    std::string cmd = "printf %s a/b > " + dir.file("out");
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back('\0');
    EXPECT_EQ(runShellCommand(line.data()), 0);
    EXPECT_EQ(std::string(line.data()), cmd) << "the command text is not changed";
    EXPECT_EQ(tarvex_test::readFile(dir.file("out")), "a/b");

    bv_winmutex* m = nullptr;
    createMutexHandle(m);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->lock(), 0);
    m->unlock();
    delete m;
    closeSocketLibrary(-1);
    EXPECT_FALSE(socketLibraryStarted);

    NARROW_CHAR_PAL::Mutex& section = getGlobalCriticalSection();
    EXPECT_EQ(&section, &getGlobalCriticalSection());
    NARROW_CHAR_PAL::MutexLock guard(section);
}
