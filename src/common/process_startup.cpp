#include "common/process_startup.h"

#include "common/bv_winmutex.h"
#include "common/error_reporter.h"
#include "common/system_calls.h"
#include "pal/last_error.h"
#include "pal/system_text.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <sys/resource.h>
#include <unistd.h>

int64_t monotonicMilliseconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

namespace {

// Report positions of this module ("bv_mutex"). Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineMutexFailed = 84;  // M509

// Taken while the program is loaded, so that elapsed times count from the
// start of the process, not from the first call.
const int64_t processStartMs = monotonicMilliseconds();

uint32_t timevalMs(const struct timeval& tv) {
    return static_cast<uint32_t>(static_cast<uint64_t>(tv.tv_sec) * 1000 + static_cast<uint64_t>(tv.tv_usec) / 1000);
}

// Built before main so that the switch never races its construction.
NARROW_CHAR_PAL::Mutex& globalCriticalSectionAtStart = getGlobalCriticalSection();

}  // namespace

NARROW_CHAR_PAL::Mutex& getGlobalCriticalSection() {
    static NARROW_CHAR_PAL::Mutex* section = new NARROW_CHAR_PAL::Mutex();
    return *section;
}

void getProcessCpuTimes(ProcessCpuTimes& times) {
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) == 0) {
        times.userMs = timevalMs(usage.ru_utime);
        times.kernelMs = timevalMs(usage.ru_stime);
    } else {
        times.userMs = times.kernelMs = 0;
    }
    times.elapsedMs = static_cast<uint32_t>(monotonicMilliseconds() - processStartMs);
}

uint32_t getProcessId() { return static_cast<uint32_t>(getpid()); }

const char* getEnv(const char* name) { return std::getenv(name); }

void sleepMilliseconds(uint32_t milliseconds) {
    struct timespec ts;
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void ignoreBrokenPipe() { ::signal(SIGPIPE, SIG_IGN); }

int runShellCommand(char* commandLine) {
    // An ignored signal stays ignored across exec; the command gets the
    // default that every program expects.
    struct sigaction defaultAction = {}, previous = {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    ::sigaction(SIGPIPE, &defaultAction, &previous);
    int result = std::system(commandLine);
    ::sigaction(SIGPIPE, &previous, nullptr);
    return result;
}

void setStdinBinary() {}

std::string getComputerName() {
    char buf[256];
    if (gethostname(buf, sizeof buf) != 0) return std::string();
    buf[sizeof buf - 1] = '\0';
    return buf;
}

uint32_t enableLowFragmentationHeap(void*, bool) { return 0; }

bool socketLibraryStarted = false;

void createMutexHandle(bv_winmutex*& slot) {
    bv_winmutex* m = new bv_winmutex();
    if (m->isValid()) {
        slot = m;
        return;
    }
    delete m;
    slot = nullptr;
    unsigned code = NARROW_CHAR_PAL::getLastError();
    errorReporter.report(509, -1, kLineMutexFailed, "bv_mutex", "CreateMutex", code);
}

std::unique_ptr<bv_winmutex> createOwnedMutex() {
    bv_winmutex* handle = nullptr;
    createMutexHandle(handle);
    return std::unique_ptr<bv_winmutex>(handle);
}

void closeSocketLibrary(int) { socketLibraryStarted = false; }

namespace {
constexpr int kWriteFailedNumber = 46;
constexpr size_t kStandardOutputBuffer = 1 << 16;
}  // namespace

void bufferStandardOutput() {
    // glibc ignores the size unless it is given the buffer itself. Static,
    // so that it outlives every write, those of exit handlers included.
    static char buffer[kStandardOutputBuffer];
    // A terminal keeps its line buffering: someone is reading along.
    if (!::isatty(STDOUT_FILENO)) std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

int finishStandardOutput(std::FILE* out, int status, int job, int line, const char* module) {
    // error -1: an earlier write failed, and its reason is gone.
    int error = 0;
    errno = 0;
    if (std::fflush(out) != 0) error = errno != 0 ? errno : -1;
    if (error == 0 && std::ferror(out)) error = -1;
    if (error == 0) {
        // Some file systems report a failed write only when a descriptor of
        // the file is closed; the stream itself stays open for whatever an
        // exit handler still writes.
        const int fd = ::fileno(out);
        const int copy = fd >= 0 ? ::dup(fd) : -1;
        if (copy >= 0 && ::close(copy) != 0 && errno != EINTR) error = errno;
    }
    if (error == -1 && std::ferror(out)) {
        // The stream keeps only that a write failed, not why. The answer is
        // lost already, so one more byte tells the reason the system gives
        // now (a full disk, an I/O error, a closed pipe).
        const int fd = ::fileno(out);
        ssize_t n = -1;
        do {
            n = fd >= 0 ? systemCalls().write(fd, "\n", 1) : 0;
        } while (n < 0 && errno == EINTR);
        if (n < 0) error = errno;
    }
    if (error == 0) return status;
    const std::string reason = error > 0 ? ": " + getSystemErrorText(static_cast<uint32_t>(error)) : std::string();
    const std::string what = "the answer could not be written to standard output" + reason;
    // The answer is lost, so neither channel may be standard output. The
    // entry says why, as the line on standard error does.
    const bool toPage = errorReporter.toPage;
    errorReporter.toPage = false;
    errorReporter.reportText(kWriteFailedNumber, job, line, module,
                             std::string(errorCatalogue[kWriteFailedNumber].format) + ": " + what);
    errorReporter.toPage = toPage;
    std::fprintf(stderr, "Job %d: %s\n", job, what.c_str());
    std::fflush(stderr);
    return status != 0 ? status : kWriteFailedNumber % 255 + 1;
}
