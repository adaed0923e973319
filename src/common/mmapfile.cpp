#include "common/mmapfile.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/file_utils.h"
#include "common/io_utils.h"
#include "common/mmapfile_report.h"
#include "pal/number_reader.h"

extern char** environ;

namespace {

constexpr uint64_t kMiB = 1024ull * 1024ull;
const char* const kMemLockProgram = "bv-memlock";

// realpath resolves a path one component at a time, a readlink each (and a
// getcwd for a relative one); the kernel's name of the file opened by that
// path is the same text in three calls. realpath stays the answer whenever
// the kernel's name cannot be read or is not a plain path.
std::string kernelPathOf(const std::string& fsPath) {
    const int fd = ::open(fsPath.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) return std::string();
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(link, buffer, sizeof buffer);
    ::close(fd);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer || buffer[0] != '/') return std::string();
    std::string result(buffer, static_cast<size_t>(n));
    // The kernel marks a file removed since it was opened.
    constexpr std::string_view deleted = " (deleted)";
    if (result.size() >= deleted.size() && result.compare(result.size() - deleted.size(), deleted.size(), deleted) == 0)
        return std::string();
    return result;
}

std::string canonicalPath(const std::string& path) {
    const std::string fsPath = osPath(path);
    std::string kernelPath = kernelPathOf(fsPath);
    if (!kernelPath.empty()) return kernelPath;
    char* resolved = ::realpath(fsPath.c_str(), nullptr);
    if (resolved == nullptr) return std::string();
    std::string result(resolved);
    std::free(resolved);
    return result;
}

std::string errnoText(int code) { return mmap_report::systemText(code); }

uint32_t loadState(const HelperLockRecord* record) {
    return __atomic_load_n(&record->state, __ATOMIC_ACQUIRE);
}

void storeRequest(HelperLockRecord* record, uint32_t value) {
    __atomic_store_n(&record->request, value, __ATOMIC_RELEASE);
}

// Helpers started by lockWithHelper are our children; reap those that ended
// so that none stays a zombie in a long-lived owner.
std::vector<pid_t>& helperChildren() {
    static std::vector<pid_t>* children = new std::vector<pid_t>();
    return *children;
}

void reapHelpers() {
    auto& children = helperChildren();
    children.erase(std::remove_if(children.begin(), children.end(),
                                  [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) != 0; }),
                   children.end());
}

// Monotonic whole seconds and the pauses of the helper waits, through the
// table tests replace.
long long nowSeconds() { return fileSystemCalls().monotonicMilliseconds() / 1000; }

void pause10ms() { fileSystemCalls().sleepMilliseconds(10); }

// A number field of a marker line: the text up to the next blank (or the
// end) must be a whole decimal number of the field's type.
template <typename T>
bool parseField(const char*& p, T& value) {
    const char* blank = std::strchr(p, ' ');
    const std::string_view field(p, blank != nullptr ? static_cast<size_t>(blank - p) : std::strlen(p));
    const std::optional<T> parsed = brenvik::parseDecimal<T>(field);
    if (!parsed) return false;
    value = *parsed;
    p += field.size();
    return true;
}

bool skipBlank(const char*& p) {
    if (*p != ' ') return false;
    ++p;
    return true;
}

// --- Files cut short while mapped ---------------------------------------
//
// Linux lets a mapped file shrink; a read of a page past the new end then
// raises SIGBUS, which by default kills the process in the middle of a
// request with its job slot still running. Read-only whole-file views are
// registered here, and the SIGBUS handler puts anonymous zero pages over
// the rest of the view that faulted, counts the loss and returns: the read
// runs again and sees zero bytes.
//
// Why not jump out of the fault with siglongjmp, or end the process from
// the handler? The fault can happen deep inside any reader of mapped data,
// even inside a library call; a jump skips destructors and scope guards and
// may leave a stream or an allocator half-updated, and the reporter's fatal
// path (log, mail, job completion, exit) is far from async-signal-safe.
// Zero pages keep the program on its normal path: every reader already
// treats the files as untrusted and bounds what it reads, so zeros are only
// corrupt data, and the requests check lostViewCount() before they show
// what they read, so the loss ends the request with a clear error.
//
// One thread per process, and the handler runs on the thread that touched
// the mapping, so the table needs no lock; entries are written only outside
// the handler.
struct GuardedView {
    char* volatile start = nullptr;
    volatile uint64_t length = 0;
};
constexpr int kGuardedViews = 64;
GuardedView guardedViews[kGuardedViews];
volatile sig_atomic_t lostViews = 0;
uintptr_t pageSize = 4096;

