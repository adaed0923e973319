#include "common/file_utils.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "common/bv_filesystem.h"
#include "common/error_reporter.h"
#include "common/io_utils.h"
#include "common/process_startup.h"
#include "common/reporter_platform.h"
#include "common/system_calls.h"
#include "pal/last_error.h"
#include "pal/system_text.h"

namespace {

// The locks are held for microseconds, so a waiter tries again every few
// milliseconds; it gives up after as long as ten tries one second apart took
// (the first try plus nine seconds).
constexpr int64_t kLockWaitBoundMs = 9000;
constexpr uint32_t kLockRetryMs = 2;

// Classic POSIX record locks belong to the process and vanish when any
// descriptor of the file is closed -- a log writer closing its own stream
// would drop a lock that another part of the process still relies on. OFD
// locks belong to the open file description and conflict with every other
// description, in this process or another.
bool setRegionLock(int fd, short type, int64_t offset, int64_t length) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = length;
    if (fcntl(fd, F_OFD_SETLK, &fl) == 0) return true;
    NARROW_CHAR_PAL::captureLastError();
    return false;
}

int regionLock(int fd, int64_t offset, int64_t length, bool unlock) {
    // A descriptor that cannot report its position (closed, a pipe) cannot
    // hold a region lock either.
    if (lseek(fd, 0, SEEK_CUR) < 0 || offset < 0) {
        NARROW_CHAR_PAL::captureLastError();
        return -1;
    }
    if (unlock) return setRegionLock(fd, F_UNLCK, offset, length) ? 0 : -1;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        NARROW_CHAR_PAL::captureLastError();
        return -1;
    }
    short type = (flags & O_ACCMODE) == O_RDONLY ? F_RDLCK : F_WRLCK;
    const SystemCalls& calls = systemCalls();
    const int64_t giveUp = calls.monotonicMilliseconds() + kLockWaitBoundMs;
    for (;;) {
        if (setRegionLock(fd, type, offset, length)) return 0;
        uint32_t err = NARROW_CHAR_PAL::getLastError();
        if ((err != EAGAIN && err != EACCES && err != EINTR) || calls.monotonicMilliseconds() >= giveUp) return -1;
        calls.sleepMilliseconds(kLockRetryMs);
        NARROW_CHAR_PAL::setLastError(err);
    }
}

// Report positions of this module, each with its message. All four are the
// established ones (none is this code's own, which would be marked "new").
constexpr const char* kModule = "bv_fileutil";
constexpr int kLineLock = 76;          // M267
constexpr int kLineOpen = 180;         // M12
constexpr int kLineChmod = 288;        // M359
constexpr int kLineGroupAccess = 296;  // M143

// The system's own bound on links followed in one path.
constexpr int kMaxLinkHops = 40;

bool isReadOnlyMode(const std::string& mode) {
    return !mode.empty() && mode[0] == 'r' && mode.find('+') == std::string::npos;
}

// The open flags fopen uses for the mode ("w", "a+", "r+x" ...), so that a
// stream is opened through the system-call table.
int openFlagsOfMode(const std::string& mode) {
    const bool update = mode.find('+') != std::string::npos;
    int flags = update ? O_RDWR : mode[0] == 'r' ? O_RDONLY : O_WRONLY;
    if (mode[0] == 'w') flags |= O_CREAT | O_TRUNC;
    if (mode[0] == 'a') flags |= O_CREAT | O_APPEND;
    if (mode.find('x') != std::string::npos) flags |= O_EXCL;
    return flags | O_CLOEXEC;
}

void reportLockFailure(const char* path) { reportSystemError(267, kLineLock, kModule, path ? path : ""); }

void reportOpenFailure(const char* path, const char* how, int err, char* errorText, size_t errorTextSize) {
    std::string reason = getSystemErrorText(static_cast<uint32_t>(err));
    std::string name = path ? path : "";
    if (!errorText) {
        errorReporter.report(12, -1, kLineOpen, kModule, pathInMessages(name), std::string(how), reason);
        return;
    }
    if (errorTextSize == 0) return;
    std::string text = errorReporter.formatMessage(12, -1, kLineOpen, kModule, name, std::string(how), reason);
    size_t n = std::min(text.size(), errorTextSize - 1);
    std::memcpy(errorText, text.data(), n);
    errorText[n] = '\0';
}

}  // namespace

void reportFileOpenFailure(const char* path, const char* how, int err) {
    reportOpenFailure(path, how ? how : "", err, nullptr, 0);
}

int lockFileRegion(int fd, int64_t offset, int64_t length, const char* path, bool quiet) {
    int rc = regionLock(fd, offset, length, false);
    if (rc != 0 && !quiet) reportLockFailure(path);
    return rc;
}

