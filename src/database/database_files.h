#pragma once
// The file set of one installed database: the compressed, indexed files that
// the server's database compressor writes beside each other in the
// database's folder, their names, their record layouts, and the mapping of
// the whole set through the monitor service's shared read-only mappings.
// Every number in the files is little-endian. The files come from outside:
// readers bound every offset and length by the bytes that exist.
#include <array>
#include <cstdint>
#include <string>

#include "common/mmapfile.h"
#include "database/bv_controlfile.h"

namespace brenvik {

// File kinds; the number indexes every seven-file array.
enum DatabaseFileKind : int {
    DB_FILE_INDEX = 0,         // "i00": one 48-byte record per sequence
    DB_FILE_SEQUENCE = 1,      // "s00"
    DB_FILE_ACCESSION = 2,     // "a00": accession blocks
    DB_FILE_TAXIDS = 3,        // "t00": taxonomy-ID lists
    DB_FILE_TAXINDEX = 4,      // "x00": taxonomy index (cache file)
    DB_FILE_ACCINDEX = 5,      // "b00": accession index (cache file, never mapped)
    DB_FILE_STATS = 6,         // "stats"
    DB_FILE_KINDS = 7,
};

const char* databaseFileExtension(int kind);

constexpr int64_t kIndexRecordSize = 48;
// Accession record: text, zero byte, flag byte, 32-bit sequence index.
constexpr int64_t kAccessionRecordOverhead = 6;
// Flag of an accession record that look-ups and marking leave out.
constexpr uint8_t kAccessionFlagHidden = 3;

// One record of the index file, decoded.
struct IndexRecord {
    uint64_t titleOffset = 0;      // in the FASTA file
    uint64_t referenceOffset = 0;  // in the reference file
    uint64_t sequenceOffset = 0;   // in the sequence file
    uint64_t accessionOffset = 0;  // in the accession file
    uint32_t taxIdOffset = 0;      // in the taxonomy-ID file
    uint32_t length = 0;           // residues
};
// Decodes 48 bytes.
IndexRecord decodeIndexRecord(const void* bytes);
// Encodes into 48 bytes (reserved fields zero); used by writers of file sets.
void encodeIndexRecord(const IndexRecord& record, void* bytes);

inline uint32_t readLe32(const void* p) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
}
inline uint64_t readLe64(const void* p) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    return static_cast<uint64_t>(readLe32(b)) | static_cast<uint64_t>(readLe32(b + 4)) << 32;
}

// One accession record parsed from a block; text is not zero-terminated
// in the view (length gives its end).
struct AccessionRecordView {
    const char* text = nullptr;
    uint32_t length = 0;
    uint8_t flag = 0;
    int32_t sequenceIndex = 0;
};
// Parses the record at pos of [data, data + size). False when no whole
// record lies there (no zero byte inside the bytes, or fewer than the six
// bytes that follow the text): the block ends, or is corrupt. next := the
// offset of the following record.
bool parseAccessionRecord(const char* data, uint64_t size, uint64_t pos, AccessionRecordView& out, uint64_t& next);

// The text with the extension of its last path component replaced by
// extension ("." + extension appended when it has none); "" for a null text.
std::string replaceExtension(const char* text, const char* extension);
// folder + "/" + FASTA name with the kind's extension; "" without a record,
// and for kinds 3 and 4 when the database has no taxonomy section.
std::string getDatabaseFileName(int kind, const ControlFileRecord* record);

using DatabaseFileArray = std::array<CMmapFile, DB_FILE_KINDS>;

// Maps the set (kind 5 excepted) with the open flags of CMmapFile. True when
// every file that must be there was mapped; the taxonomy index and the
// statistics file, which the look-ups never read, are opened without a
// report and their absence is no failure.
bool mapDatabaseFiles(ControlFileRecord* record, DatabaseFileArray& files, uint32_t flags);
// Owner side: pins this node's ranges of the index, sequence, accession and
// taxonomy-ID files.
bool lockNodeSequencesInMemory(const ControlFileRecord* record, DatabaseFileArray& files);
void unmapDatabaseFiles(DatabaseFileArray& files, HelperLockDeferral* deferral = nullptr);

}  // namespace brenvik