void onBusError(int signal, siginfo_t* info, void*) {
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
    // Not a view of ours (a real fault) or it cannot be mended: die as
    // the default action would.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void guardView(char* start, uint64_t length) {
    static bool installed = false;
    if (!installed) {
        pageSize = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        installed = ::sigaction(SIGBUS, &action, nullptr) == 0;
        if (!installed) return;
    }
    for (GuardedView& view : guardedViews) {
        if (view.start != nullptr) continue;
        view.length = length;
        view.start = start;
        return;
    }
}

void unguardView(const char* start) {
    for (GuardedView& view : guardedViews) {
        if (view.start != start) continue;
        view.start = nullptr;
        view.length = 0;
        return;
    }
}

}  // namespace

unsigned CMmapFile::lostViewCount() { return static_cast<unsigned>(lostViews); }

void CMmapFile::guardReadOnlyMapping(const char* start, uint64_t length) { guardView(const_cast<char*>(start), length); }

void CMmapFile::unguardReadOnlyMapping(const char* start) { unguardView(start); }

// Descriptor, whole-file view and the marker this process registered; the
// last object holding them (original or copy) releases them.
struct CMmapFile::Shared {
    int fd = -1;
    char* wholeView = nullptr;
    uint64_t wholeLength = 0;
    std::string ownedMarker;
    std::string path;

    ~Shared() {
        if (wholeView != nullptr) unguardView(wholeView);
        if (wholeView != nullptr && ::munmap(wholeView, wholeLength) != 0)
            mmap_report::say(53, 733, path.c_str(), errnoText(errno).c_str());
        if (fd >= 0) ::close(fd);
        // Another owner may have registered the file since; its marker stays.
        if (!ownedMarker.empty()) {
            MmapMarker marker;
            if (CMmapFile::readMarker(ownedMarker, marker) && marker.pid == static_cast<long>(::getpid()))
                CMmapFile::removeMarker(ownedMarker);
        }
    }
};

CMmapFile::CMmapFile() { resetFields(); }

CMmapFile::CMmapFile(const CMmapFile& other)
    : size_(other.size_),
      viewOffset_(other.viewOffset_),
      view_(other.view_),
      path_(other.path_),
      windowSize_(other.windowSize_),
      viewLength_(other.viewLength_),
      lockState_(other.lockState_),
      readOnly_(other.readOnly_),
      wholeFileMapped_(other.wholeFileMapped_),
      openSucceeded_(other.openSucceeded_),
      isCopy_(true),
      granularity_(other.granularity_),
      mappingName_(other.mappingName_),
      owner_(other.owner_),
      report_(other.report_),
      shared_(other.shared_) {
    // A window belongs to the object that mapped it; the copy maps its own.
    if (!wholeFileMapped_) {
        viewOffset_ = 0;
        view_ = nullptr;
        viewLength_ = 0;
    }
}

CMmapFile& CMmapFile::operator=(const CMmapFile& other) {
    if (this != &other) {
        CMmapFile copy(other);
        close();
        size_ = copy.size_;
        viewOffset_ = copy.viewOffset_;
        view_ = copy.view_;
        path_ = copy.path_;
        windowSize_ = copy.windowSize_;
        viewLength_ = copy.viewLength_;
        lockState_ = copy.lockState_;
        readOnly_ = copy.readOnly_;
        wholeFileMapped_ = copy.wholeFileMapped_;
        openSucceeded_ = copy.openSucceeded_;
        isCopy_ = true;
        granularity_ = copy.granularity_;
        mappingName_ = copy.mappingName_;
        owner_ = copy.owner_;
        report_ = copy.report_;
        shared_ = copy.shared_;
        copy.view_ = nullptr;  // the window, if any, stays with nobody: copies start without one
    }
    return *this;
}

