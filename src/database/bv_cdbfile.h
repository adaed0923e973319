#pragma once
// Constant-database files: byte-string keys to byte-string values, written
// once start to finish (bv_cdbmake) and then only read (bv_cdbfile).
//
// Two layouts share the classic hash, probing and record format: version 1
// has 32-bit positions and no footer; version 2 has 64-bit positions and a
// 40-byte footer that describes the layout. The writer always writes
// version 2; the reader tells them apart by the footer.
//
// Reader contract: it maps the whole file read-only once; every position and
// length taken from the file is checked against the mapped size before use,
// so a damaged file gives -1 (errno EPROTO), never a read outside the map.
// With positional reads, look-ups read their few bytes with pread instead of
// touching the map: every page a look-up touches would cost the process up
// to 64 KiB of resident memory (the kernel maps the cached pages around a
// fault), so a request of a few hundred look-ups stays small.
// Neither class is thread-safe; the descriptor belongs to the caller.
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace brenvik {

// The sizes, in bytes, of the pieces of one layout; stored in this order as
// the first 28 bytes of a version-2 footer.
struct CdbLayout {
    uint32_t positionSize = 4;
    uint32_t countSize = 4;
    uint32_t slotSize = 8;
    uint32_t headerSize = 2048;
    uint32_t hashSize = 4;
    uint32_t keyLengthSize = 4;
    uint32_t valueLengthSize = 4;
};

constexpr size_t kCdbFooterSize = 40;
constexpr size_t kCdbRecordHeaderSize = 8;  // key length + value length, both layouts

// Fills the layout with the sizes of version 1 or 2 (anything else: 2).
void setLayout(CdbLayout& layout, int version);
uint32_t cdbHash(const void* bytes, size_t length);
// n-byte little-endian unsigned number (n at most 8; 0 for null bytes).
uint64_t cdbUnpack(const unsigned char* bytes, unsigned n);
void cdbPack(uint64_t number, unsigned char* buffer, unsigned n);

class bv_cdbfile;

// Iteration over every value of one key, in the order they were added.
struct CdbFindState {
    bv_cdbfile* reader = nullptr;
    uint32_t hash = 0;
    uint64_t slotPosition = 0;
    uint64_t tableStart = 0;
    uint64_t tableEnd = 0;
    uint64_t bytesLeft = 0;
    const void* key = nullptr;
    size_t keyLength = 0;
};

class bv_cdbfile {
public:
    bv_cdbfile() = default;
    ~bv_cdbfile();
    bv_cdbfile(const bv_cdbfile&) = delete;
    bv_cdbfile& operator=(const bv_cdbfile&) = delete;

    // 0, or: -2 fstat failed, -3 file shorter than the header (EPROTO),
    // -5 mapping not created, -7 footer present but inconsistent (EPROTO).
    // (-4 and -6 of the Windows design cannot happen with one whole-file map.)
    int init(int fd);

    // 1 found (result fields set), 0 not found, -1 corrupt (errno EPROTO).
    int find(const void* key, size_t length);
    // 1 ready, 0 no table for the key, -1 corrupt.
    static int findFirst(CdbFindState& state, bv_cdbfile* reader, const void* key, size_t length);
    // 1 next value found (reader's result fields set), 0 no more, -1 corrupt.
    static int findNext(CdbFindState& state);

    // 0, or -1 when [position, position + length) is outside the file's data.
    int read(void* buffer, size_t length, uint64_t position);
    // Pointer to length bytes at position, or null (errno EPROTO) when they
    // do not lie inside the file before its footer. With positional reads
    // the bytes are a copy, valid until the next call on the reader.
    const unsigned char* getData(size_t length, uint64_t position);
    // The same bytes in the map, whatever the mode (for walks over the
    // whole file).
    const unsigned char* mappedData(size_t length, uint64_t position);
    // Look-ups (find, findNext, getData) by pread instead of the map; kept
    // across init and close.
    void setPositionalReads(bool on) { positionalReads_ = on; }

    // The whole file stays mapped until closed with the flag; without it this
    // only forgets the last result (there is no separate view to release).
    void close(bool closeMapping);

    uint64_t valuePosition() const { return valuePosition_; }
    uint64_t valueLength() const { return valueLength_; }
    uint64_t keyPosition() const { return keyPosition_; }
    uint64_t keyLength() const { return keyLength_; }
    uint64_t end() const { return end_; }
    uint64_t dataEnd() const { return dataEnd_; }
    const CdbLayout& layout() const { return layout_; }
    bool isOpen() const { return map_ != nullptr; }

private:
    // Checks a header entry's table and returns its bounds; -1 corrupt, 0 no
    // table, 1 ready.
    int tableFor(uint32_t hash, uint64_t& start, uint64_t& slots);
    // Examines the record of a slot whose hash matched: 1 key equal (result
    // fields set), 0 another key, -1 corrupt.
    int matchRecord(uint64_t record, const void* key, size_t length);
    int corrupt();
    // length bytes at a position already checked to lie inside the file:
    // the map, or a copy read into the scratch buffer; null on a read error.
    const unsigned char* bytesAt(uint64_t position, size_t length);

    int fd_ = -1;
    CdbLayout layout_;
    uint64_t end_ = 0;      // file size less the footer
    uint64_t dataEnd_ = 0;  // start of the hash tables
    const unsigned char* map_ = nullptr;
    size_t mapSize_ = 0;
    uint64_t valuePosition_ = 0;
    uint64_t valueLength_ = 0;
    uint64_t keyPosition_ = 0;
    uint64_t keyLength_ = 0;
    bool positionalReads_ = false;
    std::vector<unsigned char> scratch_;
};

// Writer state. Keeps {hash, record position} per record until makeFinish.
struct bv_cdbmake {
    bv_cdbmake();
    int fd = -1;
    CdbLayout layout;
    uint64_t position = 0;  // current file position (records start at the header's end)
    std::vector<unsigned char> buffer;  // 4,096 bytes; at first it stands for offsets 0..4,095
    size_t buffered = 0;
    uint64_t records = 0;
    bool failed = false;  // an add or write failed: nothing more is written, finish fails
    int error = 0;        // errno of that failure, given again by every later call
    std::vector<std::pair<uint32_t, uint64_t>> tables[256];
};

// 0 (the writer is reset to an empty version-2 file at the descriptor).
int makeStart(bv_cdbmake& writer, int fd);
// 0, or -1 with errno: ENOMEM (no room / no memory), EOVERFLOW (a length,
// the record count or a table's slot count would not fit its 4 bytes), or the
// write error. After any failure the writer refuses everything.
int makeAdd(bv_cdbmake& writer, const void* key, size_t keyLength, const void* value, size_t valueLength);
int makeAddWithHash(bv_cdbmake& writer, uint32_t hash, const void* key, size_t keyLength,
                    const void* value, size_t valueLength);
// Makes room for about this many records, so that the writer's tables are
// not copied again and again while millions of records are added. Only a
// hint: any number of records can still be added.
void makeReserve(bv_cdbmake& writer, uint64_t records);
// Writes the tables, the footer and then the header; 0 or -1 (errno set).
// Refuses (-1) after an earlier failure, leaving the header zero so that the
// file holds no findable key.
int makeFinish(bv_cdbmake& writer);

}  // namespace brenvik
