#pragma once
// Tests share one process-wide error reporter: a test that changes its
// channels or its fatal exit holds one of these, which puts every switch back
// as it found it when the test ends, whatever way the test ends.
#include "common/error_reporter.h"

namespace tarvex_test {

class ReporterSwitches {
public:
    ReporterSwitches()
        : quietPage_(errorReporter.quietPage),
          toErrorLog_(errorReporter.toErrorLog),
          toPage_(errorReporter.toPage),
          toMail_(errorReporter.toMail),
          toCollected_(errorReporter.toCollected),
          toMonitorLog_(errorReporter.toMonitorLog),
          toIpcLog_(errorReporter.toIpcLog),
          exitOnFatal_(errorReporter.exitOnFatal),
          deferredFileOn_(errorReporter.deferredFileOn),
          repeatCounting_(errorReporter.isRepeatCounting()) {}
    ~ReporterSwitches() {
        errorReporter.quietPage = quietPage_;
        errorReporter.toErrorLog = toErrorLog_;
        errorReporter.toPage = toPage_;
        errorReporter.toMail = toMail_;
        errorReporter.toCollected = toCollected_;
        errorReporter.toMonitorLog = toMonitorLog_;
        errorReporter.toIpcLog = toIpcLog_;
        errorReporter.exitOnFatal = exitOnFatal_;
        errorReporter.deferredFileOn = deferredFileOn_;
        if (errorReporter.isRepeatCounting() != repeatCounting_) errorReporter.setRepeatCounting(repeatCounting_);
    }
    ReporterSwitches(const ReporterSwitches&) = delete;
    ReporterSwitches& operator=(const ReporterSwitches&) = delete;

    // Every channel off and fatal reports return: reports are only counted.
    void quiet() {
        errorReporter.toErrorLog = errorReporter.toPage = errorReporter.toMail = false;
        errorReporter.toMonitorLog = errorReporter.toIpcLog = false;
        errorReporter.exitOnFatal = false;
    }

private:
    bool quietPage_, toErrorLog_, toPage_, toMail_, toCollected_, toMonitorLog_, toIpcLog_, exitOnFatal_,
        deferredFileOn_, repeatCounting_;
};

// Quiet for the length of a test: no channel, fatal reports return.
class QuietReporter : public ReporterSwitches {
public:
    QuietReporter() { quiet(); }
};

}  // namespace tarvex_test
