#include "common/error_reporter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <functional>
#include <string>

#include "config/global_options.h"
#include "log_fixture.h"
#include "pal/last_error.h"

namespace {

using tarvex_test::LogFolderTest;
using tarvex_test::maskTimes;

class ErrorReporterTest : public LogFolderTest {
protected:
    // Runs body in a child whose standard output goes to page.html and
    // returns the child's exit status (a non-fatal body ends with 0).
    int runChild(const std::function<void()>& body) {
        const std::string page = dir.file("page.html");
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open(page.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            close(fd);
            body();
            fflush(stdout);
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string page() const { return readOrEmpty(dir.file("page.html")); }
};

struct PageCase {
    const char* label;
    int number;
    std::function<void(CErrorReporter&)> report;
    int status;
    std::string page;
    std::string errorLog;
    std::string monitorLog;
};

TEST_F(ErrorReporterTest, ChannelsPageAndExitStatusByKind) {
    const PageCase cases[] = {
        {"kind 0 fatal", 403, [](CErrorReporter& r) { r.report(403, -14, 322, "taxfetch", "bad <line>"); }, 149,
         "<BR>Sorry, your search could not be performed due to the following mistake entering data.<BR>\n"
         "There is an error in a configuration file: bad &lt;line&gt; [M00403]<BR>\n"
         "Please press the back button on your browser, correct the fault and retry the search.<BR>\n",
         "Error [M00403 - Job -14 - X00322:taxfetch] - <time>\n"
         "   - There is an error in a configuration file: bad &lt;line&gt;\n\n",
         ""},
        {"kind 3 fatal", 327, [](CErrorReporter& r) { r.report(327, 5, 1202, "bv_controlfile", 2); }, 73,
         "The following serious error has occurred:<BR>\n"
         "The bv-watcher daemon/service is not running, please start it. (Sub Cluster 2) [M00327]<BR>\n"
         "Please try again later<BR>\n",
         "Error [M00327 - Job 5 - X01202:bv_controlfile] - <time>\n"
         "   - The bv-watcher daemon/service is not running, please start it. (Sub Cluster 2)\n\n",
         ""},
        {"kind 6 not on page", 42, [](CErrorReporter& r) { r.report(42, -1, 10, "x/y.cpp", "prog", "2"); }, 0, "",
         "Error [M00042 - Job -1 - X00010:y] - <time>\n   - Cannot spawn 'prog' - error code '2'\n\n", ""},
        {"kind 10 monitor", 127, [](CErrorReporter& r) { r.report(127, -1, 7, "bv_parserule", "a<b", "bad"); }, 0,
         "Error compiling the parse rule: a&lt;b. Error string: bad [M00127]<BR>\n",
         "Error [M00127 - Job -1 - X00007:bv_parserule] - <time>\n"
         "   - Error compiling the parse rule: a&lt;b. Error string: bad\n\n",
         "<time> - Error compiling the parse rule: a&lt;b. Error string: bad\n"},
        {"kind 11 log only", 536, [](CErrorReporter& r) { r.report(536, -1, 99, "taxonomy", "why"); }, 0, "",
         "Error [M00536 - Job -1 - X00099:taxonomy] - <time>\n   - Taxonomy cache failure: why\n\n", ""},
        {"kind 13 no error log", 74, [](CErrorReporter& r) { r.report(74, -1, 3, "mmapfile", "f"); }, 0,
         "Locked memory for file f [M00074]<BR>\n", "", "<time> - Locked memory for file f\n"},
        // The login link of the catalogue stays markup; the argument is escaped.
        {"kind 17 login link", 440,
         [](CErrorReporter& r) { r.report(440, -13, 281, "seqfetch", "x\"&<y>", "Session has timed out"); }, 186,
         "You are not logged in. Please <a href=\"../cgi/signin.pl?referer=x&quot;&amp;&lt;y&gt;\">login</a> "
         "<br>Session has timed out [M00440]<BR>\n",
         "Error [M00440 - Job -13 - X00281:seqfetch] - <time>\n"
         "   - You are not logged in. Please &lt;a href=\"../cgi/signin.pl?referer=x\"&&lt;y&gt;\"&gt;login&lt;/a&gt; "
         "&lt;br&gt;Session has timed out\n\n",
         ""},
        {"kind 21 trailer only", 51, [](CErrorReporter& r) { r.report(51, 3, 700, "bv_job"); }, 52,
         "Too many searches being run at once [M00051]<BR>\nPlease try again in a few minutes<BR>\n",
         "Error [M00051 - Job 3 - X00700:bv_job] - <time>\n   - Too many searches being run at once\n\n", ""},
        {"unknown number", 700, [](CErrorReporter& r) { r.report(700, -1, 1, "m", "ignored"); }, 0,
         "Unknown error number [M00700]<BR>\n",
         "Error [M00700 - Job -1 - X00001:m] - <time>\n   - Unknown error number\n\n", ""},
    };
    for (const PageCase& c : cases) {
        SCOPED_TRACE(c.label);
        unlink(dir.file("logs/errorlog.txt").c_str());
        unlink(dir.file("logs/monitor.log").c_str());
        int status = runChild([&] {
            CErrorReporter r;
            c.report(r);
        });
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(page(), c.page);
        EXPECT_EQ(maskTimes(errorLog()), c.errorLog);
        EXPECT_EQ(maskTimes(monitorLog()), c.monitorLog);
    }
}

TEST_F(ErrorReporterTest, ReturnedTextIsUnescapedAndEmptyForFatalOrNoCallerKinds) {
    int status = runChild([] {
        CErrorReporter r;
        r.toPage = false;
        r.exitOnFatal = false;
        if (r.report(461, 1, 2, "seqfetch", "P<1>") != "bv-seqfetch.exe cannot find accession P<1>") _exit(10);
        if (!r.report(403, 1, 2, "seqfetch", "x").empty()) _exit(11);
        if (!r.isFatalSeen()) _exit(12);
        if (!r.report(556, 1, 2, "seqfetch").empty()) _exit(13);
        if (r.getLastNumber() != 556 || r.getLastJob() != 1) _exit(14);
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(page(), "");
    EXPECT_NE(errorLog().find("Error [M00403 - Job 1 - X00002:seqfetch]"), std::string::npos);
}

TEST_F(ErrorReporterTest, RequestModeWritesTheLogAndGoesOn) {
    int status = runChild([] {
        CErrorReporter r;
        r.setRepeatCounting(true);
        r.toPage = false;
        r.exitOnFatal = false;
        if (!r.report(403, 7, 322, "post_request_tax", "x").empty()) _exit(10);
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(page(), "");
    EXPECT_EQ(maskTimes(errorLog()),
              "Error [M00403 - Job 7 - X00322:post_request_tax] - <time>\n"
              "   - There is an error in a configuration file: x\n\n");
}

TEST_F(ErrorReporterTest, RepeatLimitsAndSummary) {
    CErrorReporter r;
    r.toPage = false;
    r.setRepeatCounting(true);
    for (int i = 1; i <= 25; ++i) {
        std::string text = r.report(461, 9, 100, "seqfetch", "A1");
        EXPECT_EQ(text.empty(), i > 10) << i;
    }
    for (int i = 1; i <= 101; ++i) EXPECT_EQ(r.report(615, 9, 1, "m").empty(), i > 100) << i;
    EXPECT_FALSE(r.report(252, 9, 1, "seq_iter", 3).empty());
    EXPECT_TRUE(r.report(252, 9, 1, "seq_iter", 3).empty());
    EXPECT_TRUE(r.report(0, 9, 1, "m").empty());
    EXPECT_TRUE(r.report(624, 9, 1, "m").empty());

    const std::string before = errorLog();
    r.reportRepeatSummary(9, 55, "post_request_seq");
    std::string added = maskTimes(errorLog().substr(before.size()));
    EXPECT_EQ(added,
              "Error [M00999 - Job 9 - X00055:post_request_seq] - <time>\n"
              "   - Error 461 has been detected 25 times and only the first 10 messages have been output\n\n"
              "Error [M00999 - Job 9 - X00055:post_request_seq] - <time>\n"
              "   - Error 615 has been detected 101 times and only the first 100 messages have been output\n\n");
    EXPECT_EQ(r.getCollectedTexts().size(), 12u);  // 10 of 461, 1 of 252, the 461 summary
    EXPECT_TRUE(r.report(461, 9, 100, "seqfetch", "A1").empty());
    // Counting off lets everything through again.
    r.setRepeatCounting(false);
    EXPECT_FALSE(r.report(461, 9, 100, "seqfetch", "A1").empty());
}

TEST_F(ErrorReporterTest, LastErrorsHoldTheFirstTen) {
    CErrorReporter r;
    r.toPage = false;
    for (int i = 0; i < 3; ++i) r.report(461, 1, 1, "m", std::to_string(i));
    EXPECT_EQ(r.getLastErrors(),
              "bv-seqfetch.exe cannot find accession 0; bv-seqfetch.exe cannot find accession 1; "
              "bv-seqfetch.exe cannot find accession 2");
    for (int i = 3; i < 12; ++i) r.report(400, 1, 1, "m", i);
    std::string last = r.getLastErrors();
    EXPECT_NE(last.find("gencode ID=9 "), std::string::npos);
    EXPECT_EQ(last.find("gencode ID=10 "), std::string::npos);
}

TEST_F(ErrorReporterTest, LongMessages) {
    const std::string huge(6000, 'd');
    // A non-fatal message over the limit is dropped (it was counted).
    {
        CErrorReporter r;
        r.toPage = false;
        EXPECT_EQ(r.report(461, 1, 1, "m", huge), "");
        EXPECT_EQ(errorLog(), "");
    }
    // A fatal one is cut to 5000 bytes and still ends the process.
    int status = runChild([&] {
        CErrorReporter r;
        r.report(27, -14, 473, "taxfetch", huge);
    });
    EXPECT_EQ(status, 28);
    std::string expected = "Sorry, the database (" + huge.substr(0, 5000 - 21) + " [M00027]<BR>\n";
    EXPECT_NE(page().find(expected), std::string::npos);
    // Between 500 and 5000 bytes the text is whole.
    CErrorReporter r;
    r.toPage = false;
    const std::string mid(3000, 'm');
    EXPECT_EQ(r.report(461, 1, 1, "m", mid), "bv-seqfetch.exe cannot find accession " + mid);
}

TEST_F(ErrorReporterTest, NullTextAndMismatchedArguments) {
    CErrorReporter r;
    r.toPage = false;
    EXPECT_EQ(r.report(461, 1, 1, "m", static_cast<const char*>(nullptr)),
              "bv-seqfetch.exe cannot find accession (null)");
    // Arguments that do not fit the format are never handed to printf.
    EXPECT_EQ(r.report(461, 1, 1, "m", 42), "bv-seqfetch.exe cannot find accession %s");
    EXPECT_EQ(r.report(461, 1, 1, "m"), "bv-seqfetch.exe cannot find accession %s");
}

TEST_F(ErrorReporterTest, FatalCallbackRunsBeforeTheExit) {
    int status = runChild([] {
        CErrorReporter r;
        r.fatalCallback = [](int number) { std::printf("callback %d\n", number); };
        r.reportChecked<12>(-1, 5, "bv_fileutil", "a", "reading", "No such file or directory");
    });
    EXPECT_EQ(status, 13);
    EXPECT_NE(page().find("Can't open a for \"reading\". Error No such file or directory [M00012]<BR>\n"),
              std::string::npos);
    EXPECT_NE(page().find("callback 12\n"), std::string::npos);
}

TEST_F(ErrorReporterTest, FatalReportFromTheCallbackKeepsTheFirstStatus) {
    int status = runChild([] {
        static CErrorReporter r;
        r.fatalCallback = [](int) { r.report(51, -1, 1, "bv_job"); };
        r.report(443, 4, 9, "taxfetch", "joe", 3, "SwissProt");
    });
    EXPECT_EQ(status, 189);
    EXPECT_NE(page().find("Sorry joe [3] - you don't have permission to search the SwissProt database [M00443]"),
              std::string::npos);
    EXPECT_NE(page().find("Too many searches being run at once [M00051]"), std::string::npos);
}

TEST_F(ErrorReporterTest, QuietPageShowsOnlyFatalMessagesShort) {
    int status = runChild([] {
        CErrorReporter r;
        r.quietPage = true;
        r.report(461, 1, 1, "m", "A");
        r.report(27, 1, 1, "m", "db");
    });
    EXPECT_EQ(status, 28);
    EXPECT_EQ(page(), "FATAL_ERROR: M00027\nSorry, the database (db) is not currently available for searching "
                      "[M00027]<BR>\n");
}

TEST_F(ErrorReporterTest, HeldBackMessagesPrecedeTheFatalOneOrGoToTheDeferredFile) {
    int status = runChild([] {
        CErrorReporter r;
        r.deferCallback = [](int fatal) { return fatal == 2 ? 0 : 1; };
        r.report(461, 1, 1, "m", "A<1>");
        r.report(267, 1, 1, "m", "f", "e");
        std::printf("--\n");
        r.report(27, 1, 1, "m", "db");
    });
    EXPECT_EQ(status, 28);
    EXPECT_EQ(page(),
              "--\n"
              "Warning:<BR>\nbv-seqfetch.exe cannot find accession A&lt;1&gt; [M00461]<BR>\nYour search is continuing...<BR>\n"
              "Failed to lock file f - error: e [M00267]<BR>\n"
              "<BR>Sorry, your search could not be performed due to the following mistake entering data.<BR>\n"
              "Sorry, the database (db) is not currently available for searching [M00027]<BR>\n"
              "Please press the back button on your browser, correct the fault and retry the search.<BR>\n");

    const std::string deferred = dir.file("deferred.txt");
    status = runChild([&] {
        CErrorReporter r;
        r.deferCallback = [](int) { return 1; };
        r.deferredFileOn = true;
        r.deferredFile = deferred;
        r.report(461, 1, 1, "m", "A<1>");
        r.report(42, 1, 1, "m", "p", "q");  // not on the page: not in the file either
        r.report(27, 1, 1, "m", "db");
    });
    EXPECT_EQ(status, 28);
    EXPECT_EQ(page(), "");
    EXPECT_EQ(readOrEmpty(deferred),
              "\nbv-seqfetch.exe cannot find accession A&lt;1&gt; [M00461]\n"
              "\nSorry, the database (db) is not currently available for searching [M00027]\n");
}

TEST_F(ErrorReporterTest, SystemErrorCarriesThePlatformText) {
    CErrorReporter r;
    r.toPage = false;
    NARROW_CHAR_PAL::setLastError(ENOENT);
    r.reportSystemError(267, 88, "bv_fileutil", "a.lck");
    EXPECT_EQ(r.getLastErrors(), "Failed to lock file a.lck - error: No such file or directory");
    EXPECT_EQ(r.getLastJob(), -1);
    // Refused by the filter: nothing written.
    r.setRepeatCounting(true);
    for (int i = 0; i < 12; ++i) r.reportSystemError(267, 88, "bv_fileutil", "a.lck");
    EXPECT_EQ(maskTimes(errorLog()).size(), 11 * std::string("Error [M00267 - Job -1 - X00088:bv_fileutil] - <time>\n"
                                                             "   - Failed to lock file a.lck - error: No such file or directory\n\n")
                                                  .size());
}

TEST_F(ErrorReporterTest, CollectedWarningsStopAtOneHundred) {
    CErrorReporter r;
    r.toPage = false;
    r.toErrorLog = false;
    for (int i = 0; i < 120; ++i) r.report(461, 1, 1, "m", std::to_string(i));
    EXPECT_EQ(r.getCollectedTexts().size(), 100u);
    EXPECT_EQ(r.getCollectedTexts()[99], "bv-seqfetch.exe cannot find accession 99");
}

TEST_F(ErrorReporterTest, LogsFollowTheProcessWideOptions) {
    brenvik::bv_options options;
    options.copyFrom(brenvik::globalOptions());
    options.setErrorLogFile(dir.file("elsewhere.txt"));
    options.setMonitorLogFile(dir.file("mon.txt"));
    brenvik::switchStandaloneCluster(options, brenvik::globalCluster());
    CErrorReporter r;
    r.toPage = false;
    r.report(127, -1, 7, "bv_parserule", "a", "b");
    brenvik::resetGlobalOptions();
    EXPECT_NE(readOrEmpty(dir.file("elsewhere.txt")).find("[M00127 - Job -1 - X00007:bv_parserule]"), std::string::npos);
    EXPECT_NE(readOrEmpty(dir.file("mon.txt")).find(" - Error compiling the parse rule: a. Error string: b\n"),
              std::string::npos);
    EXPECT_EQ(errorLog(), "");
}

TEST_F(ErrorReporterTest, FormatMessageWritesNothing) {
    CErrorReporter r;
    std::string text = r.formatMessage(12, -1, 250, "src/common/bv_fileutil.cpp", "<f>", "writing", "denied");
    EXPECT_EQ(maskTimes(text), "Error [M00012 - Job -1 - X00250:bv_fileutil] - <time>\n"
                               "   - Can't open &lt;f&gt; for \"writing\". Error denied");
    EXPECT_EQ(r.formatMessage(624, 1, 1, "m"), "Unknown error number");
    EXPECT_EQ(maskTimes(r.formatMessage(27, 2, 3, "m", 5)),
              "Error [M00027 - Job 2 - X00003:m] - <time>\n   - Sorry, the database (%s) is not currently available for searching");
    EXPECT_EQ(errorLog(), "");
    EXPECT_EQ(r.getLastErrors(), "");
}

TEST(ErrorReporterModule, ModuleNames) {
    struct {
        const char* file;
        const char* module;
    } cases[] = {{"c:\\src\\a/b\\taxfetch.cpp", "taxfetch"},
                 {"src/request/post_request.cpp", "post_request"},
                 {"request/post_request", "post_request"},
                 {"mailit", "mailit"},
                 {"x.y.z", "x"},
                 {"dir\\sub/seq_iter.cpp", "sub/seq_iter"}};
    for (const auto& c : cases) EXPECT_EQ(CErrorReporter::moduleName(c.file), c.module) << c.file;
}

TEST(ErrorReporterEstimate, CountsTextArguments) {
    EXPECT_EQ(CErrorReporter::estimateFormattedLength("%s and %d", "abcd", 7), 9u + 100 + 4);
    EXPECT_EQ(CErrorReporter::estimateFormattedLength("%-10s|%5.2f|%ld|%s", "ab", 1.5, 7L, "xyz"),
              std::strlen("%-10s|%5.2f|%ld|%s") + 100 + 5);
    EXPECT_EQ(CErrorReporter::estimateFormattedLength("100%% %s", "ab"), 8u + 100 + 2);
}

}  // namespace
