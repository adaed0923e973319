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
    // Lengths 0 mean the texts' lengths.
    bool add(const char* key, const char* value, size_t keyLength = 0, size_t valueLength = 0);
    bool addInt32(const std::string& key, uint32_t value);
    bool addInt64(const std::string& key, uint64_t value);
    // Writes the header keys, completes the file, releases the lock and
    // re-opens it for reading. False when a write failed: the file then has
    // no version key and counts as incomplete.
    bool finish();

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
