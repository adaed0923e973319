#include "common/mmapfile_guard.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace {

// Linux lets a mapped file shrink; a read of a page past the new end then
// raises SIGBUS, which by default kills the process in the middle of a
// request with its job slot still running. Read-only views are registered
// here, and the SIGBUS handler puts anonymous zero pages over the rest of
// the view that faulted, counts the loss and returns: the read runs again
// and sees zero bytes.
//
// Why not jump out of the fault with siglongjmp, or end the process from
// the handler? The fault can happen deep inside any reader of mapped data,
// even inside a library call; a jump skips destructors and scope guards and
// may leave a stream or an allocator half-updated, and the reporter's fatal
// path (log, mail, job completion, exit) is far from async-signal-safe.
// Zero pages keep the program on its normal path: every reader already
// treats the files as untrusted and bounds what it reads, so zeros are only
// corrupt data, and the readers check the loss (and the file's size) after
// they copied what they read, so the loss ends the request with a clear
// error.
//
// One thread per process, and the handler runs on the thread that touched
// the mapping, so the table needs no lock; entries are written only outside
// the handler.
struct GuardedView {
    const char* volatile start = nullptr;
    volatile uint64_t length = 0;
};
constexpr int kGuardedViews = 64;
GuardedView guardedViews[kGuardedViews];
volatile sig_atomic_t lostViews = 0;
uintptr_t pageSize = 4096;
// What SIGBUS did before the guard was installed: faults outside our views
// are its business.
struct sigaction previousAction;

void onBusError(int signal, siginfo_t* info, void* context) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    if (info->si_code > 0) {
        for (GuardedView& view : guardedViews) {
            const uintptr_t start = reinterpret_cast<uintptr_t>(view.start);
            if (start == 0 || address < start || address - start >= view.length) continue;
            const uintptr_t page = address & ~(pageSize - 1);
            const uintptr_t end = start + view.length;
            if (::mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED)
                break;
            lostViews = lostViews + 1;
            return;
        }
    }
    // Not a view of ours (a real fault), or it cannot be mended: the
    // handler installed before ours decides; without one, die as the
    // default action would. (An ignored SIGBUS cannot be ignored for a
    // fault: returning would only fault again.)
    if ((previousAction.sa_flags & SA_SIGINFO) != 0 && previousAction.sa_sigaction != nullptr) {
        previousAction.sa_sigaction(signal, info, context);
        return;
    }
    if ((previousAction.sa_flags & SA_SIGINFO) == 0 && previousAction.sa_handler != SIG_DFL &&
        previousAction.sa_handler != SIG_IGN) {
        previousAction.sa_handler(signal);
        return;
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

bool installHandler() {
    static bool installed = false;
    if (installed) return true;
    pageSize = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    installed = ::sigaction(SIGBUS, &action, &previousAction) == 0;
    return installed;
}

}  // namespace

unsigned mmap_guard::lostViewCount() { return static_cast<unsigned>(lostViews); }

bool mmap_guard::guardReadOnlyMapping(const char* start, uint64_t length) {
    if (start == nullptr || !installHandler()) return false;
    for (GuardedView& view : guardedViews) {
        if (view.start != nullptr) continue;
        view.length = length;
        view.start = start;
        return true;
    }
    return false;
}

void mmap_guard::unguardReadOnlyMapping(const char* start) {
    if (start == nullptr) return;
    for (GuardedView& view : guardedViews) {
        if (view.start != start) continue;
        view.start = nullptr;
        view.length = 0;
        return;
    }
}
