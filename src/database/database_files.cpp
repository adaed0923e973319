#include "database/database_files.h"

#include <algorithm>
#include <cstring>

#include "common/file_utils.h"
#include "config/global_options.h"

namespace brenvik {

namespace {

const char* const kExtensions[DB_FILE_KINDS] = {"i00", "s00", "a00", "t00", "x00", "b00", "stats"};

void storeLe32(unsigned char* b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
}
void storeLe64(unsigned char* b, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
}

int clusterNode() {
    int node = globalCluster().getNodeIndex();
    return node >= 0 && node < kNodeCount ? node : 0;
}

// An index record of the mapped index file, or false when it is not whole.
bool mappedIndexRecord(CMmapFile& index, int64_t sequence, IndexRecord& out) {
    if (sequence < 0) return false;
    const int64_t offset = sequence * kIndexRecordSize;
    if (offset >= index.getSize() || index.getSize() - offset < kIndexRecordSize) return false;
    const void* p = index.getView(offset, kIndexRecordSize);
    if (p == nullptr) return false;
    out = decodeIndexRecord(p);
    return true;
}

}  // namespace

const char* databaseFileExtension(int kind) {
    return kind >= 0 && kind < DB_FILE_KINDS ? kExtensions[kind] : "";
}

IndexRecord decodeIndexRecord(const void* bytes) {
    const unsigned char* b = static_cast<const unsigned char*>(bytes);
    IndexRecord r;
    r.titleOffset = readLe64(b);
    r.referenceOffset = readLe64(b + 8);
    r.sequenceOffset = readLe64(b + 16);
    r.accessionOffset = readLe64(b + 24);
    r.taxIdOffset = readLe32(b + 32);
    r.length = readLe32(b + 36);
    return r;
}

void encodeIndexRecord(const IndexRecord& record, void* bytes) {
    unsigned char* b = static_cast<unsigned char*>(bytes);
    std::memset(b, 0, kIndexRecordSize);
    storeLe64(b, record.titleOffset);
    storeLe64(b + 8, record.referenceOffset);
    storeLe64(b + 16, record.sequenceOffset);
    storeLe64(b + 24, record.accessionOffset);
    storeLe32(b + 32, record.taxIdOffset);
    storeLe32(b + 36, record.length);
}

bool parseAccessionRecord(const char* data, uint64_t size, uint64_t pos, AccessionRecordView& out, uint64_t& next) {
    if (data == nullptr || pos >= size) return false;
    const uint64_t rest = size - pos;
    // Accessions are short: a plain loop finds the end of most before a
    // call to memchr would have started.
    const char* text = data + pos;
    uint64_t n = 0;
    const uint64_t shortRun = std::min<uint64_t>(rest, 32);
    while (n < shortRun && text[n] != '\0') ++n;
    if (n == shortRun) {
        const void* zero = std::memchr(text + n, '\0', static_cast<size_t>(rest - n));
        if (zero == nullptr) return false;
        n = static_cast<uint64_t>(static_cast<const char*>(zero) - text);
    }
    if (rest - n < static_cast<uint64_t>(kAccessionRecordOverhead)) return false;
    out.text = data + pos;
    out.length = static_cast<uint32_t>(n);
    out.flag = static_cast<uint8_t>(data[pos + n + 1]);
    out.sequenceIndex = static_cast<int32_t>(readLe32(data + pos + n + 2));
    next = pos + n + kAccessionRecordOverhead;
    return true;
}

std::string replaceExtension(const char* text, const char* extension) {
    if (text == nullptr) return std::string();
    std::string name(text);
    // Only the last path component has an extension: "../db/nr" must not lose
    // its folder to the dots of "..".
    const size_t slash = name.find_last_of("/\\");
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot >= start) name.erase(dot);
    name += '.';
    name += extension ? extension : "";
    return name;
}

std::string getDatabaseFileName(int kind, const ControlFileRecord* record) {
    if (record == nullptr || kind < 0 || kind >= DB_FILE_KINDS) return std::string();
    if ((kind == DB_FILE_TAXIDS || kind == DB_FILE_TAXINDEX) && databaseValue(*record, kDbTaxonomySection) <= 0)
        return std::string();
    const std::string whole = fieldText(record->compressedFolder) + "/" + fieldText(record->fastaName);
    return replaceExtension(whole.c_str(), kExtensions[kind]);
}

