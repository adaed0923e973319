#pragma once
// CMmapFile: a server file shared by every process of the computer through
// one page-cache copy. The data always stays in the file itself; each process
// maps the file (MAP_SHARED). What Windows called the mapping's global name is
// a registration marker: a POSIX shared-memory object "/tarvex.<name>" whose
// one line says who owns the mapping, whether it is writable and which file
// (device and inode) it stands for. The owner (the monitor service, or a test)
// creates the marker; every other process opens "by name", which fails with
// M49 when no live owner has registered the file.
//
// Copies share the descriptor and the whole-file view with their original
// through a counted state, so either may be closed first. Not thread-safe:
// one object belongs to one thread.
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

enum : uint32_t {
    MMAP_OWNER = 0x01,
    MMAP_NO_LOCK = 0x04,
    MMAP_NO_VIEW = 0x08,
    MMAP_MAP_AND_LOCK = 0x10,
    MMAP_LOCAL_NAME = 0x40,
};

// One record of a ".lck" file, one per chunk handed to a bv-memlock helper.
struct HelperLockRecord {
    uint32_t request;  // 1 keep the chunk locked, 0 release it (owner writes)
    uint32_t reserved1;
    uint32_t state;  // helper writes: 0 no answer yet, 4 locked, 1/5/6 gave up, 7 released
    uint32_t reserved2;
};
static_assert(sizeof(HelperLockRecord) == 16);

enum : uint32_t {
    HELPER_STATE_NONE = 0,
    HELPER_STATE_LOCKED = 4,
    HELPER_STATE_RELEASED = 7,
};

// The parsed line of a marker:
// "BVMAP1 <owner pid> <rw 0/1> <st_dev> <st_ino> <size> <canonical path>\n".
// Owner pid 0 switches off the liveness check, dev/ino "0 0" the file-identity
// check (both for tests that register files without keeping a process alive).
struct MmapMarker {
    long pid = 0;
    int readWrite = 0;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    long long size = 0;
    std::string path;
};

class CMmapFile;

// Lets a caller close many helper-locked files first and wait for all their
// helpers afterwards (CMmapFile::waitForHelperRelease on each entry).
class HelperLockDeferral {
public:
    // Records the three and asks every helper of the ".lck" file to release.
    void add(const std::string& lckPath, CMmapFile* object, void* view);

    std::vector<std::string> lckPaths;
    std::vector<CMmapFile*> objects;
    std::vector<std::pair<CMmapFile*, void*>> views;
};

class CMmapFile {
public:
    CMmapFile();
    CMmapFile(const CMmapFile& other);
    CMmapFile& operator=(const CMmapFile& other);
    ~CMmapFile();

    // Opens (or, with MMAP_OWNER / MMAP_LOCAL_NAME, creates) the mapping of
    // path. error becomes 0 or 47..50; M47..M50 are reported only with report
    // (a view the SIGBUS guard has no room for always is). A writable file
    // that is a symbolic link is not opened (its folder may be writable by
    // others). An open object is closed first.
    bool open(const std::string& path, bool readOnly, int& error, uint32_t flags = 0,
              uint32_t window = 0, bool report = true);
    // Pointer to the byte at offset, valid for min(length, getSize() - offset)
    // bytes; null for an offset outside the file or a failed window.
    void* getView(int64_t offset, uint64_t length);
    bool lockRange(int64_t offset, uint64_t length);
    bool lockInMemory(void* address, uint64_t length);
    void close();

    // Owner side: pinning through bv-memlock helpers and the ".lck" handshake.
    void lockWithHelper(uint32_t chunkMiB);
    void releaseHelperLocks(const std::string& path);
    // Waits up to 10 s for every record of the ".lck" file to read "released";
    // then (also after the time-out) closes and deletes object and clears the
    // pointers; the ".lck" file is removed only when all were released.
    static void waitForHelperRelease(const std::string& lckPath, CMmapFile*& object, void*& view);

    // Set by the owner of the object just before close(): collects the
    // helper releases instead of waiting for each.
    void setDeferral(HelperLockDeferral* deferral) { deferral_ = deferral; }

    // How many read-only views of this process lost pages because their
    // file was cut short while mapped (those pages now read as zero bytes
    // instead of killing the process with SIGBUS). Only whole pages past
    // the new end fault: the rest of the last page reads as zeros without
    // a count, so a reader also compares the file's size with what it read.
    static unsigned lostViewCount();
    // A read-only mapping made elsewhere (the iterator maps the files of a
    // database in file mode itself) survives its file being cut short like
    // the views of this class: guard it while it is mapped. False when it
    // cannot be guarded (the guard's table of 64 views is full, or the
    // handler could not be installed). A SIGBUS outside the guarded views
    // goes to the handler that was installed before the guard.
    static bool guardReadOnlyMapping(const char* start, uint64_t length);
    static void unguardReadOnlyMapping(const char* start);

    // The open file under the mapping, for reads that are cheaper than
    // touching every page of a view once (-1 when there is none).
    int getDescriptor() const;
    int64_t getSize() const { return size_; }
    const std::string& getPath() const { return path_; }
    bool isOpen() const { return openSucceeded_; }
    bool isReadOnly() const { return readOnly_; }
    bool isWholeFileMapped() const { return wholeFileMapped_; }
    int getLockState() const { return lockState_; }
    uint64_t getViewLength() const { return viewLength_; }
    int64_t getViewOffset() const { return viewOffset_; }
    const std::string& getMappingName() const { return mappingName_; }

    // --- The marker contract, shared with the monitor and the tests. ---
    // "Global\" + canonical path with every "\" turned into "~" ("Global\"
    // left out for a local name).
    static std::string mappingNameFor(const std::string& canonicalPath, bool localName);
    // "/tarvex." + mapping name with "\" and "/" turned into "~"; over 255
    // bytes: its first 230 bytes, ".", 16 lower-case hex digits of FNV-1a-64.
    static std::string markerNameFor(const std::string& mappingName);
    // Marker name of an existing file (canonical path); empty when realpath fails.
    static std::string markerNameForFile(const std::string& path, bool localName = false);
    static std::string formatMarker(const MmapMarker& marker);
    static bool parseMarker(const std::string& text, MmapMarker& marker);
    // Creates or replaces the marker, mode & 0666. False with errno set.
    static bool writeMarker(const std::string& markerName, const MmapMarker& marker, mode_t mode);
    static bool readMarker(const std::string& markerName, MmapMarker& marker);
    static bool removeMarker(const std::string& markerName);

private:
    struct Shared;

    void resetFields();
    bool openByName(int& error, bool report);
    bool createAsOwner(int& error, bool report);
    bool mapWhole(bool report, int line);
    void unmapWindow();

    int64_t size_ = 0;
    int64_t viewOffset_ = 0;
    char* view_ = nullptr;
    char* lockAddress_ = nullptr;
    std::string path_;
    uint64_t windowSize_ = 0;
    uint64_t viewLength_ = 0;
    uint64_t lockLength_ = 0;
    int lockState_ = 0;
    bool readOnly_ = true;
    bool wholeFileMapped_ = false;
    bool openSucceeded_ = false;
    bool isCopy_ = false;
    uint32_t granularity_ = 0;
    HelperLockDeferral* deferral_ = nullptr;
    std::string mappingName_;
    bool owner_ = false;
    bool report_ = false;  // report flag of the last open (window failures)
    // Descriptor, whole-file view and owned marker, shared with copies.
    std::shared_ptr<Shared> shared_;
};
