#pragma once
// Process-level helpers every run uses: times, IDs, environment, sleeping,
// running a command line, standard input mode, the computer name, and the
// critical section of the standalone/cluster switch.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "pal/mutex.h"

class bv_winmutex;

struct ProcessCpuTimes {
    uint32_t userMs = 0;
    uint32_t kernelMs = 0;
    // Wall-clock milliseconds since the process started.
    uint32_t elapsedMs = 0;
};

// The one lock of the standalone/cluster switch: created on first use (or
// before main), never destroyed.
NARROW_CHAR_PAL::Mutex& getGlobalCriticalSection();

void getProcessCpuTimes(ProcessCpuTimes& times);
uint32_t getProcessId();
// The variable's value, or null when it is not set.
const char* getEnv(const char* name);
void sleepMilliseconds(uint32_t milliseconds);
// Milliseconds of a clock that never goes back (not the time of day).
int64_t monotonicMilliseconds();
// Called first in main: a client that hangs up must not kill the process at
// its next write, which would skip finishing its job. Writes to a closed
// reader fail with EPIPE instead. Programs the process starts get the
// default action back.
void ignoreBrokenPipe();
// Runs the text unchanged through /bin/sh -c (SIGPIPE at its default);
// returns system()'s result.
int runShellCommand(char* commandLine);
// Standard input carries bytes unchanged here already; nothing to switch.
void setStdinBinary();
// Gives standard output one large buffer, so that an answer goes out in a
// few writes instead of one per line. Call before anything is written.
void bufferStandardOutput();
// Flushes out at the end of a run. When the answer could not be written
// (the flush or the stream fails, or closing a duplicate of its descriptor
// reports a deferred write error) this is logged as M46 and a line goes to
// standard error; the status then becomes (46 mod 255) + 1 unless it was
// non-zero already. Otherwise status is returned unchanged.
int finishStandardOutput(std::FILE* out, int status, int job, int line, const char* module);
// The host name, or an empty string when it cannot be read.
std::string getComputerName();
// The allocator needs no switch here: always succeeds (0).
uint32_t enableLowFragmentationHeap(void* heap, bool force);

// Creates an unnamed lock; on failure stores null and reports M509 (fatal).
void createMutexHandle(bv_winmutex*& slot);
// The same, owned by the caller.
std::unique_ptr<bv_winmutex> createOwnedMutex();
// No socket library needs starting or closing here; the flag records a start
// should one ever be made, and is cleared in every case.
void closeSocketLibrary(int job);
extern bool socketLibraryStarted;
