#include <gtest/gtest.h>

#include "support/fixture_install.h"
#include "support/program_runner.h"

using tarvex_test::runProgram;
using tarvex_test::RunRequest;

namespace {
RunRequest shell(const std::string& script) {
    RunRequest r;
    r.program = "/bin/sh";
    r.arguments = {"-c", script};
    return r;
}
}  // namespace

TEST(ProgramRunner, CapturesOutputsStatusFolderEnvironmentAndInput) {
    tarvex_test::FixtureInstall install;
    RunRequest r = shell("pwd; printf '%s|%s' \"$REQUEST_METHOD\" \"${HOME-unset}\" >&2; cat; exit 3");
    r.workingFolder = install.cgiDir();
    r.environment = {{"REQUEST_METHOD", "POST"}};
    r.standardInput = "body\r\nbytes";
    auto res = runProgram(r);
    EXPECT_TRUE(res.exited);
    EXPECT_EQ(res.exitStatus, 3);
    EXPECT_EQ(res.standardOutput, install.cgiDir() + "\nbody\r\nbytes");
    EXPECT_EQ(res.standardError, "POST|unset") << "only the given environment reaches the child";

    RunRequest inherit = shell("printf %s \"$TARVEX_RUNNER_OUTER-$X\"");
    setenv("TARVEX_RUNNER_OUTER", "outer", 1);
    inherit.inheritEnvironment = true;
    inherit.environment = {{"X", "given"}};
    EXPECT_EQ(runProgram(inherit).standardOutput, "outer-given");
    unsetenv("TARVEX_RUNNER_OUTER");
}

TEST(ProgramRunner, LargeStreamsBothWaysWithoutDeadlock) {
    RunRequest r = shell("cat; head -c 300000 /dev/zero >&2");
    r.standardInput.assign(1 << 20, 'x');
    auto res = runProgram(r);
    EXPECT_EQ(res.exitStatus, 0);
    EXPECT_EQ(res.standardOutput.size(), size_t{1} << 20);
    EXPECT_EQ(res.standardError.size(), 300000u);

    // A child that ignores its input still finishes.
    RunRequest ignore = shell("exit 0");
    ignore.standardInput.assign(1 << 20, 'y');
    EXPECT_EQ(runProgram(ignore).exitStatus, 0);
}

TEST(ProgramRunner, FailuresSignalsAndTimeOut) {
    RunRequest missing;
    missing.program = "/no/such/program";
    auto res = runProgram(missing);
    EXPECT_EQ(res.exitStatus, 127);

    RunRequest badFolder = shell("true");
    badFolder.workingFolder = "/no/such/folder";
    EXPECT_EQ(runProgram(badFolder).exitStatus, 126);

    auto killed = runProgram(shell("kill -TERM $$"));
    EXPECT_FALSE(killed.exited);
    EXPECT_EQ(killed.signal, SIGTERM);

    RunRequest slow = shell("sleep 30");
    slow.timeoutSeconds = 1;
    auto t = runProgram(slow);
    EXPECT_TRUE(t.timedOut);
    EXPECT_EQ(t.signal, SIGKILL);
}