CMmapFile::~CMmapFile() { close(); }

void CMmapFile::resetFields() {
    size_ = 0;
    viewOffset_ = 0;
    view_ = nullptr;
    lockAddress_ = nullptr;
    path_.clear();
    windowSize_ = 0;
    viewLength_ = 0;
    lockLength_ = 0;
    lockState_ = 0;
    readOnly_ = true;
    wholeFileMapped_ = false;
    openSucceeded_ = false;
    isCopy_ = false;
    long page = ::sysconf(_SC_PAGESIZE);
    granularity_ = page > 0 ? static_cast<uint32_t>(page) : 4096u;
    deferral_ = nullptr;
    mappingName_.clear();
    owner_ = false;
    report_ = false;
    shared_.reset();
}

// ---------------------------------------------------------------------------
// The marker contract

std::string CMmapFile::mappingNameFor(const std::string& canonicalPath, bool localName) {
    std::string name = localName ? std::string() : std::string("Global\\");
    for (char c : canonicalPath) name += (c == '\\') ? '~' : c;
    return name;
}

std::string CMmapFile::markerNameFor(const std::string& mappingName) {
    std::string name = "/tarvex.";
    for (char c : mappingName) name += (c == '\\' || c == '/') ? '~' : c;
    if (name.size() <= 255) return name;
    // shm names are limited to NAME_MAX; a hash keeps long paths apart.
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : name) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return name.substr(0, 230) + "." + hex;
}

std::string CMmapFile::markerNameForFile(const std::string& path, bool localName) {
    std::string canonical = canonicalPath(path);
    if (canonical.empty()) return std::string();
    return markerNameFor(mappingNameFor(canonical, localName));
}

std::string CMmapFile::formatMarker(const MmapMarker& marker) {
    char head[160];
    std::snprintf(head, sizeof head, "BVMAP1 %ld %d %llu %llu %lld ", marker.pid, marker.readWrite ? 1 : 0,
                  marker.device, marker.inode, marker.size);
    return std::string(head) + marker.path + "\n";
}

bool CMmapFile::parseMarker(const std::string& text, MmapMarker& marker) {
    size_t lineEnd = text.find('\n');
    if (lineEnd == std::string::npos || text.compare(0, 7, "BVMAP1 ") != 0) return false;
    std::string line = text.substr(0, lineEnd);
    if (line.find('\0') != std::string::npos) return false;
    const char* p = line.c_str() + 7;
    long long pid = 0, size = 0;
    unsigned long long rw = 0, device = 0, inode = 0;
    if (!parseField(p, pid) || pid < 0 || pid > INT_MAX || !skipBlank(p)) return false;
    if (!parseField(p, rw) || rw > 1 || !skipBlank(p)) return false;
    if (!parseField(p, device) || !skipBlank(p)) return false;
    if (!parseField(p, inode) || !skipBlank(p)) return false;
    if (!parseField(p, size) || size < 0 || !skipBlank(p)) return false;
    MmapMarker parsed;
    parsed.pid = static_cast<long>(pid);
    parsed.readWrite = static_cast<int>(rw);
    parsed.device = device;
    parsed.inode = inode;
    parsed.size = size;
    parsed.path = p;
    marker = parsed;
    return true;
}

