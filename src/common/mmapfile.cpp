// The mapping wrapper of CMmapFile: opening by name or as owner, views,
// and locking a view in memory. The marker contract, the SIGBUS guard and
// the bv-memlock helpers have files of their own.
#include "common/mmapfile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "common/file_utils.h"
#include "common/io_utils.h"
#include "common/mmapfile_guard.h"
#include "common/mmapfile_helpers.h"
#include "common/mmapfile_marker.h"
#include "common/mmapfile_report.h"
#include "common/system_calls.h"

namespace {

constexpr uint64_t kMiB = 1024ull * 1024ull;

// Report positions of this module.
constexpr int kLineUnmapWhole = 733;        // M53
constexpr int kLineNoFile = 216;            // M47
constexpr int kLineOwnerOpen = 299;         // M47
constexpr int kLineOwnerMarker = 347;       // M48
constexpr int kLineByName = 365;            // M49
constexpr int kLineMapWhole = 387;          // M50
constexpr int kLineUnmapWindow = 820;       // M53
constexpr int kLineMapWindow = 867;         // M50
constexpr int kLineSync = 723;              // M370
constexpr int kLineStillLocked = 1013;      // M74
constexpr int kLineLockWhole = 458;         // M144
constexpr int kLineLockChunk = 472;         // M144
constexpr int kLineUnlock = 522;            // M73
constexpr int kLineUnlockDebug = 526;       // M38
constexpr int kLineAccess = 504;            // M145

std::string errnoText(int code) { return mmap_report::systemText(code); }

// Opens the file to map. One written through its mapping lies in a folder
// others can write: anything but a regular file there (a FIFO, a socket, a
// device) is refused with that reason rather than failing later for another,
// and so is a file with a second name or an owner who could not have made it
// there. A file mapped to be read is read like any other data file.
int openToMap(const std::string& path, bool readOnly) {
    return readOnly ? fileOpenForReading(path.c_str()) : fileOpenInPlace(path.c_str(), O_RDWR);
}

// A read-only view that the SIGBUS guard cannot cover (its table is full)
// would kill the process if its file were cut short: it is refused, and
// said so whatever the caller asked, as nothing else would tell why.
const char* const kUnguarded = "no room left to guard the view against its file being cut short";

}  // namespace

// Descriptor, whole-file view and the marker this process registered; the
// last object holding them (original or copy) releases them.
struct CMmapFile::Shared {
    int fd = -1;
    char* wholeView = nullptr;
    uint64_t wholeLength = 0;
    std::string ownedMarker;
    std::string path;

