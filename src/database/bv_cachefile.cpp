#include "database/bv_cachefile.h"

#include "common/bv_filesystem.h"
#include "common/file_utils.h"
#include "common/io_utils.h"
#include "common/system_calls.h"
#include "common/time_utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace brenvik {

namespace {

constexpr char kVersionKey[] = "=0.2";
constexpr char kSizeLimitKey[] = "=0.3";
constexpr char kSourceSizeKey[] = "=0.4";
constexpr char kSourceTimeKey[] = "=0.5";
constexpr char kExactTimeKey[] = "=0.6";
constexpr char kSizeLimitText[] = "256TB";
constexpr uint64_t kPerRecordOverhead = 24;


// The builder retries its lock briefly: a reader's probe holds a read lock
// on byte 0 for a moment and would otherwise turn the build away.
constexpr int kBuildLockTries = 10;
constexpr uint32_t kBuildLockPauseMs = 10;
// How often a task waiting for another's build looks at its lock: at
// first, and at the longest.
constexpr uint32_t kBuildWaitPauseMs = 2;
constexpr uint32_t kBuildWaitLongestPauseMs = 50;

// Caches are opened never through a link in their last component: whoever
// can write the taxonomy folder could otherwise point a root run at any
// file. A link found there counts as a cache that is not there.
int openCache(const std::string& name, int flags) { return fileOpenNoFollow(name.c_str(), flags, 0666); }

int setByteZeroLock(int fd, short type) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    // Open-file-description locks: they belong to this descriptor alone, so
    // closing another descriptor of the same file does not drop them, and two
    // objects of one process exclude each other just as two processes do.
    int rc;
    do {
        rc = ::fcntl(fd, F_OFD_SETLK, &fl);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

bool lockHeldByOther(int error) { return error == EAGAIN || error == EACCES; }

std::string timeTextOf(time_t t) {
    bvparser_internal::CTimeUtils tu;
    const char* text = tu.asctime(tu.gmtime(t));
    return text ? text : "";
}

}  // namespace

std::recursive_mutex& cacheReadMutex() {
    // Never destroyed: a report from an exit handler may still read a cache.
    static std::recursive_mutex* mutex = new std::recursive_mutex;
    return *mutex;
}

bv_cachefile::bv_cachefile(const char* cacheFileName, const char* version, const char* sourceFileName)
    : cacheFileName_(cacheFileName ? cacheFileName : ""),
      version_(version ? version : ""),
      sourceFileName_(sourceFileName ? sourceFileName : "") {}

bv_cachefile::~bv_cachefile() { close(); }

void bv_cachefile::close() {
    reader_.close(true);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    openForReading_ = false;
    creating_ = false;
}

bool bv_cachefile::lockFile(int fd) {
    const int mode = ::fcntl(fd, F_GETFL);
    const short type = mode >= 0 && (mode & O_ACCMODE) == O_RDONLY ? F_RDLCK : F_WRLCK;
    if (setByteZeroLock(fd, type) == 0) return true;
    const int error = errno;
    if (!lockHeldByOther(error)) setError(kMsgLockFailed, pathInMessages(cacheFileName_).c_str(), error);
    errno = error;
    return false;
}

bool bv_cachefile::unlockFile(int fd) {
    if (setByteZeroLock(fd, F_UNLCK) == 0) return true;
    setError(kMsgUnlockFailed, pathInMessages(cacheFileName_).c_str(), -1);
    return false;
}

void bv_cachefile::sourceTexts(std::string& timeText, std::string& sizeText) const {
    struct stat st;
    if (sourceFileName_.empty() || systemCalls().stat(sourceFileName_.c_str(), &st) != 0) {
        timeText = sizeText = "unknown";
        return;
    }
    char size[32];
    std::snprintf(size, sizeof size, "%" PRIu64, static_cast<uint64_t>(st.st_size));
    sizeText = size;
    timeText = timeTextOf(st.st_mtime);
}

bool bv_cachefile::open(bool recreate) {
    // A second open starts afresh instead of leaking the first descriptor.
    if (!creating_) close();
    do {
        fd_ = openCache(cacheFileName_, O_RDONLY);
        if (fd_ < 0) {
            setError(errno == EACCES ? kMsgBeingCreated : kMsgMissing, pathInMessages(cacheFileName_).c_str());
            break;
        }
        if (!lockFile(fd_)) {
            usable_ = 0;
            setError(kMsgBeingCreated, pathInMessages(cacheFileName_).c_str());
            break;
        }
        unlockFile(fd_);
        const int rc = reader_.init(fd_);
        if (rc == -3 || rc == -7) {
            // Shorter than a header or with a damaged footer: a build that
            // never finished, or a damaged file; either way it is rebuilt.
            setError(recreate ? kMsgIncompleteRecreate : kMsgIncompleteContinue, pathInMessages(cacheFileName_).c_str());
            break;
        }
        if (rc < 0) {
            setError(kMsgInitFailed, pathInMessages(cacheFileName_).c_str(), rc);
            break;
        }
        openForReading_ = true;

        bool checkSource = true;
        if (!version_.empty()) {
            const std::string v = getValue(kVersionKey, 0);
            if (v.empty()) {
                setError(recreate ? kMsgIncompleteRecreate : kMsgIncompleteContinue, pathInMessages(cacheFileName_).c_str());
                checkSource = false;
            } else if (v != version_) {
                setError(recreate ? kMsgOldVersionRecreate : kMsgOldVersionContinue, pathInMessages(cacheFileName_).c_str());
                checkSource = false;
            }
        }
        if (checkSource && !sourceFileName_.empty()) {
            const std::string storedSize = getValue(kSourceSizeKey, 0);
            const std::string storedTime = getValue(kSourceTimeKey, 0);
            std::string size, timeText;
            struct stat st;
            const bool exists = systemCalls().stat(sourceFileName_.c_str(), &st) == 0;
            if (exists) sourceTexts(timeText, size);
            bool valid = size == storedSize;
            if (valid) {
                bool sameTime = bvparser_internal::CTimeUtils::sameTimeString(timeText.c_str(), storedTime.c_str());
                // Without the exact-time key the stored time may be off by the
                // daylight-saving hour that older writers added or dropped.
                if (!sameTime && exists && getValue(kExactTimeKey, 0).empty()) {
                    sameTime = bvparser_internal::CTimeUtils::sameTimeString(
                                   timeTextOf(st.st_mtime - 3600).c_str(), storedTime.c_str()) ||
                               bvparser_internal::CTimeUtils::sameTimeString(
                                   timeTextOf(st.st_mtime + 3600).c_str(), storedTime.c_str());
                }
                valid = sameTime;
            }
            if (!valid)
                setError(recreate ? kMsgChangedRecreate : kMsgChangedContinue, pathInMessages(sourceFileName_).c_str(),
                         timeText.c_str(), storedTime.c_str(), size.c_str(), storedSize.c_str());
        }
        const std::string limit = getValue(kSizeLimitKey, 0);
        if (!limit.empty()) {
            if ((limit == "2Gb" || limit == "4Gb") && recreate) {
                setError(kMsgWasTooLarge, pathInMessages(cacheFileName_).c_str());
            } else {
                usable_ = 0;
                setError(kMsgTooLarge, pathInMessages(cacheFileName_).c_str(), limit.c_str());
            }
        }
    } while (false);

    if (getLastError() != 0) {
        close();
        return false;
    }
    return true;
}

bool bv_cachefile::waitForBuild(int milliseconds) {
    const SystemCalls& calls = systemCalls();
    const int64_t deadline = calls.monotonicMilliseconds() + milliseconds;
    uint32_t pause = kBuildWaitPauseMs;
    for (;;) {
        const int fd = openCache(cacheFileName_, O_RDONLY);
        // Gone: nobody holds it any more (a failed build removes its file).
        if (fd < 0) return errno == ENOENT;
        const bool free = setByteZeroLock(fd, F_RDLCK) == 0;
        if (free) setByteZeroLock(fd, F_UNLCK);
        ::close(fd);
        if (free) return true;
        if (calls.monotonicMilliseconds() >= deadline) return false;
        // Short looks at first, then fewer: many waiting tasks must not
        // cost much CPU while the build runs.
        calls.sleepMilliseconds(pause);
        pause = std::min(pause * 2, kBuildWaitLongestPauseMs);
    }
}

void bv_cachefile::abandon() {
    if (!creating_ || fd_ < 0) return;
    // Only while the name is still our file: never another task's build.
    struct stat mine, named;
    if (systemCalls().fstat(fd_, &mine) == 0 && systemCalls().stat(cacheFileName_.c_str(), &named) == 0 &&
        mine.st_dev == named.st_dev && mine.st_ino == named.st_ino)
        ::unlink(cacheFileName_.c_str());
    unlockFile(fd_);
    close();
}

bool bv_cachefile::removeOld() {
    const int old = openCache(cacheFileName_, O_RDONLY);
    if (old < 0 && errno == ENOENT) return true;
    // Linux lets a file that another task is building be deleted, so the
    // old file's lock is tested first and held while it is removed.
    if (old >= 0 && setByteZeroLock(old, F_RDLCK) != 0) {
        const int error = errno;
        ::close(old);
        if (!lockHeldByOther(error)) setError(kMsgLockFailed, pathInMessages(cacheFileName_).c_str(), error);
        usable_ = 0;
        setError(kMsgBeingCreated, pathInMessages(cacheFileName_).c_str());
        return false;
    }
    const int rc = ::unlink(cacheFileName_.c_str());
    const int error = errno;
    if (old >= 0) ::close(old);
    if (rc != 0 && error != ENOENT) {
        setError(kMsgRemoveFailed, pathInMessages(cacheFileName_).c_str(), std::strerror(error));
        usable_ = 0;
        return false;
    }
    return true;
}

bool bv_cachefile::create() {
    clearAllErrors();
    if (!usable_) return false;
    close();
    if (!removeOld()) return false;

    // Never on 0, 1 or 2: a CGI reply written to a closed standard stream
    // would land in the cache.
    fd_ = openCache(cacheFileName_, O_RDWR | O_CREAT | O_EXCL);
    if (fd_ < 0) {
        if (errno == EEXIST) {
            // Another task created it since the old one was removed: it is
            // that task's build now.
            usable_ = 0;
            setError(kMsgBeingCreated, pathInMessages(cacheFileName_).c_str());
        } else {
            setError(kMsgCreateFailed, pathInMessages(cacheFileName_).c_str());
        }
        return false;
    }
    bool locked = false;
    for (int i = 0; i < kBuildLockTries && !locked; ++i) {
        if (setByteZeroLock(fd_, F_WRLCK) == 0) {
            locked = true;
        } else if (!lockHeldByOther(errno)) {
            setError(kMsgLockFailed, pathInMessages(cacheFileName_).c_str(), errno);
            break;
        } else if (i + 1 < kBuildLockTries) {
            systemCalls().sleepMilliseconds(kBuildLockPauseMs);
        }
    }
    if (locked) {
        // Another task may have removed our new file between its creation and
        // our lock (it saw an unlocked file); building an unlinked file would
        // be wasted work, so leave the name to that task.
        struct stat mine, named;
        if (systemCalls().fstat(fd_, &mine) != 0 || systemCalls().stat(cacheFileName_.c_str(), &named) != 0 ||
            mine.st_dev != named.st_dev || mine.st_ino != named.st_ino) {
            unlockFile(fd_);
            locked = false;
        }
    }
    if (!locked) {
        setError(kMsgBeingCreated, pathInMessages(cacheFileName_).c_str());
        return true;
    }
    // The configured group may rebuild or remove it later, as it may the
    // job-number files; a failure there leaves the cache usable by us.
    (void)bv_filesystem::grantConfiguredGroupAccess(fd_, cacheFileName_, false);
    makeStart(writer_, fd_);
    creating_ = true;
    runningSize_ = 2048;
    writeErrorReported_ = false;
    sizeLimitReported_ = false;
    // Taken now: a source replaced during a long build must not be recorded
    // as the one the cache was built from.
    sourceTexts(buildTimeText_, buildSizeText_);
    return true;
}

bool bv_cachefile::addRaw(const char* key, size_t keyLength, const char* value, size_t valueLength) {
    if (makeAdd(writer_, key, keyLength, value, valueLength) == 0) return true;
    const int error = errno;
    if (!writeErrorReported_) {
        writeErrorReported_ = true;
        setError(kMsgWriteFailed, pathInMessages(cacheFileName_).c_str(), -1, std::strerror(error));
    }
    return false;
}

bool bv_cachefile::add(const char* key, const char* value, size_t keyLength, size_t valueLength) {
    if (!key) key = "";
    if (!value) value = "";
    if (keyLength == 0) keyLength = std::strlen(key);
    if (valueLength == 0) valueLength = std::strlen(value);
    if (!creating_) return false;
    runningSize_ += keyLength + valueLength + kPerRecordOverhead;
    if (runningSize_ > kSizeLimit || keyLength > kSizeLimit || valueLength > kSizeLimit) {
        if (!sizeLimitReported_) {
            sizeLimitReported_ = true;
            setError(kMsgTooLarge, pathInMessages(cacheFileName_).c_str(), static_cast<const char*>(kSizeLimitText));
            addRaw(kSizeLimitKey, 4, kSizeLimitText, std::strlen(kSizeLimitText));
        }
        return false;
    }
    return addRaw(key, keyLength, value, valueLength);
}

namespace {

size_t packTrimmed(uint64_t value, unsigned width, unsigned char* out) {
    cdbPack(value, out, width);
    size_t n = width;
    while (n > 1 && out[n - 1] == 0) --n;
    return n;
}

}  // namespace

bool bv_cachefile::addInt32(const std::string& key, uint32_t value) {
    unsigned char b[8];
    const size_t n = packTrimmed(value, 4, b);
    return add(key.c_str(), reinterpret_cast<const char*>(b), key.size(), n);
}

bool bv_cachefile::addInt64(const std::string& key, uint64_t value) {
    unsigned char b[8];
    const size_t n = packTrimmed(value, 8, b);
    return add(key.c_str(), reinterpret_cast<const char*>(b), key.size(), n);
}

bool bv_cachefile::finish() {
    bool ok = true;
    std::string timeText = buildTimeText_, sizeText = buildSizeText_;
    if (!creating_) sourceTexts(timeText, sizeText);
    add(kSourceTimeKey, timeText.c_str());
    if (creating_) {
        runningSize_ += 4 + 1 + kPerRecordOverhead;
        if (runningSize_ <= kSizeLimit) {
            addRaw(kExactTimeKey, 4, "1", 1);
        } else if (!sizeLimitReported_) {
            sizeLimitReported_ = true;
            setError(kMsgTooLarge, pathInMessages(cacheFileName_).c_str(), static_cast<const char*>(kSizeLimitText));
            addRaw(kSizeLimitKey, 4, kSizeLimitText, std::strlen(kSizeLimitText));
        }
    }
    add(kSourceSizeKey, sizeText.c_str());
    // The version key goes in last, and only when everything before it was
    // written; after a failed write the writer refuses it and the file stays
    // unfinished.
    add(kVersionKey, version_.c_str(), 4, version_.size());
    if (creating_) {
        if (makeFinish(writer_) != 0) {
            const int error = errno;
            if (!writeErrorReported_) {
                writeErrorReported_ = true;
                setError(kMsgWriteFailed, pathInMessages(cacheFileName_).c_str(), -1, std::strerror(error));
            }
            ok = false;
        }
    }
    if (fd_ >= 0) {
        unlockFile(fd_);
        if (::close(fd_) != 0) setError(kMsgCloseFailed, pathInMessages(cacheFileName_).c_str());
        fd_ = -1;
    }
    const bool wasCreating = creating_;
    creating_ = false;
    if (wasCreating && !ok) {
        // Keep the write error as the last word instead of a re-open's verdict.
        close();
        return false;
    }
    open(false);
    return ok;
}

uint32_t bv_cachefile::getInt(const std::string& key, bool& found) {
    std::lock_guard<std::recursive_mutex> guard(cacheReadMutex());
    found = false;
    if (!openForReading_ || reader_.find(key.data(), key.size()) != 1) return 0;
    found = true;
    uint64_t length = reader_.valueLength();
    if (length > 4) {
        setError(kMsgCorruptValue, pathInMessages(cacheFileName_).c_str(), static_cast<const char*>("Length of value > 8 bytes"));
        length = 4;
    }
    const unsigned char* p = reader_.getData(length, reader_.valuePosition());
    return p ? static_cast<uint32_t>(cdbUnpack(p, static_cast<unsigned>(length))) : 0;
}

std::string bv_cachefile::getValue(const std::string& key, int n) {
    std::lock_guard<std::recursive_mutex> guard(cacheReadMutex());
    if (!openForReading_ || n < 0) return "";
    CdbFindState st;
    if (bv_cdbfile::findFirst(st, &reader_, key.data(), key.size()) != 1) return "";
    for (int i = 0; bv_cdbfile::findNext(st) == 1; ++i) {
        if (i < n) continue;
        const uint64_t length = reader_.valueLength();
        if (length == 0) return "";
        const unsigned char* p = reader_.getData(length, reader_.valuePosition());
        return p ? std::string(reinterpret_cast<const char*>(p), length) : "";
    }
    return "";
}

std::vector<std::string> bv_cachefile::getAllValues(const std::string& key) {
    std::lock_guard<std::recursive_mutex> guard(cacheReadMutex());
    std::vector<std::string> values;
    if (!openForReading_) return values;
    CdbFindState st;
    if (bv_cdbfile::findFirst(st, &reader_, key.data(), key.size()) != 1) return values;
    while (bv_cdbfile::findNext(st) == 1) {
        const uint64_t length = reader_.valueLength();
        if (length == 0) continue;
        const unsigned char* p = reader_.getData(length, reader_.valuePosition());
        if (p) values.emplace_back(reinterpret_cast<const char*>(p), length);
    }
    return values;
}

}  // namespace brenvik
