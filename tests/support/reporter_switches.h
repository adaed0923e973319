#pragma once
// Tests share one process-wide error reporter: a test that changes its
// channels or its fatal exit holds one of these, which puts every switch back
// as it found it when the test ends, whatever way the test ends.
#include <string>

#include "common/error_reporter.h"

namespace tarvex_test {

// The reporter's switches: its channels, its fatal exit and callbacks, the
// deferred file and repeat counting (not what it has collected or counted).
struct ReporterState {
    bool quietPage, toErrorLog, toPage, toMail, toCollected, toMonitorLog, toIpcLog, exitOnFatal, deferredFileOn,
        repeatCounting;
    CErrorReporter::FatalCallback fatalCallback;
    CErrorReporter::DeferCallback deferCallback;
    std::string deferredFile;

    static ReporterState capture() {
        return {errorReporter.quietPage,    errorReporter.toErrorLog,     errorReporter.toPage,
                errorReporter.toMail,       errorReporter.toCollected,    errorReporter.toMonitorLog,
                errorReporter.toIpcLog,     errorReporter.exitOnFatal,    errorReporter.deferredFileOn,
                errorReporter.isRepeatCounting(), errorReporter.fatalCallback, errorReporter.deferCallback,
                errorReporter.deferredFile};
    }
    void restore() const {
        errorReporter.quietPage = quietPage;
        errorReporter.toErrorLog = toErrorLog;
        errorReporter.toPage = toPage;
        errorReporter.toMail = toMail;
        errorReporter.toCollected = toCollected;
        errorReporter.toMonitorLog = toMonitorLog;
        errorReporter.toIpcLog = toIpcLog;
        errorReporter.exitOnFatal = exitOnFatal;
        errorReporter.deferredFileOn = deferredFileOn;
        errorReporter.fatalCallback = fatalCallback;
        errorReporter.deferCallback = deferCallback;
        errorReporter.deferredFile = deferredFile;
        if (errorReporter.isRepeatCounting() != repeatCounting) errorReporter.setRepeatCounting(repeatCounting);
    }
    bool operator==(const ReporterState&) const = default;
};

class ReporterSwitches {
public:
    ReporterSwitches() : saved_(ReporterState::capture()) {}
    ~ReporterSwitches() { saved_.restore(); }
    ReporterSwitches(const ReporterSwitches&) = delete;
    ReporterSwitches& operator=(const ReporterSwitches&) = delete;

    // Every channel off and fatal reports return: reports are only counted.
    void quiet() {
        errorReporter.toErrorLog = errorReporter.toPage = errorReporter.toMail = false;
        errorReporter.toMonitorLog = errorReporter.toIpcLog = false;
        errorReporter.exitOnFatal = false;
    }

private:
    ReporterState saved_;
};

// Quiet for the length of a test: no channel, fatal reports return.
class QuietReporter : public ReporterSwitches {
public:
    QuietReporter() { quiet(); }
};

}  // namespace tarvex_test
