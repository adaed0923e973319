#pragma once
// The thread's last platform error. Every platform call of this layer that
// fails stores errno here (captureLastError), so that reports written after
// further calls still name the failure that caused them.
#include <cstdint>

namespace NARROW_CHAR_PAL {

uint32_t getLastError();
void setLastError(uint32_t code);
// Stores the current errno as the last error and returns it.
uint32_t captureLastError();

}  // namespace NARROW_CHAR_PAL
