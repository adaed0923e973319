#pragma once
// CMmapFile: a server file shared by every process of the computer through
// one page-cache copy. The data always stays in the file itself; each process
// maps the file (MAP_SHARED). What Windows called the mapping's global name is
// a registration marker: a POSIX shared-memory object "/tarvex.<name>" whose
// one line says who owns the mapping, whether it is writable and which file
// (device and inode) it stands for (common/mmapfile_marker.h). The owner (the monitor service, or a test)
// creates the marker; every other process opens "by name", which fails with
// M49 when no live owner has registered the file.
//
// Copies share the descriptor and the whole-file view with their original
// through a counted state, so either may be closed first. Not thread-safe:
// one object belongs to one thread.
#include <cstdint>
#include <memory>
#include <string>

enum : uint32_t {
    MMAP_OWNER = 0x01,
    MMAP_NO_LOCK = 0x04,
    MMAP_NO_VIEW = 0x08,
    MMAP_MAP_AND_LOCK = 0x10,
    MMAP_LOCAL_NAME = 0x40,
};

class HelperLockDeferral;

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

    // Set by the owner of the object just before close(): collects the
    // helper releases instead of waiting for each (common/mmapfile_helpers.h).
    void setDeferral(HelperLockDeferral* deferral) { deferral_ = deferral; }

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
    // Why the last open by name refused the file standing under the path
    // for what it is (a link, not a regular file, not the file the owner
    // registered, or one that cannot be opened as asked), as M49 said it;
    // empty when the open succeeded or failed for want of a live
    // registration.
    const std::string& getFileRefusal() const { return fileRefusal_; }

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
    std::string fileRefusal_;
    // Descriptor, whole-file view and owned marker, shared with copies.
    std::shared_ptr<Shared> shared_;
};