bool CMmapFile::writeMarker(const std::string& markerName, const MmapMarker& marker, mode_t mode) {
    int fd = ::shm_open(markerName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, mode & 0666);
    if (fd < 0) return false;
    // shm_open applies the umask; the marker carries the file's own mode.
    (void)::fchmod(fd, mode & 0666);
    std::string line = formatMarker(marker);
    // Written over the old line, then cut: a reader never meets an empty marker.
    ssize_t written = ::pwrite(fd, line.data(), line.size(), 0);
    bool ok = written == static_cast<ssize_t>(line.size());
    int saved = ok ? 0 : (written < 0 ? errno : EIO);
    if (ok && ::ftruncate(fd, static_cast<off_t>(line.size())) != 0) {
        ok = false;
        saved = errno;
    }
    ::close(fd);
    errno = saved;
    return ok;
}

bool CMmapFile::readMarker(const std::string& markerName, MmapMarker& marker) {
    int fd = ::shm_open(markerName.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    char buffer[8192];
    ssize_t got;
    do {
        got = ::pread(fd, buffer, sizeof buffer, 0);
    } while (got < 0 && errno == EINTR);
    int saved = errno;
    ::close(fd);
    if (got < 0) {
        errno = saved;
        return false;
    }
    if (!parseMarker(std::string(buffer, static_cast<size_t>(got)), marker)) {
        errno = EINVAL;
        return false;
    }
    return true;
}

bool CMmapFile::removeMarker(const std::string& markerName) { return ::shm_unlink(markerName.c_str()) == 0; }

// ---------------------------------------------------------------------------
// Opening and closing

bool CMmapFile::open(const std::string& path, bool readOnly, int& error, uint32_t flags, uint32_t window,
                     bool report) {
    if (openSucceeded_ || shared_ || view_ != nullptr) close();
    error = 0;
    report_ = report;
    const std::string fsPath = osPath(path);
    struct stat st;
    if (::stat(fsPath.c_str(), &st) != 0) {
        if (report) mmap_report::say(47, 216, path.c_str(), errnoText(errno).c_str());
        error = 47;
    } else {
        windowSize_ = static_cast<uint64_t>(window) + granularity_;
        readOnly_ = readOnly;
        path_ = path;
        owner_ = (flags & (MMAP_OWNER | MMAP_LOCAL_NAME)) != 0;
        mappingName_ = mappingNameFor(canonicalPath(path), (flags & MMAP_LOCAL_NAME) != 0);
        size_ = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;

        bool helperLocked = (flags & (MMAP_MAP_AND_LOCK | MMAP_NO_LOCK)) == (MMAP_MAP_AND_LOCK | MMAP_NO_LOCK);
        if (helperLocked) {
            owner_ = false;
            lockWithHelper(flags >> 16);
        } else if (owner_) {
            createAsOwner(error, report);
        } else {
            openByName(error, report);
        }

        if (error == 0 && shared_ && shared_->fd >= 0 &&
            (owner_ ? (flags & MMAP_MAP_AND_LOCK) != 0 : (flags & MMAP_NO_VIEW) == 0)) {
            if (!mapWhole(report, 387)) error = 50;
        }
        if (error == 0 && view_ != nullptr && (owner_ || (flags & MMAP_MAP_AND_LOCK) != 0) &&
            (flags & MMAP_NO_LOCK) == 0)
            lockRange(0, static_cast<uint64_t>(size_));
    }
    viewOffset_ = 0;
    openSucceeded_ = (error == 0);
    return openSucceeded_;
}

bool CMmapFile::createAsOwner(int& error, bool report) {
    const std::string fsPath = osPath(path_);
    int fd = moveOffStandardStreams(::open(fsPath.c_str(), (readOnly_ ? O_RDONLY : O_RDWR) | O_CLOEXEC));
    if (fd < 0) {
        if (report) mmap_report::say(47, 299, path_.c_str(), errnoText(errno).c_str());
        error = 47;
        return false;
    }
    mmap_report::grantAccess(fd, path_);
    struct stat st;
    std::string marker = markerNameFor(mappingName_);
    MmapMarker line;
    bool ok = ::fstat(fd, &st) == 0;
    if (ok) {
        size_ = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
        line.pid = static_cast<long>(::getpid());
        line.readWrite = readOnly_ ? 0 : 1;
        line.device = static_cast<unsigned long long>(st.st_dev);
        line.inode = static_cast<unsigned long long>(st.st_ino);
        line.size = size_;
        line.path = canonicalPath(path_);
        ok = writeMarker(marker, line, st.st_mode);
    }
    if (!ok) {
        int saved = errno;
        ::close(fd);
        if (report) mmap_report::say(48, 347, path_.c_str(), errnoText(saved).c_str());
        error = 48;
        return false;
    }
    shared_ = std::make_shared<Shared>();
    shared_->fd = fd;
    shared_->path = path_;
    shared_->ownedMarker = marker;
    return true;
}

bool CMmapFile::openByName(int& error, bool report) {
    // Every reason why the owner's registration does not cover this open
    // ends in the same message the system gives for a missing mapping.
    std::string why;
    MmapMarker marker;
    int fd = -1;
    std::string markerName = markerNameFor(mappingName_);
    if (!readMarker(markerName, marker)) {
        why = (errno == EINVAL) ? std::string("registration marker ") + markerName + " is unreadable"
                                : errnoText(errno);
    } else if (marker.pid != 0 && ::kill(static_cast<pid_t>(marker.pid), 0) != 0 && errno == ESRCH) {
        why = "owner process " + std::to_string(marker.pid) + " is no longer running";
    } else if (!readOnly_ && marker.readWrite == 0) {
        why = "the mapping is read-only";
    } else {
        fd = moveOffStandardStreams(::open(osPath(path_).c_str(), (readOnly_ ? O_RDONLY : O_RDWR) | O_CLOEXEC));
        struct stat st;
        if (fd < 0) {
            why = errnoText(errno);
        } else if (::fstat(fd, &st) != 0) {
            why = errnoText(errno);
            ::close(fd);
            fd = -1;
        } else if (!(marker.device == 0 && marker.inode == 0) &&
                   (static_cast<unsigned long long>(st.st_dev) != marker.device ||
                    static_cast<unsigned long long>(st.st_ino) != marker.inode)) {
            why = "the file was replaced after its mapping was created";
            ::close(fd);
            fd = -1;
        } else if (readOnly_ && S_ISREG(st.st_mode) && static_cast<long long>(st.st_size) != marker.size) {
            // The monitor registered the file with another size: it is being
            // rewritten or was cut short, and what lies past its end now
            // cannot be read through a mapping.
            why = "the file's size changed after its mapping was created (" + std::to_string(st.st_size) +
                  " bytes, registered " + std::to_string(marker.size) + ")";
            ::close(fd);
            fd = -1;
        } else {
            // The size of the file actually opened: mapping past its end
            // would fault on the first read there.
            size_ = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
        }
    }
    if (fd < 0) {
        if (report) mmap_report::say(49, 365, path_.c_str(), why.c_str());
        error = 49;
        return false;
    }
    shared_ = std::make_shared<Shared>();
    shared_->fd = fd;
    shared_->path = path_;
    return true;
}

bool CMmapFile::mapWhole(bool report, int line) {
    void* p = MAP_FAILED;
    int saved = EINVAL;  // an empty file cannot be mapped
    if (size_ > 0) {
        p = ::mmap(nullptr, static_cast<size_t>(size_), PROT_READ | (readOnly_ ? 0 : PROT_WRITE), MAP_SHARED,
                   shared_->fd, 0);
        saved = errno;
    }
    if (p == MAP_FAILED) {
        if (report) mmap_report::say(50, line, path_.c_str(), errnoText(saved).c_str());
        return false;
    }
    shared_->wholeView = static_cast<char*>(p);
    shared_->wholeLength = static_cast<uint64_t>(size_);
    if (readOnly_) guardView(shared_->wholeView, shared_->wholeLength);
    view_ = shared_->wholeView;
    viewLength_ = static_cast<uint64_t>(size_);
    wholeFileMapped_ = true;
    return true;
}

void CMmapFile::unmapWindow() {
    if (view_ != nullptr && !wholeFileMapped_) {
        unguardView(view_);
        if (::munmap(view_, viewLength_) != 0)
            mmap_report::say(53, 820, path_.c_str(), errnoText(errno).c_str());
    }
    view_ = nullptr;
    viewLength_ = 0;
}

int CMmapFile::getDescriptor() const { return shared_ ? shared_->fd : -1; }

void* CMmapFile::getView(int64_t offset, uint64_t length) {
    if (offset < 0 || offset >= size_) return nullptr;
    if (wholeFileMapped_) return view_ + offset;
    uint64_t available = static_cast<uint64_t>(size_ - offset);
    if (length > available) length = available;
    if (view_ != nullptr && offset >= viewOffset_ &&
        static_cast<uint64_t>(offset - viewOffset_) <= viewLength_ &&
        length <= viewLength_ - static_cast<uint64_t>(offset - viewOffset_))
        return view_ + (offset - viewOffset_);
    unmapWindow();
    if (!shared_ || shared_->fd < 0) return nullptr;
    viewOffset_ = offset / granularity_ * granularity_;
    uint64_t r = static_cast<uint64_t>(offset - viewOffset_);
    uint64_t len = std::max(length, windowSize_) + r;
    uint64_t rest = static_cast<uint64_t>(size_ - viewOffset_);
    if (len > rest) len = rest;
    void* p = ::mmap(nullptr, static_cast<size_t>(len), PROT_READ | (readOnly_ ? 0 : PROT_WRITE), MAP_SHARED,
                     shared_->fd, static_cast<off_t>(viewOffset_));
    if (p == MAP_FAILED) {
        if (report_) mmap_report::say(50, 867, path_.c_str(), errnoText(errno).c_str());
        viewOffset_ = 0;
        return nullptr;
    }
    view_ = static_cast<char*>(p);
    viewLength_ = len;
    if (readOnly_) guardView(view_, viewLength_);
    return view_ + r;
}

void CMmapFile::close() {
    if (lockState_ == 2 && !isCopy_) {
        std::string path = path_;
        releaseHelperLocks(path);
        lockState_ = 0;
    }
    if (view_ != nullptr) {
        if (lockState_ == 1 && !isCopy_ && lockAddress_ != nullptr &&
            ::munlock(lockAddress_, static_cast<size_t>(lockLength_)) != 0)
            mmap_report::say(370, 723, path_.c_str(), errnoText(errno).c_str());
        unmapWindow();  // a whole-file view goes with the shared state
    }
    resetFields();
}

// ---------------------------------------------------------------------------
// Locking in memory

bool CMmapFile::lockRange(int64_t offset, uint64_t length) {
    lockState_ = 1;
    if (length == 0 || getView(offset, length) == nullptr) {
        lockState_ = 0;
        return false;
    }
    uint64_t d = static_cast<uint64_t>(offset - viewOffset_);
    uint64_t start = d / granularity_ * granularity_;
    lockAddress_ = view_ + start;
    uint64_t len = (d - start) + length;
    len = (len + granularity_ - 1) / granularity_ * granularity_;
    if (len > viewLength_ - start) len = viewLength_ - start;
    lockLength_ = len;
    if (!lockInMemory(lockAddress_, lockLength_)) lockState_ = 0;
    if (lockState_ == 1) mmap_report::say(74, 1013, path_.c_str());
    return lockState_ == 1;
}

// The locked-memory limit (RLIMIT_MEMLOCK) plays the part of the working
// set: when mlock runs into it, it is raised step by step, the step growing
// from 2 MiB up to 256 MiB while the system refuses a step as invalid.
bool CMmapFile::lockInMemory(void* address, uint64_t length) {
    if (::mlock(address, static_cast<size_t>(length)) == 0) return true;
    uint64_t page = granularity_;
    uint64_t step = (2 * kMiB + page - 1) / page * page;
    struct rlimit first;
    bool haveFirst = ::getrlimit(RLIMIT_MEMLOCK, &first) == 0;
    if (!haveFirst) {
        mmap_report::say(144, 458, path_.c_str(), errnoText(errno).c_str());
        return false;
    }
    step = std::min<uint64_t>(step, 256 * kMiB);
    bool locked = false;
    // Bounded: when memory itself is short, mlock keeps failing with ENOMEM.
    for (int round = 0; round < 4096; ++round) {
        struct rlimit current;
        if (::getrlimit(RLIMIT_MEMLOCK, &current) != 0) {
            mmap_report::say(144, 472, path_.c_str(), errnoText(errno).c_str());
            break;
        }
        struct rlimit wanted = current;
        if (current.rlim_cur != RLIM_INFINITY) wanted.rlim_cur = current.rlim_cur + step;
        if (current.rlim_max != RLIM_INFINITY) wanted.rlim_max = current.rlim_max + step;
        if (::setrlimit(RLIMIT_MEMLOCK, &wanted) == 0) {
            if (::mlock(address, static_cast<size_t>(length)) == 0) {
                locked = true;
                break;
            }
            if (errno == ENOMEM || errno == EAGAIN) continue;
            int saved = errno;
            mmap_report::say(73, 522, path_.c_str(), errnoText(saved).c_str());
            char debug[128];
            std::snprintf(debug, sizeof debug, "Trying to lock %zu bytes at address %zx",
                          static_cast<size_t>(length), reinterpret_cast<size_t>(address));
            mmap_report::say(38, 526, debug);
            break;
        }
        int saved = errno;
        if (saved == EINVAL && step < 256 * kMiB) {
            step *= 2;
            continue;
        }
        char detail[PATH_MAX + 128];
        std::snprintf(detail, sizeof detail, "%s - (%llu, %llu). Trying to lock %zu bytes", path_.c_str(),
                      static_cast<unsigned long long>(wanted.rlim_cur),
                      static_cast<unsigned long long>(wanted.rlim_max), static_cast<size_t>(length));
        mmap_report::say(145, 504, detail, errnoText(saved).c_str());
        break;
    }
    if (!locked && first.rlim_cur != 0 && first.rlim_max != 0) (void)::setrlimit(RLIMIT_MEMLOCK, &first);
    return locked;
}

// ---------------------------------------------------------------------------
// bv-memlock helpers and the ".lck" handshake

void CMmapFile::lockWithHelper(uint32_t chunkMiB) {
    releaseHelperLocks(path_);
    lockState_ = 0;
    view_ = nullptr;
    const uint64_t chunk = (chunkMiB >= 2 && chunkMiB <= 2048 ? chunkMiB : 512u) * kMiB;
    const uint64_t size = size_ > 0 ? static_cast<uint64_t>(size_) : 0;
    const uint64_t records = size / chunk + 1;
    const std::string lckPath = osPath(path_) + ".lck";

    FILE* file = std::fopen(lckPath.c_str(), "w");
    if (file == nullptr) return;
    bool written = true;
    for (uint64_t i = 0; i < records && written; ++i) {
        HelperLockRecord record = {1, 0, 0, 0};
        written = std::fwrite(&record, sizeof record, 1, file) == 1;
    }
    written = (std::fclose(file) == 0) && written;

    if (written) {
        CMmapFile lck;
        int error = 0;
        lck.open(lckPath, false, error, MMAP_OWNER, static_cast<uint32_t>(records * sizeof(HelperLockRecord)), true);
        auto* table = static_cast<HelperLockRecord*>(lck.getView(0, records * sizeof(HelperLockRecord)));
        const std::string fsPath = osPath(path_);
        const std::string program = std::string("./") + kMemLockProgram;
        for (uint64_t i = 0; table != nullptr && i < records; ++i) {
            uint64_t start = i * chunk;
            uint64_t length = std::min(chunk, size - start);
            char startText[32], lengthText[32], indexText[32];
            std::snprintf(startText, sizeof startText, "%.0f", static_cast<double>(start));
            std::snprintf(lengthText, sizeof lengthText, "%.0f", static_cast<double>(length));
            std::snprintf(indexText, sizeof indexText, "%d", static_cast<int>(i));
            char* argv[] = {const_cast<char*>(kMemLockProgram), const_cast<char*>("-f"),
                            const_cast<char*>(fsPath.c_str()),   const_cast<char*>("-s"),
                            startText,                           const_cast<char*>("-l"),
                            lengthText,                          const_cast<char*>("-o"),
                            indexText,                           nullptr};
            pid_t child = 0;
            int spawned = ::posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, environ);
            if (spawned == 0) helperChildren().push_back(child);

            // The helper answers through its state word; the owner only polls.
            long long begin = nowSeconds();
            while (loadState(&table[i]) == HELPER_STATE_NONE && nowSeconds() - begin < 10) pause10ms();
            uint32_t state = loadState(&table[i]);
            if (state == HELPER_STATE_NONE) {
                std::string why = spawned == 0 ? std::string("no answer within 10 seconds") : errnoText(spawned);
                mmap_report::say(42, 1134, kMemLockProgram, why.c_str());
                continue;
            }
            begin = nowSeconds();
            while (nowSeconds() - begin < 60) {
                state = loadState(&table[i]);
                if (state == HELPER_STATE_LOCKED) {
                    lockState_ = 2;
                    break;
                }
                if (state == 1 || state == 5 || state == 6) break;
                pause10ms();
            }
            if (loadState(&table[i]) == HELPER_STATE_LOCKED) lockState_ = 2;
        }
        lck.close();
        reapHelpers();
    }
    if (lockState_ == 0) ::unlink(lckPath.c_str());
}

