#pragma once
// The server's control file: an array of 95,472-byte database entries, each
// two 47,736-byte halves (ControlFileRecord). The monitor service keeps it in
// a read-write shared mapping; every search and look-up process opens that
// mapping by name. The monitor writes the fields while we read them, so every
// read goes through the bounded accessors below: texts never run past their
// field, numbers are loaded whole.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/mmapfile.h"

namespace brenvik {

class bv_options;

// One job of the server in a control-file half (448 bytes, little-endian).
struct JobSlot {
    int32_t jobNumber;  // 0: free
    int32_t processId;
    char task[30];
    char taskText[100];
    char description[100];
    char managerText[100];
    char reserved338[2];
    uint32_t startTime;  // seconds since 1970
    uint32_t endTime;    // 0 while the job runs
    int32_t status;      // 1 running, 2 finished
    int32_t zero352;
    char clientAddress[20];
    char requestKind[4];
    int32_t callerNumber;
    int32_t result;
    int32_t resultValue;
    int32_t percentDone;
    int32_t zero396;
    uint32_t userCpuMs;
    uint32_t kernelCpuMs;
    uint32_t elapsedMs;
    uint8_t finishFlag;
    char reserved413[3];
    int32_t nodeIndex;
    int32_t reserved420;
    uint8_t zero424[8];
    int32_t zero432;
    int32_t zero436;
    int32_t userId;
    int32_t reserved444;
};

constexpr int kJobSlotsPerHalf = 100;
constexpr int kNodeCount = 50;
constexpr int kUsableStatus = 24;

// One half of a database's control-file entry.
struct ControlFileRecord {
    char name[768];
    char fastaName[256];
    char fastaPath[256];
    char referencePath[256];
    char compressedFolder[256];
    int32_t node[160];
    JobSlot slots[kJobSlotsPerHalf];
    uint8_t lockInMemory;
    char reserved47233[3];
    int32_t database[125];
};

static_assert(sizeof(JobSlot) == 448);
static_assert(offsetof(JobSlot, task) == 8 && offsetof(JobSlot, taskText) == 38);
static_assert(offsetof(JobSlot, description) == 138 && offsetof(JobSlot, managerText) == 238);
static_assert(offsetof(JobSlot, startTime) == 340 && offsetof(JobSlot, endTime) == 344);
static_assert(offsetof(JobSlot, status) == 348 && offsetof(JobSlot, clientAddress) == 356);
static_assert(offsetof(JobSlot, requestKind) == 376 && offsetof(JobSlot, callerNumber) == 380);
static_assert(offsetof(JobSlot, result) == 384 && offsetof(JobSlot, percentDone) == 392);
static_assert(offsetof(JobSlot, userCpuMs) == 400 && offsetof(JobSlot, elapsedMs) == 408);
static_assert(offsetof(JobSlot, finishFlag) == 412 && offsetof(JobSlot, nodeIndex) == 416);
static_assert(offsetof(JobSlot, zero424) == 424 && offsetof(JobSlot, zero432) == 432);
static_assert(offsetof(JobSlot, userId) == 440);
static_assert(sizeof(ControlFileRecord) == 47736);
static_assert(offsetof(ControlFileRecord, node) == 1792 && offsetof(ControlFileRecord, slots) == 2432);
static_assert(offsetof(ControlFileRecord, lockInMemory) == 47232);
static_assert(offsetof(ControlFileRecord, database) == 47236);

constexpr int64_t kControlFileEntrySize = 2 * static_cast<int64_t>(sizeof(ControlFileRecord));

// Indexes of the node block.
constexpr int kNodeSwitchState = 0;      // + node
constexpr int kNodeStatus = 50;          // + node
constexpr int kNodeDatabaseNumber = 102;
constexpr int kNodeMemoryMapped = 106;   // + node
constexpr int kNodeMappingsExist = 157;
// Indexes of the database block.
constexpr int kDbMappingStatus = 0;  // + node
constexpr int kDbHasReference = 50;
constexpr int kDbSequenceType = 52;
constexpr int kDbParseRule = 55;
constexpr int kDbTaxonomySection = 56;
constexpr int kDbLongestSequence = 113;
constexpr int kDbSequenceCount = 114;
constexpr int kDbLongestAccession = 116;
constexpr int kDbFirstSequence = 118;
constexpr int kDbLastSequence = 119;

// A number field written by another process: read (or written) whole.
inline int32_t loadField(const int32_t& field) {
    return std::atomic_ref<int32_t>(const_cast<int32_t&>(field)).load(std::memory_order_acquire);
}
inline uint32_t loadField(const uint32_t& field) {
    return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(field)).load(std::memory_order_acquire);
}
inline void storeField(int32_t& field, int32_t value) {
    std::atomic_ref<int32_t>(field).store(value, std::memory_order_release);
}
inline void storeField(uint32_t& field, uint32_t value) {
    std::atomic_ref<uint32_t>(field).store(value, std::memory_order_release);
}

