#pragma once
// What a test may not leave changed in its process: the environment, the
// working folder, the umask, signal dispositions and the signal mask, the
// error reporter's switches, the process-wide Options and Cluster sections,
// the table of replaceable system calls (with the clock of the waits), and
// the open descriptors. Every test program installs ProcessStateListener
// (test_main.cpp), which takes this record around every test and fails the
// test that left it changed, so that a leak shows up at the test that made
// it rather than at some later, unrelated one.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/file_utils.h"
#include "common/system_calls.h"
#include "config/bv_clusteroptions.h"
#include "config/bv_options.h"
#include "support/reporter_switches.h"

namespace tarvex_test {

struct ProcessState {
    std::vector<std::string> environment;  // sorted
    std::string workingFolder;
    mode_t umask = 0;
    std::vector<std::pair<int, struct sigaction>> actions;  // every signal that has one
    std::vector<int> blockedSignals;
    ReporterState reporter;
    std::vector<std::string> options;      // the Options and Cluster values, one per line
    std::vector<std::string> descriptors;  // "fd -> target"
    SystemCalls fileCalls{};           // the table of replaceable system calls
    std::shared_ptr<const brenvik::bv_options> optionsCopy;
    std::shared_ptr<const brenvik::bv_clusteroptions> clusterCopy;

    static ProcessState capture();
    // What differs from before, one line each; empty when nothing does.
    std::vector<std::string> changesSince(const ProcessState& before) const;
    // Puts back what can be put back (all but the descriptors), so that one
    // leaking test does not fail the tests run after it in the same process.
    void restore() const;
};

class ProcessStateListener : public ::testing::EmptyTestEventListener {
public:
    // Sets up before the first test what the code sets up once, on first
    // use, and keeps for the life of the process, so that the test that
    // happens to come first is not blamed for it.
    void OnTestProgramStart(const ::testing::UnitTest&) override;
    void OnTestSuiteStart(const ::testing::TestSuite&) override;
    void OnTestStart(const ::testing::TestInfo&) override;
    void OnTestEnd(const ::testing::TestInfo&) override;
    void OnTestSuiteEnd(const ::testing::TestSuite&) override;

private:
    ProcessState suiteStart_, testStart_;
};

}  // namespace tarvex_test
