#pragma once
// Replaces the pause and the clock of the retried waits (systemCalls())
// for the life of the object: a pause only moves the clock on, so that ten
// tries one second apart take no time. One at a time per process.
#include <cstdint>
#include <functional>

#include "common/system_calls.h"

namespace tarvex_test {

class FakeClock {
public:
    FakeClock();
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    // Milliseconds the pauses added since the clock was installed.
    int64_t elapsedMs() const { return now_ - start_; }
    int pauses() const { return pauses_; }
    // Called after every pause with the elapsed time, say to let a holder go
    // or write a file at a chosen moment of the wait.
    std::function<void(int64_t elapsedMs)> onPause;
    // When above 0, every pause moves the clock on by this many milliseconds
    // whatever it asked for: with an onPause that sleeps a little for real, a
    // wait on a real process then lasts until it answers however slow the
    // machine, while its limit still ends it should it never answer.
    int64_t stepMs = 0;

private:
    static void sleep(uint32_t milliseconds);
    static int64_t now();

    SystemCalls saved_;
    int64_t start_ = 0;
    int64_t now_ = 0;
    int pauses_ = 0;
};

}  // namespace tarvex_test
