#include "pal/last_error.h"

#include <cerrno>

namespace NARROW_CHAR_PAL {

namespace {
thread_local uint32_t lastError = 0;
}

uint32_t getLastError() { return lastError; }

void setLastError(uint32_t code) { lastError = code; }

uint32_t captureLastError() {
    lastError = static_cast<uint32_t>(errno);
    return lastError;
}

}  // namespace NARROW_CHAR_PAL
