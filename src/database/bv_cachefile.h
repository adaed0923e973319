#pragma once
// A constant-database file that caches data derived from a source file. Its
// header keys record the cache's version, the source's size and time, and
// whether writing finished, so that a stale, old or half-written cache is
// recognised and rebuilt (or, when rebuilding is not allowed, not used).
//
// Sharing between processes: a builder creates the file exclusively and
// holds an open-file-description write lock on byte 0 while writing; a reader
// that cannot take a read lock on byte 0 treats the file as being created and
// goes on without it. A finished cache is never modified in place: a stale
// one is unlinked (after checking that nobody is building it) and created
// anew. Within a process, reads hold the cache-read mutex.
//
// Every outcome is a library message on the object (it is a bv_errs);
// callers read the last message number.
#include "common/bv_errs.h"
#include "database/bv_cdbfile.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace brenvik {

// The outcomes of a cache: the numbers of its library messages, read back
// through getLastError().
constexpr int kMsgMissing = 35;
constexpr int kMsgCreateFailed = 37;
constexpr int kMsgCloseFailed = 38;
constexpr int kMsgInitFailed = 39;
constexpr int kMsgCorruptValue = 40;
constexpr int kMsgWriteFailed = 41;
constexpr int kMsgTooLarge = 42;
constexpr int kMsgWasTooLarge = 44;
constexpr int kMsgOldVersionRecreate = 45;
constexpr int kMsgOldVersionContinue = 46;
constexpr int kMsgIncompleteRecreate = 47;
constexpr int kMsgIncompleteContinue = 48;
constexpr int kMsgBeingCreated = 49;
constexpr int kMsgRemoveFailed = 50;
constexpr int kMsgLockFailed = 51;
constexpr int kMsgUnlockFailed = 52;
constexpr int kMsgChangedRecreate = 53;
constexpr int kMsgChangedContinue = 54;

// How long a task that finds a cache being built waits for that build
// before it goes on without the cache: longer than building the caches of
// a full NCBI dump takes, well within a web server's CGI time-out. The wait
// runs on the clock of systemCalls(), which tests replace.
constexpr int kCacheBuildWaitMs = 30000;

// The process-wide mutex that serialises reads of cache files.
std::recursive_mutex& cacheReadMutex();

class bv_cachefile : public bv_errs {
public:
    // Each name may be null (empty). An empty source name means the cache has
    // no source to check; an empty version means any version is accepted.
    bv_cachefile(const char* cacheFileName, const char* version, const char* sourceFileName);
    ~bv_cachefile() override;
    bv_cachefile(const bv_cachefile&) = delete;
    bv_cachefile& operator=(const bv_cachefile&) = delete;

    // True when the cache is open for reading and valid.
    bool open(bool recreate);
    // True when a new file was created; when another task holds it nothing
    // will be written (message 49).
    bool create();
    // Waits until no task holds the cache's build lock (or the file is
    // gone), at most `milliseconds`; true when it is free, so that opening
    // the cache again finds the finished build. Looks without the object's
    // own descriptor and changes nothing on it.
    bool waitForBuild(int milliseconds);
    // Gives up a build begun with create(): the unfinished file is removed
    // while it is still ours, and the lock released.
    void abandon();
    // Expects about this many records in the cache being created (a hint
    // that spares the writer's tables repeated copies).
    void expectRecords(uint64_t records) { makeReserve(writer_, records); }
    // Lengths 0 mean the texts' lengths.
    bool add(const char* key, const char* value, size_t keyLength = 0, size_t valueLength = 0);
    bool addInt32(const std::string& key, uint32_t value);
    bool addInt64(const std::string& key, uint64_t value);
    // Writes the header keys, completes the file, releases the lock and
    // re-opens it for reading. False when a write failed: the file then has
    // no version key and counts as incomplete.
    bool finish();

    // Every record of an open cache in the order it was written (header
    // keys included): fn(key, keyLength, value, valueLength). False when
    // the cache is not open or a record lies outside the file.
    template <typename Fn>
    bool forEachRecord(Fn fn) {
        std::lock_guard<std::recursive_mutex> guard(cacheReadMutex());
        if (!openForReading_) return false;
        const CdbLayout& layout = reader_.layout();
        const uint64_t end = reader_.dataEnd();
        for (uint64_t at = layout.headerSize; at < end;) {
            const unsigned char* header = reader_.mappedData(kCdbRecordHeaderSize, at);
            if (header == nullptr) return false;
            const uint64_t keyLength = cdbUnpack(header, layout.keyLengthSize);
            const uint64_t valueLength = cdbUnpack(header + layout.keyLengthSize, layout.valueLengthSize);
            at += kCdbRecordHeaderSize;
            if (keyLength > end - at || valueLength > end - at - keyLength) return false;
            // Checked above: both lie inside the data, so an empty one may
            // point at its end.
            const unsigned char* key = reader_.mappedData(0, layout.headerSize) - layout.headerSize + at;
            const unsigned char* value = key + keyLength;
            fn(key, static_cast<size_t>(keyLength), value, static_cast<size_t>(valueLength));
            at += keyLength + valueLength;
        }
        return true;
    }

    // Look-ups by pread rather than through the map (see bv_cdbfile): for
    // caches that a request reads a few records of, here and there.
    void setPositionalReads(bool on) { reader_.setPositionalReads(on); }

    uint32_t getInt(const std::string& key, bool& found);
    std::string getValue(const std::string& key, int n);
    std::vector<std::string> getAllValues(const std::string& key);

    bool isUsable() const { return usable_ != 0; }
    bool isOpenForReading() const { return openForReading_; }
    bool isCreating() const { return creating_; }
    const std::string& fileName() const { return cacheFileName_; }
    void close();
    // True when byte 0 could be locked without waiting (a write lock on a
    // writable descriptor, a read lock on a read-only one).
    bool lockFile(int fd);

    static constexpr uint64_t kSizeLimit = 0xFFFFFEFFFFFFULL;

private:
    void sourceTexts(std::string& timeText, std::string& sizeText) const;
    bool addRaw(const char* key, size_t keyLength, const char* value, size_t valueLength);
    bool unlockFile(int fd);
    // Removes an old cache file unless another task is building it.
    bool removeOld();

    std::string cacheFileName_;
    std::string version_;
    std::string sourceFileName_;
    int32_t usable_ = 1;
    int fd_ = -1;
    bv_cdbfile reader_;
    bv_cdbmake writer_;
    bool creating_ = false;
    uint64_t runningSize_ = 2048;
    bool writeErrorReported_ = false;
    bool sizeLimitReported_ = false;
    bool openForReading_ = false;
    // The source's texts as they were when the build started.
    std::string buildTimeText_;
    std::string buildSizeText_;
};

}  // namespace brenvik