// A text field, bounded by its size: the writer may not have put its zero yet.
std::string fieldText(const char* field, size_t size);
template <size_t N>
std::string fieldText(const char (&field)[N]) {
    return fieldText(field, N);
}

// Values of a node or database block; indexes outside the block give 0.
int32_t nodeValue(const ControlFileRecord& record, int index);
int32_t databaseValue(const ControlFileRecord& record, int index);

// The counts of a database half, checked before anyone uses them as sizes,
// offsets or indexes. firstSequence/lastSequence: the range this node serves
// (lastSequence -1: none).
struct DatabaseCounts {
    int32_t longestSequence = 0;
    int32_t sequenceCount = 0;
    int32_t longestAccession = 0;
    int32_t firstSequence = 0;
    int32_t lastSequence = -1;
};
// False, with what is wrong in why, when a value is negative or the served
// range lies outside [0, sequenceCount).
bool readDatabaseCounts(const ControlFileRecord& record, DatabaseCounts& counts, std::string& why);

class CControlFileError {
public:
    CControlFileError(int number, int line, const std::string& module, const std::string& path, int subCluster,
                      const std::string& fileRefusal = "")
        : number_(number), line_(line), module_(module), path_(path), subCluster_(subCluster),
          fileRefusal_(fileRefusal) {}

    int getNumber() const { return number_; }
    int getLine() const { return line_; }
    const std::string& getModule() const { return module_; }
    const std::string& getPath() const { return path_; }
    int getSubCluster() const { return subCluster_; }
    // Why the file in place of the control file was refused for what it is
    // (CMmapFile::getFileRefusal); empty when the registration was missing.
    const std::string& getFileRefusal() const { return fileRefusal_; }

private:
    int number_;
    int line_;
    std::string module_;
    std::string path_;
    int subCluster_;
    std::string fileRefusal_;
};

class bv_controlfile {
public:
    bv_controlfile();
    virtual ~bv_controlfile();
    bv_controlfile(const bv_controlfile&) = delete;
    bv_controlfile& operator=(const bv_controlfile&) = delete;

    // The TarvexControlFile of options (null: the process-wide Options).
    // Throws CControlFileError {327, 142, "bv_controlfile", path, 0} when the
    // mapping cannot be viewed.
    void open(const bv_options* options, bool readOnly, bool report);
    // The same on an explicit path.
    void openPath(const std::string& path, bool readOnly, bool report);
    void close();

    // Entry index of name (compared with half 0's name), or -1. With
    // allowEmpty, the first entry with an empty name also matches.
    int findDatabase(const std::string& name, bool allowEmpty) const;
    // Null for an entry outside the file or a half other than 0 and 1.
    ControlFileRecord* getRecord(int entry, int half) const;

    int getEntryCount() const { return count_; }
    const std::string& getPath() const { return path_; }
    bool isOpen() const { return openState_ == 2; }

private:
    int32_t count_ = 0;
    std::string path_;
    CMmapFile mapping_;
    ControlFileRecord* records_ = nullptr;
    int32_t openState_ = 0;
};

}  // namespace brenvik