bool mapDatabaseFiles(ControlFileRecord* record, DatabaseFileArray& files, uint32_t flags) {
    if (record == nullptr) return true;
    const int node = clusterNode();
    const bool owner = (flags & MMAP_OWNER) != 0;
    const bool lockWanted = record->lockInMemory != 0;
    if (!owner) {
        if (nodeValue(*record, kNodeMappingsExist) == 0 || nodeValue(*record, kNodeMemoryMapped + node) == 0)
            return false;
    } else {
        storeField(record->database[kDbMappingStatus + node], lockWanted ? 1 : 0);
    }
    const int32_t longest = databaseValue(*record, kDbLongestSequence);
    const uint32_t window = longest > 0 ? static_cast<uint32_t>(longest) : 0;
    bool result = true;
    for (int kind = 0; kind < DB_FILE_KINDS; ++kind) {
        if (kind == DB_FILE_ACCINDEX) continue;
        const std::string name = getDatabaseFileName(kind, record);
        if (name.empty()) continue;
        uint32_t kindFlags = flags;
        if (!owner) {
            // A reader maps the index, sequence and accession files whole
            // too: a request reads its found entries at random offsets, and
            // a moving window would cost a new mapping per entry. An empty
            // file cannot be mapped and keeps the window form.
            if (kind <= DB_FILE_ACCESSION && fileSize(name.c_str()) <= 0) kindFlags |= MMAP_NO_VIEW;
        } else if (!globalCluster().isEnabled() && lockWanted) {
            kindFlags |= MMAP_MAP_AND_LOCK;
        }
        // The taxonomy index and the statistics file serve other programs;
        // their absence must not reach a look-up's page or the mail.
        const bool optional = kind == DB_FILE_TAXINDEX || kind == DB_FILE_STATS;
        int error = 0;
        if (!files[kind].open(name, true, error, kindFlags, window, !optional)) {
            if (!optional) result = false;
            continue;
        }
        if (owner && files[kind].getLockState() == 0)
            storeField(record->database[kDbMappingStatus + node], (kindFlags & MMAP_MAP_AND_LOCK) ? 3 : 0);
    }
    if (owner && (flags & 0x02) != 0 && lockWanted) lockNodeSequencesInMemory(record, files);
    if (loadField(record->database[kDbMappingStatus + node]) == 1)
        storeField(record->database[kDbMappingStatus + node], 2);
    return result;
}

bool lockNodeSequencesInMemory(const ControlFileRecord* record, DatabaseFileArray& files) {
    if (record == nullptr) return false;
    const int32_t first = databaseValue(*record, kDbFirstSequence);
    const int32_t last = databaseValue(*record, kDbLastSequence);
    const int32_t count = databaseValue(*record, kDbSequenceCount);
    IndexRecord f, l;
    if (first < 0 || last < first || !mappedIndexRecord(files[DB_FILE_INDEX], first, f) ||
        !mappedIndexRecord(files[DB_FILE_INDEX], last, l))
        return false;
    bool ok = files[DB_FILE_INDEX].lockRange(static_cast<int64_t>(first) * kIndexRecordSize,
                                             static_cast<uint64_t>(last - first + 1) * kIndexRecordSize);
    const uint64_t sequenceEnd = l.sequenceOffset + l.length + 1;
    if (sequenceEnd > f.sequenceOffset)
        ok = files[DB_FILE_SEQUENCE].lockRange(static_cast<int64_t>(f.sequenceOffset),
                                               sequenceEnd - f.sequenceOffset) && ok;
    else
        ok = false;
    uint64_t accessionEnd = static_cast<uint64_t>(files[DB_FILE_ACCESSION].getSize());
    IndexRecord after;
    if (static_cast<int64_t>(last) + 1 < count && mappedIndexRecord(files[DB_FILE_INDEX], last + 1, after))
        accessionEnd = after.accessionOffset;
    else if (accessionEnd > 0)
        accessionEnd -= 1;
    if (accessionEnd > f.accessionOffset)
        ok = files[DB_FILE_ACCESSION].lockRange(static_cast<int64_t>(f.accessionOffset),
                                                accessionEnd - f.accessionOffset) && ok;
    else
        ok = false;
    CMmapFile& taxIds = files[DB_FILE_TAXIDS];
    if (databaseValue(*record, kDbTaxonomySection) > 0 && taxIds.isOpen() && taxIds.getSize() > 0) {
        const int64_t at = l.taxIdOffset;
        if (at > taxIds.getSize() - 4) return false;
        const void* p = taxIds.getView(at, 4);
        if (p == nullptr) return false;
        const int64_t n = static_cast<int32_t>(readLe32(p));
        const int64_t end = at + 4 + 4 * (n < 0 ? 0 : n);
        if (end <= static_cast<int64_t>(f.taxIdOffset) ||
            !taxIds.lockRange(f.taxIdOffset, static_cast<uint64_t>(end - f.taxIdOffset)))
            return false;
    }
    return ok;
}

void unmapDatabaseFiles(DatabaseFileArray& files, HelperLockDeferral* deferral) {
    for (CMmapFile& file : files) {
        file.setDeferral(deferral);
        file.close();
    }
}

}  // namespace brenvik
