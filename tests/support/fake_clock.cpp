#include "support/fake_clock.h"

namespace tarvex_test {
namespace {

FakeClock* active = nullptr;

}  // namespace

FakeClock::FakeClock() : saved_(systemCalls()), start_(saved_.monotonicMilliseconds()), now_(start_) {
    active = this;
    systemCalls().sleepMilliseconds = &FakeClock::sleep;
    systemCalls().monotonicMilliseconds = &FakeClock::now;
}

FakeClock::~FakeClock() {
    systemCalls().sleepMilliseconds = saved_.sleepMilliseconds;
    systemCalls().monotonicMilliseconds = saved_.monotonicMilliseconds;
    active = nullptr;
}

void FakeClock::sleep(uint32_t milliseconds) {
    active->now_ += active->stepMs > 0 ? active->stepMs : milliseconds;
    ++active->pauses_;
    if (active->onPause) active->onPause(active->elapsedMs());
}

int64_t FakeClock::now() { return active->now_; }

}  // namespace tarvex_test
