#include "common/file_utils.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "common/bv_filesystem.h"
#include "common/error_reporter.h"
#include "common/io_utils.h"
#include "common/process_startup.h"
#include "config/global_options.h"
#include "pal/last_error.h"

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
    const FileSystemCalls& calls = fileSystemCalls();
    const int64_t giveUp = calls.monotonicMilliseconds() + kLockWaitBoundMs;
    for (;;) {
        if (setRegionLock(fd, type, offset, length)) return 0;
        uint32_t err = NARROW_CHAR_PAL::getLastError();
        if ((err != EAGAIN && err != EACCES && err != EINTR) || calls.monotonicMilliseconds() >= giveUp) return -1;
        calls.sleepMilliseconds(kLockRetryMs);
        NARROW_CHAR_PAL::setLastError(err);
    }
}

// Report positions of this module.
constexpr const char* kModule = "bv_fileutil";
constexpr int kLineLock = 76;
constexpr int kLineOpen = 180;
constexpr int kLineChmod = 288;
constexpr int kLineGroupAccess = 296;

void reportLockFailure(const char* path) { reportSystemError(267, kLineLock, kModule, path ? path : ""); }

void reportOpenFailure(const char* path, const char* how, int err, char* errorText, size_t errorTextSize) {
    std::string reason = std::strerror(err);
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

namespace {
int openCall(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
}  // namespace

FileSystemCalls& fileSystemCalls() {
    static FileSystemCalls calls{
        &::link,
        &openCall,
        &::write,
        &sleepMilliseconds,
        &monotonicMilliseconds,
    };
    return calls;
}

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
    if (stat(osPath(path).c_str(), &st) == 0) return true;
    NARROW_CHAR_PAL::captureLastError();
    return false;
}

int64_t fileSize(const char* path) {
    struct stat st;
    if (!path || stat(osPath(path).c_str(), &st) != 0) {
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
    int flags = forReading ? O_RDONLY : O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW;
    int fd = -1;
    do {
        fd = ::open(osPath(path).c_str(), flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    fd = moveOffStandardStreams(fd);
    if (fd >= 0) return fd;
    int err = errno;
    NARROW_CHAR_PAL::setLastError(static_cast<uint32_t>(err));
    reportOpenFailure(path, forReading ? "reading" : "writing", err, errorText, errorTextSize);
    return -1;
}

FILE* fileOpenStream(const char* path, const char* mode, bool report) {
    std::string m = std::string(mode ? mode : "") + "e";
    FILE* f = path ? std::fopen(osPath(path).c_str(), m.c_str()) : nullptr;
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

int fileOpenNoFollow(const char* path, int flags, mode_t mode) {
    if (!path) {
        errno = EFAULT;
        return -1;
    }
    const std::string name = osPath(path);
    int fd;
    do {
        fd = fileSystemCalls().open(name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return moveOffStandardStreams(fd);
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
        ssize_t n = fileSystemCalls().write(fd, p, length);
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

long fileRead(int fd, void* buffer, size_t count) {
    ssize_t n;
    do {
        n = ::read(fd, buffer, count);
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
        n = pread(fd, &c, 1, static_cast<off_t>(pos));
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
    const brenvik::bv_options& options = brenvik::globalOptions();
    std::string name = path ? path : "";
    int lastError = 0;
    int result = brenvik::bv_filesystem::grantGroupAccess(fd, options, compareFirst, &lastError);
    if (result == 0) return 0;
    // A report about the error log would be written to that same file.
    if (name == options.getErrorLogFile()) return -1;
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