    ~Shared() {
        if (wholeView != nullptr) mmap_guard::unguardReadOnlyMapping(wholeView);
        if (wholeView != nullptr && ::munmap(wholeView, wholeLength) != 0)
            mmap_report::say(53, kLineUnmapWhole, mmap_report::shown(path).c_str(), errnoText(errno).c_str());
        if (fd >= 0) ::close(fd);
        // Another owner may have registered the file since; its marker stays.
        if (!ownedMarker.empty()) {
            MmapMarker marker;
            if (mmap_marker::readMarker(ownedMarker, marker) && marker.pid == static_cast<long>(::getpid()))
                mmap_marker::removeMarker(ownedMarker);
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
      fileRefusal_(other.fileRefusal_),
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
        fileRefusal_ = copy.fileRefusal_;
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
    fileRefusal_.clear();
    shared_.reset();
}

// ---------------------------------------------------------------------------
// Opening and closing

bool CMmapFile::open(const std::string& path, bool readOnly, int& error, uint32_t flags, uint32_t window,
                     bool report) {
    if (openSucceeded_ || shared_ || view_ != nullptr) close();
    error = 0;
    report_ = report;
    fileRefusal_.clear();
    const std::string fsPath = osPath(path);
    struct stat st;
    if (systemCalls().stat(fsPath.c_str(), &st) != 0) {
        if (report) mmap_report::say(47, kLineNoFile, mmap_report::shown(path).c_str(), errnoText(errno).c_str());
        error = 47;
    } else {
        windowSize_ = static_cast<uint64_t>(window) + granularity_;
        readOnly_ = readOnly;
        path_ = path;
        owner_ = (flags & (MMAP_OWNER | MMAP_LOCAL_NAME)) != 0;
        mappingName_ = mmap_marker::mappingNameFor(mmap_report::canonicalPath(path), (flags & MMAP_LOCAL_NAME) != 0);
        size_ = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;

        bool helperLocked = (flags & (MMAP_MAP_AND_LOCK | MMAP_NO_LOCK)) == (MMAP_MAP_AND_LOCK | MMAP_NO_LOCK);
        if (helperLocked) {
            owner_ = false;
            memlock_helpers::releaseHelperLocks(path_, deferral_);
            lockState_ = memlock_helpers::lockWithHelpers(path_, size_, flags >> 16) ? 2 : 0;
            view_ = nullptr;
        } else if (owner_) {
            createAsOwner(error, report);
        } else {
            openByName(error, report);
        }

        if (error == 0 && shared_ && shared_->fd >= 0 &&
            (owner_ ? (flags & MMAP_MAP_AND_LOCK) != 0 : (flags & MMAP_NO_VIEW) == 0)) {
            if (!mapWhole(report, kLineMapWhole)) error = 50;
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
    int fd = openToMap(path_, readOnly_);
    if (fd < 0) {
        if (report) mmap_report::say(47, kLineOwnerOpen, mmap_report::shown(path_).c_str(), errnoText(errno).c_str());
        error = 47;
        return false;
    }
    mmap_report::grantAccess(fd, path_);
    struct stat st;
    std::string marker = mmap_marker::markerNameFor(mappingName_);
    MmapMarker line;
    bool ok = systemCalls().fstat(fd, &st) == 0;
    if (ok) {
        size_ = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
        line.pid = static_cast<long>(::getpid());
        line.readWrite = readOnly_ ? 0 : 1;
        line.device = static_cast<unsigned long long>(st.st_dev);
        line.inode = static_cast<unsigned long long>(st.st_ino);
        line.size = size_;
        line.path = mmap_report::canonicalPath(path_);
        ok = mmap_marker::writeMarker(marker, line, st.st_mode);
    }
    if (!ok) {
        int saved = errno;
        ::close(fd);
        if (report) mmap_report::say(48, kLineOwnerMarker, mmap_report::shown(path_).c_str(), errnoText(saved).c_str());
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
    std::string markerName = mmap_marker::markerNameFor(mappingName_);
    struct stat named;
    // The mapping's name follows a link; one in place of a file written
    // through its mapping is refused for what it is.
    if (!readOnly_ && systemCalls().lstat(osPath(path_).c_str(), &named) == 0 && S_ISLNK(named.st_mode)) {
        why = fileRefusal_ = errnoText(ELOOP);
    } else if (!mmap_marker::readMarker(markerName, marker)) {
        why = (errno == EINVAL) ? std::string("registration marker ") + markerName + " is unreadable"
                                : errnoText(errno);
    } else if (marker.pid != 0 && ::kill(static_cast<pid_t>(marker.pid), 0) != 0 && errno == ESRCH) {
        why = "owner process " + std::to_string(marker.pid) + " is no longer running";
    } else if (!readOnly_ && marker.readWrite == 0) {
        why = "the mapping is read-only";
    } else {
        fd = openToMap(path_, readOnly_);
        struct stat st;
        if (fd < 0) {
            why = fileRefusal_ = errnoText(errno);
        } else if (systemCalls().fstat(fd, &st) != 0) {
            why = errnoText(errno);
            ::close(fd);
            fd = -1;
        } else if (!(marker.device == 0 && marker.inode == 0) &&
                   (static_cast<unsigned long long>(st.st_dev) != marker.device ||
                    static_cast<unsigned long long>(st.st_ino) != marker.inode)) {
            why = fileRefusal_ = "the file was replaced after its mapping was created";
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
        if (report) mmap_report::say(49, kLineByName, mmap_report::shown(path_).c_str(), why.c_str());
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
        if (report) mmap_report::say(50, line, mmap_report::shown(path_).c_str(), errnoText(saved).c_str());
        return false;
    }
    shared_->wholeView = static_cast<char*>(p);
    shared_->wholeLength = static_cast<uint64_t>(size_);
    if (readOnly_ && !mmap_guard::guardReadOnlyMapping(shared_->wholeView, shared_->wholeLength)) {
        mmap_report::say(50, line, mmap_report::shown(path_).c_str(), kUnguarded);
        ::munmap(shared_->wholeView, shared_->wholeLength);
        shared_->wholeView = nullptr;
        shared_->wholeLength = 0;
        return false;
    }
    view_ = shared_->wholeView;
    viewLength_ = static_cast<uint64_t>(size_);
    wholeFileMapped_ = true;
    return true;
}

void CMmapFile::unmapWindow() {
    if (view_ != nullptr && !wholeFileMapped_) {
        mmap_guard::unguardReadOnlyMapping(view_);
        if (::munmap(view_, viewLength_) != 0)
            mmap_report::say(53, kLineUnmapWindow, mmap_report::shown(path_).c_str(), errnoText(errno).c_str());
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
        if (report_) mmap_report::say(50, kLineMapWindow, mmap_report::shown(path_).c_str(), errnoText(errno).c_str());
        viewOffset_ = 0;
        return nullptr;
    }
    if (readOnly_ && !mmap_guard::guardReadOnlyMapping(static_cast<char*>(p), len)) {
        mmap_report::say(50, kLineMapWindow, mmap_report::shown(path_).c_str(), kUnguarded);
        ::munmap(p, static_cast<size_t>(len));
        viewOffset_ = 0;
        return nullptr;
    }
    view_ = static_cast<char*>(p);
    viewLength_ = len;
    return view_ + r;
}

void CMmapFile::close() {
    if (lockState_ == 2 && !isCopy_) {
        std::string path = path_;
        memlock_helpers::releaseHelperLocks(path, deferral_);
        lockState_ = 0;
    }
    if (view_ != nullptr) {
        if (lockState_ == 1 && !isCopy_ && lockAddress_ != nullptr &&
            ::munlock(lockAddress_, static_cast<size_t>(lockLength_)) != 0)
            mmap_report::say(370, kLineSync, mmap_report::shown(path_).c_str(), errnoText(errno).c_str());
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
    if (lockState_ == 1) mmap_report::say(74, kLineStillLocked, mmap_report::shown(path_).c_str());
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
        mmap_report::say(144, kLineLockWhole, mmap_report::shown(path_).c_str(), errnoText(errno).c_str());
        return false;
    }
    step = std::min<uint64_t>(step, 256 * kMiB);
    bool locked = false;
    // Bounded: when memory itself is short, mlock keeps failing with ENOMEM.
    for (int round = 0; round < 4096; ++round) {
        struct rlimit current;
        if (::getrlimit(RLIMIT_MEMLOCK, &current) != 0) {
            mmap_report::say(144, kLineLockChunk, mmap_report::shown(path_).c_str(), errnoText(errno).c_str());
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
            mmap_report::say(73, kLineUnlock, mmap_report::shown(path_).c_str(), errnoText(saved).c_str());
            char debug[128];
            std::snprintf(debug, sizeof debug, "Trying to lock %zu bytes at address %zx",
                          static_cast<size_t>(length), reinterpret_cast<size_t>(address));
            mmap_report::say(38, kLineUnlockDebug, debug);
            break;
        }
        int saved = errno;
        if (saved == EINVAL && step < 256 * kMiB) {
            step *= 2;
            continue;
        }
        char detail[PATH_MAX + 128];
        std::snprintf(detail, sizeof detail, "%s - (%llu, %llu). Trying to lock %zu bytes", mmap_report::shown(path_).c_str(),
                      static_cast<unsigned long long>(wanted.rlim_cur),
                      static_cast<unsigned long long>(wanted.rlim_max), static_cast<size_t>(length));
        mmap_report::say(145, kLineAccess, detail, errnoText(saved).c_str());
        break;
    }
    if (!locked && first.rlim_cur != 0 && first.rlim_max != 0) (void)::setrlimit(RLIMIT_MEMLOCK, &first);
    return locked;
}