int unlockFileRegion(int fd, int64_t offset, int64_t length, const char* path, bool quiet) {
    int rc = regionLock(fd, offset, length, true);
    if (rc != 0 && !quiet) reportLockFailure(path);
    return rc;
}

bool fileExists(const char* path, bool) {
    struct stat st;
    if (!path) return false;
    if (systemCalls().stat(osPath(path).c_str(), &st) == 0) return true;
    NARROW_CHAR_PAL::captureLastError();
    return false;
}

int64_t fileSize(const char* path) {
    struct stat st;
    if (!path || systemCalls().stat(osPath(path).c_str(), &st) != 0) {
        NARROW_CHAR_PAL::captureLastError();
        return 0;
    }
    return S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
}

int64_t fileSeek(int fd, int64_t offset, int origin) {
    int whence = origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : SEEK_SET;
    off_t pos = lseek(fd, static_cast<off_t>(offset), whence);
    if (pos < 0) NARROW_CHAR_PAL::captureLastError();
    return static_cast<int64_t>(pos);
}

int fileOpen(const char* path, bool forReading, char* errorText, size_t errorTextSize) {
    // A file written is never reached through a link in its last component.
    int flags = O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW;
    int fd = -1;
    if (forReading) {
        fd = fileOpenForReading(path);
    } else {
        do {
            fd = systemCalls().open(osPath(path).c_str(), flags | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        fd = moveOffStandardStreams(fd);
    }
    if (fd >= 0) return fd;
    int err = errno;
    NARROW_CHAR_PAL::setLastError(static_cast<uint32_t>(err));
    reportOpenFailure(path, forReading ? "reading" : "writing", err, errorText, errorTextSize);
    return -1;
}

FILE* fileOpenStream(const char* path, const char* mode, bool report) {
    std::string m = std::string(mode ? mode : "") + "e";
    FILE* f = nullptr;
    int fd = -1;
    if (path && isReadOnlyMode(m)) {
        fd = fileOpenForReading(path);
    } else if (path && (m[0] == 'w' || m[0] == 'a' || m[0] == 'r')) {
        do {
            fd = systemCalls().open(osPath(path).c_str(), openFlagsOfMode(m), 0666);
        } while (fd < 0 && errno == EINTR);
    } else if (path) {
        errno = EINVAL;  // as fopen answers a mode it does not know
    }
    f = fd >= 0 ? fdopen(fd, m.c_str()) : nullptr;
    if (!f && fd >= 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
    }
    if (!path) errno = EFAULT;
    if (f && fileno(f) <= 2) {
        int fd = fcntl(fileno(f), F_DUPFD_CLOEXEC, 3);
        FILE* moved = fd >= 0 ? fdopen(fd, m.c_str()) : nullptr;
        int err = errno;
        if (!moved && fd >= 0) ::close(fd);
        std::fclose(f);
        errno = err;
        f = moved;
    }
    if (f) return f;
    int err = errno;
    NARROW_CHAR_PAL::setLastError(static_cast<uint32_t>(err));
    if (report) reportOpenFailure(path, mode ? mode : "", err, nullptr, 0);
    return nullptr;
}

namespace {

// fileOpenRegularOnly, leaving the file's status in st for the caller's own
// checks, so that one fstat serves both.
int keepRegularOnly(int fd, int flags, struct stat& st) {
    if (fd < 0) {
        // The open's own refusal of a socket, of a FIFO no one reads (opened
        // to be written) or of a device without its driver.
        if (errno == ENXIO) errno = static_cast<int>(NARROW_CHAR_PAL::kErrorFileNotRegular);
        return fd;
    }
    int err = 0;
    if (systemCalls().fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = S_ISDIR(st.st_mode) ? EISDIR : static_cast<int>(NARROW_CHAR_PAL::kErrorFileNotRegular);
    else if ((flags & O_NONBLOCK) == 0) {
        const int now = fcntl(fd, F_GETFL);
        if (now < 0 || fcntl(fd, F_SETFL, now & ~O_NONBLOCK) != 0) err = errno;
    }
    if (err == 0) return fd;
    ::close(fd);
    errno = err;
    return -1;
}

int openNoFollow(const char* path, int flags, mode_t mode, struct stat& st) {
    if (!path) {
        errno = EFAULT;
        return -1;
    }
    const std::string name = osPath(path);
    int fd;
    do {
        fd = systemCalls().open(name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return keepRegularOnly(moveOffStandardStreams(fd), flags, st);
}

}  // namespace

int fileOpenNoFollow(const char* path, int flags, mode_t mode) {
    struct stat st;
    return openNoFollow(path, flags, mode, st);
}

int fileOpenRegularOnly(int fd, int flags) {
    struct stat st;
    return keepRegularOnly(fd, flags, st);
}

int fileOpenForReading(const char* path) {
    if (!path) {
        errno = EFAULT;
        return -1;
    }
    std::string name = osPath(path);
    const uid_t self = ::geteuid();
    // As many links in a row as the system itself follows.
    for (int hops = 0;; ++hops) {
        int fd;
        do {
            fd = systemCalls().open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0 || errno != ELOOP || hops >= kMaxLinkHops)
            return fileOpenRegularOnly(moveOffStandardStreams(fd), O_RDONLY);
        // The owner and the target are read from one descriptor of the link
        // itself: a link swapped in between cannot lend its target to the
        // owner of the one checked.
        const int link = systemCalls().open(name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC, 0);
        if (link < 0) return -1;
        struct stat st;
        char target[PATH_MAX];
        ssize_t n = 0;
        int err = 0;
        if (systemCalls().fstatat(link, "", &st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
            err = errno;
        } else if (S_ISLNK(st.st_mode)) {
            if (st.st_uid != 0 && st.st_uid != self)
                err = ELOOP;
            else if ((n = ::readlinkat(link, "", target, sizeof target)) < 0)
                err = errno;
            else if (n == 0 || n >= static_cast<ssize_t>(sizeof target))
                err = n == 0 ? ENOENT : ENAMETOOLONG;
        }
        ::close(link);
        if (err != 0) {
            errno = err;
            return -1;
        }
        if (!S_ISLNK(st.st_mode)) continue;  // replaced by a file meanwhile: open that
        const std::string next(target, static_cast<size_t>(n));
        const size_t slash = name.rfind('/');
        name = next[0] == '/' || slash == std::string::npos ? next : name.substr(0, slash + 1) + next;
    }
}

int fileCreateTemporary(const std::string& prefix, std::string& name) {
    name = prefix + "XXXXXX";
    // mkostemp creates exclusively (a link planted under the name makes it
    // fail) and mode 0600; a temporary that becomes a shared file gets the
    // mode any new file gets.
    int fd = moveOffStandardStreams(::mkostemp(name.data(), O_CLOEXEC));
    if (fd < 0) return -1;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0) {
        const int err = errno;
        ::close(fd);
        ::unlink(name.c_str());
        errno = err;
        return -1;
    }
    return fd;
}

bool fileWriteAll(int fd, const void* data, size_t length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        const size_t piece = std::min(length, static_cast<size_t>(INT_MAX));
        ssize_t n = systemCalls().write(fd, p, piece);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool fileReadWhole(const char* path, bool followLink, size_t maxBytes, std::string& text) {
    text.clear();
    if (!path) {
        errno = EFAULT;
        return false;
    }
    int fd;
    do {
        fd = systemCalls().open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW), 0);
    } while (fd < 0 && errno == EINTR);
    fd = moveOffStandardStreams(fd);
    if (fd < 0) return false;
    int error = 0;
    struct stat st;
    if (systemCalls().fstat(fd, &st) != 0)
        error = errno;
    else if (S_ISREG(st.st_mode) && static_cast<std::uintmax_t>(st.st_size) > maxBytes)
        error = EFBIG;
    else if (S_ISREG(st.st_mode))
        text.reserve(static_cast<size_t>(st.st_size));
    char buffer[1 << 16];
    while (error == 0) {
        const long n = fileRead(fd, buffer, sizeof buffer);
        if (n < 0) error = errno;
        if (n <= 0) break;
        // A file that grows while it is read, or a device, is held to the
        // same bound.
        if (static_cast<size_t>(n) > maxBytes - text.size()) {
            error = EFBIG;
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    errno = error;
    return error == 0;
}

long fileRead(int fd, void* buffer, size_t count) {
    ssize_t n;
    do {
        n = systemCalls().read(fd, buffer, count);
    } while (n < 0 && errno == EINTR);
    if (n < 0) NARROW_CHAR_PAL::captureLastError();
    return static_cast<long>(n);
}

int fileClose(int fd) {
    int rc = ::close(fd);
    if (rc != 0) NARROW_CHAR_PAL::captureLastError();
    return rc;
}

namespace {

// True when the byte at pos is an LF (one byte is read to decide).
bool lfAt(int fd, int64_t pos) {
    char c;
    ssize_t n;
    do {
        n = systemCalls().pread(fd, &c, 1, static_cast<off_t>(pos));
    } while (n < 0 && errno == EINTR);
    return n == 1 && c == '\n';
}

}  // namespace

int fileReadLine(int fd, char* buffer, size_t size, bool& lineEnd, bool skip, bool& endOfFile) {
    for (;;) {
        lineEnd = false;
        endOfFile = true;
        if (size == 0) return 0;
        buffer[0] = '\0';
        if (size == 1) return 0;
        int64_t p = lseek(fd, 0, SEEK_CUR);
        if (p < 0) {
            NARROW_CHAR_PAL::captureLastError();
            return 0;
        }
        long n = fileRead(fd, buffer, size - 1);
        if (n <= 0) {
            // Nothing was read: the read area stays as it was.
            lseek(fd, static_cast<off_t>(p), SEEK_SET);
            return 0;
        }
        endOfFile = false;
        size_t count = static_cast<size_t>(n);
        size_t i = 0;
        while (i < count && buffer[i] != '\r' && buffer[i] != '\n') ++i;
        size_t consumed = i;
        if (i < count) {
            lineEnd = true;
            ++consumed;
            if (buffer[i] == '\r') {
                bool lf = i + 1 < count ? buffer[i + 1] == '\n' : lfAt(fd, p + static_cast<int64_t>(i) + 1);
                if (lf) ++consumed;
            }
        }
        buffer[i] = '\0';
        lseek(fd, static_cast<off_t>(p + static_cast<int64_t>(consumed)), SEEK_SET);
        if (skip && lineEnd && (i == 0 || buffer[0] == '#' || buffer[0] == ';')) continue;
        return static_cast<int>(i);
    }
}

int setFileAccess(int fd, const char* path, bool compareFirst) {
    std::string name = path ? path : "";
    int lastError = 0;
    int result = brenvik::bv_filesystem::grantConfiguredGroupAccess(fd, name, compareFirst, &lastError);
    if (result == 0) return 0;
    // A report about the error log would be written to that same file.
    if (name == reporter_platform::errorLogFile()) return -1;
    switch (result) {
        case 1:
            reportSystemError(359, kLineChmod, kModule, name.c_str());
            break;
        case 2:
            errorReporter.report(143, -1, kLineGroupAccess, kModule, lastError, "GetNamedSecurityInfo", name);
            break;
        case 3:
            errorReporter.report(143, -1, kLineGroupAccess, kModule, lastError, "SetEntriesInAcl", name);
            break;
        default:
            errorReporter.report(143, -1, kLineGroupAccess, kModule, lastError, "SetNamedSecurityInfo", name);
            break;
    }
    return -1;
}

namespace {

// Whether the user belongs to the group, as primary group or member.
bool userInGroup(uid_t uid, gid_t gid) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd entry;
    struct passwd* user = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &user) != 0 || user == nullptr) return false;
    if (user->pw_gid == gid) return true;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) return false;
    }
    groups.resize(static_cast<size_t>(count));
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// Whether the owner could have created a file in the folder holding path.
bool ownerMayCreateThere(uid_t owner, const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    struct stat st;
    if (systemCalls().stat(folder.c_str(), &st) != 0) return false;
    if (owner == st.st_uid) return true;
    return (st.st_mode & S_IWGRP) != 0 && userInGroup(owner, st.st_gid);
}

// A file written in place (not renamed into place) in a folder others can
// write must be no more than what its name shows; see fileOpenInPlace. st is
// a regular file's (keepRegularOnly refused anything else).
int checkWrittenInPlace(const struct stat& st, const char* path) {
    if (st.st_nlink > 1) {
        errno = static_cast<int>(NARROW_CHAR_PAL::kErrorFileHardLinked);
        return -1;
    }
    if (st.st_uid == 0 || st.st_uid == ::geteuid() || ownerMayCreateThere(st.st_uid, osPath(path ? path : "")))
        return 0;
    errno = static_cast<int>(NARROW_CHAR_PAL::kErrorFileOtherOwner);
    return -1;
}

}  // namespace

int fileOpenInPlace(const char* path, int flags, mode_t mode) {
    if ((flags & O_ACCMODE) == O_RDONLY) return fileOpenNoFollow(path, flags, mode);
    // Cut only once the file is known to be the one named.
    struct stat st;
    const int fd = openNoFollow(path, flags & ~O_TRUNC, mode, st);
    if (fd < 0) return fd;
    if (checkWrittenInPlace(st, path) == 0 && ((flags & O_TRUNC) == 0 || systemCalls().ftruncate(fd, 0) == 0))
        return fd;
    const int err = errno;
    ::close(fd);
    errno = err;
    return -1;
}