void CMmapFile::releaseHelperLocks(const std::string& path) {
    const std::string lckPath = osPath(path) + ".lck";
    struct stat st;
    if (::stat(lckPath.c_str(), &st) != 0) return;
    // The records live in the file, so the release maps it directly (as its
    // owner for the time of the wait) rather than through a name that the
    // locking call no longer registers.
    auto* object = new CMmapFile();
    int error = 0;
    object->open(lckPath, false, error, MMAP_OWNER, static_cast<uint32_t>(std::min<off_t>(st.st_size, UINT32_MAX / 2)),
                 true);
    void* view = object->getSize() > 0 ? object->getView(0, static_cast<uint64_t>(object->getSize())) : nullptr;
    if (deferral_ != nullptr && view != nullptr) {
        deferral_->add(lckPath, object, view);
        return;
    }
    if (view != nullptr) {
        auto* table = static_cast<HelperLockRecord*>(view);
        for (int64_t i = 0; i < object->getSize() / 16; ++i) storeRequest(&table[i], 0);
    }
    waitForHelperRelease(lckPath, object, view);
}

void CMmapFile::waitForHelperRelease(const std::string& lckPath, CMmapFile*& object, void*& view) {
    const int64_t count = (object != nullptr && view != nullptr) ? object->getSize() / 16 : 0;
    bool released = true;
    if (count > 0) {
        auto* table = static_cast<const HelperLockRecord*>(view);
        long long begin = nowSeconds();
        for (;;) {
            bool all = true;
            for (int64_t i = 0; i < count && all; ++i) all = loadState(&table[i]) == HELPER_STATE_RELEASED;
            if (all) break;
            if (nowSeconds() - begin >= 10) {
                mmap_report::say(283, 1289);
                released = false;
                break;
            }
            fileSystemCalls().sleepMilliseconds(1000);
        }
    }
    delete object;  // closes it, also after a time-out
    object = nullptr;
    view = nullptr;
    if (released) ::unlink(osPath(lckPath).c_str());
    reapHelpers();
}

void HelperLockDeferral::add(const std::string& lckPath, CMmapFile* object, void* view) {
    lckPaths.push_back(lckPath);
    objects.push_back(object);
    views.emplace_back(object, view);
    if (object == nullptr || view == nullptr) return;
    auto* table = static_cast<HelperLockRecord*>(view);
    for (int64_t i = 0; i < object->getSize() / 16; ++i) storeRequest(&table[i], 0);
}
