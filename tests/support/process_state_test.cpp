#include "support/process_state.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "common/error_reporter.h"
#include "common/file_utils.h"
#include "common/system_calls.h"
#include "config/global_options.h"
#include "database/bv_cachefile.h"
#include "support/program_runner.h"
#include "support/temp_dir.h"

namespace {

using tarvex_test::ProcessState;

int noLink(const char*, const char*) { return -1; }
void onSignal(int) {}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return text;
}

// Every kind of state a test may leave changed is seen, named, and (but for
// descriptors) put back by restore().
TEST(ProcessState, SeesAndPutsBackEveryKindOfChange) {
    tarvex_test::TempDir dir("state");
    int fd = -1;
    struct Case {
        const char* name;
        std::function<void()> change;
        const char* seen;  // start of the line that names the change
    } cases[] = {
        {"variable set", [] { setenv("TARVEX_STATE_TEST", "1", 1); }, "environment + TARVEX_STATE_TEST=1"},
        {"variable removed", [] { unsetenv("PATH"); }, "environment - PATH="},
        {"working folder", [&] { ASSERT_EQ(chdir(dir.path().c_str()), 0); }, "working folder "},
        {"umask", [] { umask(umask(0) ^ 077); }, "umask "},
        {"signal ignored", [] { signal(SIGUSR1, SIG_IGN); }, "signal + 10 (User defined signal 1): ignored"},
        {"signal handler", [] { signal(SIGUSR2, onSignal); }, "signal + 12 (User defined signal 2): handler"},
        {"signal blocked",
         [] {
             sigset_t set;
             sigemptyset(&set);
             sigaddset(&set, SIGUSR1);
             pthread_sigmask(SIG_BLOCK, &set, nullptr);
         },
         "blocked signals"},
        {"reporter switch", [] { errorReporter.toPage = !errorReporter.toPage; }, "error reporter switches"},
        {"fatal callback", [] { errorReporter.fatalCallback = [](int) {}; }, "error reporter switches"},
        {"options",
         [] {
             brenvik::bv_options options;
             options.setErrorLogFile("/elsewhere/errorlog.txt");
             brenvik::switchStandaloneCluster(options, brenvik::globalCluster());
         },
         "options + ErrorLogFile /elsewhere/errorlog.txt"},
        {"system call", [] { systemCalls().link = &noLink; }, "a system call of systemCalls()"},
        {"descriptor", [&] { fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY); }, "descriptor + "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ProcessState before = ProcessState::capture();
        c.change();
        const std::vector<std::string> changes = ProcessState::capture().changesSince(before);
        bool named = false;
        for (const std::string& line : changes) named = named || line.rfind(c.seen, 0) == 0;
        EXPECT_TRUE(named) << joined(changes);
        before.restore();
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
        EXPECT_EQ(joined(ProcessState::capture().changesSince(before)), "");
    }
}

// Run by the test below in a program of its own: it leaves the umask changed.
TEST(ProcessStateListener, DISABLED_LeavesTheUmaskChanged) { umask(umask(0) ^ 077); }

TEST(ProcessStateListener, FailsTheTestThatLeftTheProcessChanged) {
    tarvex_test::RunRequest run;
    run.program = std::string(TARVEX_BINARY_DIR) + "/tests/support_tests";
    run.arguments = {"--gtest_also_run_disabled_tests", "--gtest_filter=ProcessStateListener.DISABLED_*"};
    const tarvex_test::RunResult r = tarvex_test::runProgram(run);
    EXPECT_TRUE(r.exited && r.exitStatus == 1) << r.standardOutput;
    EXPECT_NE(r.standardOutput.find("this test left the process changed:\n  umask "), std::string::npos)
        << r.standardOutput;
    EXPECT_NE(r.standardOutput.find("[  FAILED  ] ProcessStateListener.DISABLED_LeavesTheUmaskChanged"),
              std::string::npos)
        << r.standardOutput;
}

}  // namespace
