#include "database/seq_iter.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

#include "common/error_reporter.h"
#include "common/file_utils.h"
#include "common/mmapfile.h"
#include "common/mmapfile_guard.h"
#include "common/system_calls.h"
#include "common/text_utils.h"
#include "database/accession.h"
#include "database/bv_cachefile.h"
#include "database/taxonomy_index.h"
#include "database/taxonomy_rules.h"

using namespace brenvik;

namespace {

// Read-ahead of a file-mode file, and the piece of the accession file that a
// mapped scan looks at through one view.
constexpr uint64_t kReadAhead = 1u << 20;
constexpr uint64_t kScanChunk = 16u << 20;
// What a search for an accession in the accession file reads at a time.
constexpr uint64_t kSearchPiece = 64u << 10;
// A title is read as pieces of up to this many bytes.
constexpr uint64_t kTitlePiece = 511;
// Titles read ahead whose offsets lie closer than this share one read: the
// bytes between cost less to copy than a system call.
constexpr uint64_t kTitleGap = 16u << 10;
constexpr size_t kTitleBlock = 1u << 20;
constexpr int kFrameShift[7] = {0, 0, 1, 2, 0, 1, 2};
const char kEmpty[1] = {0};

// Report positions of this module. Those marked "new" are this code's own
// (no earlier version reported there); the others are the established ones.
constexpr const char* kModule = "seq_iter";
constexpr int kLineNotMapped = 379;          // M512: the set's mappings cannot be had
constexpr int kLineShorterThanIndex = 381;   // M512, new: a file ends before the last entry
constexpr int kLineNoLastSequence = 535;     // M344
constexpr int kLineLostInEntry = 1001;       // M512, new: readEntry
constexpr int kLineLostInSearch = 1002;      // M512, new: findAccession
constexpr int kLineLostInMarking = 1003;     // M512, new: markFoundAccessions

}  // namespace

void SequenceSelection::assign(const std::vector<bool>& bits) {
    clear();
    words.assign((bits.size() + 31) / 32, 0);
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i]) words[i >> 5] |= 1u << (i & 31);
    bitCount = static_cast<uint32_t>(bits.size());
}

SequenceSelection& sequenceSelection() {
    static SequenceSelection* selection = new SequenceSelection();
    return *selection;
}

// A read-only file of the set in file mode, or the FASTA file. A file that
// is walked is mapped whole for the request, so that both a scan and the
// random reads of the found entries cost no system call per entry; a file
// that cannot be mapped is read through one read-ahead window instead. A
// file read only at scattered offsets (the titles) is read exactly where
// asked: mapping it would map the pages around every read as well.
class CSequenceIterator::FileView {
public:
    FileView(int fd, bool scatteredReads) : fd_(fd), readAhead_(scatteredReads ? 0 : kReadAhead) {
        struct stat st;
        if (systemCalls().fstat(fd_, &st) == 0 && st.st_size > 0) size_ = st.st_size;
        if (!scatteredReads && size_ > 0 && static_cast<uint64_t>(size_) <= SIZE_MAX) {
            void* p = ::mmap(nullptr, static_cast<size_t>(size_), PROT_READ, MAP_SHARED, fd_, 0);
            // A file cut short meanwhile reads as zeros, and the request
            // ends with a clear error instead of dying of SIGBUS; a mapping
            // the guard cannot cover is read through the window instead.
            if (p != MAP_FAILED && mmap_guard::guardReadOnlyMapping(static_cast<const char*>(p),
                                                                    static_cast<uint64_t>(size_)))
                map_ = static_cast<const char*>(p);
            else if (p != MAP_FAILED)
                ::munmap(p, static_cast<size_t>(size_));
        }
    }
    ~FileView() {
        if (map_ != nullptr) mmap_guard::unguardReadOnlyMapping(map_);
        if (map_ != nullptr) ::munmap(const_cast<char*>(map_), static_cast<size_t>(size_));
        if (fd_ > 2) fileClose(fd_);
    }
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;

    int64_t size() const { return size_; }
    int descriptor() const { return fd_; }
    // Bytes that get returns stay valid until the view is closed.
    bool mapped() const { return map_ != nullptr; }
    const char* mapping() const { return map_; }
    // A read inside the size at open came back short: the file was cut, or
    // could not be read.
    bool readFellShort() const { return shortRead_; }

    // length bytes at offset, valid until the next get; null when they do not
    // all exist in the file or cannot be read.
    const char* get(uint64_t offset, uint64_t length) {
        const uint64_t size = static_cast<uint64_t>(size_);
        if (offset > size || length > size - offset) return nullptr;
        if (length == 0) return kEmpty;
        if (map_ != nullptr) return map_ + offset;
        if (have_ > 0 && offset >= start_ && offset - start_ <= have_ && length <= have_ - (offset - start_))
            return buffer_.data() + (offset - start_);
        const uint64_t want = std::min(std::max(length, readAhead_), size - offset);
        if (buffer_.size() < want) buffer_.resize(static_cast<size_t>(want));
        const uint64_t got = readAt(offset, buffer_.data(), want);
        start_ = offset;
        have_ = got;
        return got >= length ? buffer_.data() : nullptr;
    }

    // Reads up to length bytes at offset into dest; the count read (short
    // at the file end or on an error, which readFellShort then tells when
    // the bytes lay inside the size at open).
    uint64_t readAt(uint64_t offset, char* dest, uint64_t length) {
        uint64_t got = 0;
        while (got < length) {
            const ssize_t n = systemCalls().pread(fd_, dest + got, static_cast<size_t>(length - got),
                                                  static_cast<off_t>(offset + got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<uint64_t>(n);
        }
        const uint64_t size = static_cast<uint64_t>(size_);
        if (got < length && offset + got < size) shortRead_ = true;
        return got;
    }

private:
    int fd_;
    uint64_t readAhead_;
    int64_t size_ = 0;
    const char* map_ = nullptr;
    std::vector<char> buffer_;
    uint64_t start_ = 0;
    uint64_t have_ = 0;
    bool shortRead_ = false;
};

namespace {

// length bytes at offset of a mapped file, or null when they are not all
// inside the file and the view.
const char* mappedBytes(CMmapFile& file, uint64_t offset, uint64_t length) {
    if (!file.isOpen()) return nullptr;
    const uint64_t size = static_cast<uint64_t>(file.getSize());
    if (offset >= size || length > size - offset) return length == 0 && offset <= size ? kEmpty : nullptr;
    return static_cast<const char*>(file.getView(static_cast<int64_t>(offset), length));
}

// Calls visit for every record of the mapped accession file, in file order,
// until it returns false. A record that does not fit ends the walk. The
// end of the bytes looked at.
template <typename Visit>
uint64_t walkMappedAccessions(CMmapFile& file, Visit visit) {
    if (!file.isOpen()) return 0;
    const uint64_t size = static_cast<uint64_t>(file.getSize());
    uint64_t pos = 0;
    while (pos < size) {
        const uint64_t chunk = std::min(kScanChunk, size - pos);
        const char* p = static_cast<const char*>(file.getView(static_cast<int64_t>(pos), chunk));
        if (p == nullptr) return pos;
        uint64_t local = 0, next = 0;
        AccessionRecordView record;
        while (parseAccessionRecord(p, chunk, local, record, next)) {
            if (!visit(record)) return pos + next;
            local = next;
        }
        // The rest of the file does not hold a whole record, or one record is
        // longer than a chunk: either way the file is corrupt from here.
        if (chunk == size - pos || local == 0) return pos + chunk;
        pos += local;
    }
    return size;
}

bool sameAccession(const AccessionRecordView& record, std::string_view accession) {
    return record.flag != kAccessionFlagHidden && record.length == accession.size() &&
           std::memcmp(record.text, accession.data(), accession.size()) == 0;
}

// The mapped accession file read piece by piece into one small buffer:
// touching every page of a large view once costs more than copying it
// (page-table set-up per page). What cannot be read whole comes from the
// view.
class AccessionPieces {
public:
    AccessionPieces(CMmapFile& file, const char* data, uint64_t size)
        : fd_(file.getDescriptor()), data_(data), size_(size), buffer_(new char[kSearchPiece]) {}

    // Where the bytes first occur at or after from, or -1.
    int64_t find(uint64_t from, std::string_view bytes) {
        const uint64_t m = bytes.size();
        if (m == 0 || m > kSearchPiece) return -1;
        for (uint64_t at = from; at < size_ && size_ - at >= m;) {
            const bool whole = read(at);
            const char* piece = whole ? buffer_.get() : data_ + at;
            const uint64_t length = whole ? have_ : size_ - at;
            const char* hit = findBytes(piece, static_cast<size_t>(length), bytes);
            if (hit != nullptr) return static_cast<int64_t>(at + static_cast<uint64_t>(hit - piece));
            if (!whole || at + have_ == size_) return -1;
            at += have_ - (m - 1);  // an occurrence may straddle two pieces
        }
        return -1;
    }

    // The record at pos, under the walk's rule that a record must fit in
    // one scan chunk from its start. Its text lies in the buffer or the
    // view and is valid until the next call.
    bool record(uint64_t pos, AccessionRecordView& r, uint64_t& next) {
        const uint64_t limit = std::min(size_, pos + kScanChunk);
        if (pos >= limit) return false;
        for (int pass = 0; pass < 2; ++pass) {
            if (pos >= start_ && pos - start_ < have_) {
                const uint64_t end = std::min(limit, start_ + have_);
                if (parseAccessionRecord(buffer_.get() + (pos - start_), end - pos, 0, r, next)) {
                    next += pos;
                    return true;
                }
                if (end == limit) return false;  // the buffer held every byte the record may use
            }
            if (pass == 0 && !read(pos)) break;
        }
        // Longer than a piece, or not readable: the view.
        return parseAccessionRecord(data_, limit, pos, r, next);
    }

private:
    // True when the piece at "at" is now in the buffer whole.
    bool read(uint64_t at) {
        const uint64_t want = std::min(kSearchPiece, size_ - at);
        const ssize_t got =
            fd_ >= 0 ? systemCalls().pread(fd_, buffer_.get(), static_cast<size_t>(want), static_cast<off_t>(at)) : -1;
        if (got != static_cast<ssize_t>(want)) {
            have_ = 0;
            return false;
        }
        start_ = at;
        have_ = want;
        return true;
    }

    int fd_;
    const char* data_;
    uint64_t size_;
    std::unique_ptr<char[]> buffer_;
    uint64_t start_ = 0;
    uint64_t have_ = 0;
};

// The first record of the mapped accession file, in file order, that holds
// the accession and passes accept; what a walk of every record would find.
// The bytes "accession\0" open every such record, so a byte search passes
// over the rest of the file, and records are parsed only up to each place
// where those bytes occur, to tell a record's start from the same bytes
// inside another record. Walks as above when the file has no whole view.
// reached: the end of the bytes that decided the answer.
template <typename Accept>
bool findMappedAccession(CMmapFile& file, std::string_view accession, Accept accept, int32_t& index,
                         uint64_t& reached) {
    bool hit = false;
    if (!file.isOpen() || !file.isWholeFileMapped() || accession.size() >= kSearchPiece) {
        reached = walkMappedAccessions(file, [&](const AccessionRecordView& r) {
            hit = accept(r);
            if (hit) index = r.sequenceIndex;
            return !hit;
        });
        return hit;
    }
    const uint64_t size = static_cast<uint64_t>(file.getSize());
    reached = size;
    const char* data = static_cast<const char*>(file.getView(0, size));
    if (data == nullptr) return false;
    std::string needle(accession);
    needle.push_back('\0');
    AccessionPieces pieces(file, data, size);
    // pos: the next record start to parse; from: where the search goes on
    // (never past pos, so no record start is left unsearched).
    uint64_t pos = 0, from = 0;
    for (;;) {
        const int64_t at = pieces.find(from, needle);
        if (at < 0) return false;
        const uint64_t candidate = static_cast<uint64_t>(at);
        while (pos <= candidate) {
            AccessionRecordView r;
            uint64_t next = 0;
            if (!pieces.record(pos, r, next)) return false;
            if (pos == candidate && accept(r)) {
                index = r.sequenceIndex;
                reached = next;
                return true;
            }
            pos = next;
        }
        from = candidate + 1;
    }
}

}  // namespace

CSequenceIterator::CSequenceIterator() = default;

CSequenceIterator::~CSequenceIterator() { close(); }

void CSequenceIterator::clearEntry() {
    hasCurrent_ = false;
    hasNext_ = false;
    sequence = nullptr;
    sequenceBytes = 0;
    storedLength = 0;
    accessionBlock_ = nullptr;
    accessionBlockLength_ = 0;
}

void CSequenceIterator::open(ControlFileRecord* rec, const SequenceIteratorOptions& options) {
    const TAXONOMY_RULES* rules = options.rules;
    const bool randomMode = options.randomMode;
    const int jobNumber = options.jobNumber;
    CSequenceIterator* shareWith = options.shareWith;
    close();
    taxIds.clear();
    taxIds.reserve(3000);
    clearEntry();
    readEnd_.fill(0);
    lostBaseline_ = mmap_guard::lostViewCount();
    lost_ = false;
    referenceSize_ = -1;
    lastReferenceOffset_ = -1;
    referenceFellShort_ = false;
    length = 0;
    currentIndex_ = -1;
    atEnd_ = 0;
    title.clear();
    referenceText.clear();
    totalLength_ = 0;
    visited_ = 0;
    selectedCount_ = 0;
    selected_ = 1;
    hasTaxonomy_ = 0;
    taxonomySelection_ = 0;
    defaultTaxId_ = rules != nullptr && rules->taxIdGiven ? rules->taxId : 1;

    randomMode_ = randomMode ? 1 : 0;
    randomCount_ = options.randomCount;
    if (randomMode) {
        generator_.reset();
        generator_.init(rec, jobNumber);
    }

    accessionBufferExists_ = true;
    fasta_.reset();
    ownCounter_ = !options.followsIndex;
    followedIndex_ = options.followedIndex;
    lastIndex_ = options.lastIndex;
    lockHandle_ = options.lockHandle;
    ownCounterValue_ = -1;
    counter_ = options.counter != nullptr ? options.counter : &ownCounterValue_;
    flags_ = options.flags;
    jobNumber_ = jobNumber;
    record_ = rec;
    longestAccession_ = rec != nullptr ? databaseValue(*rec, kDbLongestAccession) : 0;
    sequenceCount_ = rec != nullptr ? std::max(0, databaseValue(*rec, kDbSequenceCount)) : 0;

    const int node = options.nodeIndex >= 0 && options.nodeIndex < kNodeCount ? options.nodeIndex : 0;
    mode_ = rec == nullptr || nodeValue(*rec, kNodeMemoryMapped + node) == 0 ? MODE_FILE : MODE_MAPPED;
    if (mode_ == MODE_MAPPED) mapped_ = std::make_unique<DatabaseFileArray>();

    taxIds.push_back(defaultTaxId_);

    const uint16_t mask = options.frameMask == 0 ? ITER_ALL_FRAMES : options.frameMask;
    firstFrame_ = 0;
    lastFrame_ = 0;
    for (int f = 1; f <= 6; ++f) {
        enabledFrames_[f - 1] = (mask >> (f - 1) & 1) != 0;
        if (enabledFrames_[f - 1]) {
            if (firstFrame_ == 0) firstFrame_ = static_cast<int16_t>(f);
            lastFrame_ = static_cast<int16_t>(f);
        }
    }
    enabledFrames_[6] = 1;
    if (firstFrame_ == 0) firstFrame_ = lastFrame_ = 1;

    nucleicAcid_ = rec != nullptr ? databaseValue(*rec, kDbSequenceType) : 0;
    if (nucleicAcid_ == 1) {
        frame_ = 1;
        coding_ = CODING_FOUR_BIT;
    } else {
        frame_ = 0;
        coding_ = CODING_RESIDUES;
    }
    const int32_t longest = rec != nullptr ? std::max(0, databaseValue(*rec, kDbLongestSequence)) : 0;
    if (randomMode) randomBuffer_.assign(static_cast<size_t>(longest) + 1, 0);

    if (mode_ == MODE_FILE) {
        // Sized for the longest sequence the record announces, but no more than
        // a start size: the buffer grows with each stored sequence that needs
        // it, so a damaged record cannot make open allocate gigabytes.
        const size_t wanted = coding_ == CODING_FOUR_BIT ? (static_cast<size_t>(longest) + 1) / 2 + 2
                                                        : static_cast<size_t>(longest) + 3;
        sequenceBuffer_.assign(std::min<size_t>(wanted, kReadAhead), 0);
        for (int kind = 0; kind < DB_FILE_KINDS; ++kind) {
            if (kind == DB_FILE_ACCINDEX) continue;
            const std::string name = getDatabaseFileName(kind, rec);
            if (name.empty()) continue;
            int fd;
            if (kind == DB_FILE_TAXINDEX || kind == DB_FILE_STATS) {
                // Files only other programs read: a missing one is no error here.
                char quiet[512];
                fd = fileOpen(name.c_str(), true, quiet, sizeof quiet);
            } else {
                fd = fileOpen(name.c_str(), true);
            }
            if (fd < 0) continue;
            files_[kind] = std::make_unique<FileView>(fd, false);
            if (kind == DB_FILE_TAXIDS && files_[kind]->size() > 0) hasTaxonomy_ = 1;
        }
    } else {
        bool whole = true;
        if (shareWith != nullptr && shareWith != this && shareWith->mapped_) {
            for (int kind = 0; kind < DB_FILE_KINDS; ++kind) (*mapped_)[kind] = (*shareWith->mapped_)[kind];
            whole = !shareWith->lost_;
        } else {
            whole = mapDatabaseFiles(rec, *mapped_, 0);
        }
        // A file of the set that could not be mapped (missing, or its size
        // no longer the registered one) would read as no data. A view
        // clamped at the end of a small index still holds a record.
        if (!whole || mappedBytes((*mapped_)[DB_FILE_INDEX], 0, kIndexRecordSize) == nullptr) {
            markLost(kLineNotMapped);
            atEnd_ = 1;
            return;
        }
        CMmapFile& taxFile = (*mapped_)[DB_FILE_TAXIDS];
        if (taxFile.isOpen() && taxFile.getSize() > 0 && taxFile.getView(0, 4) != nullptr) hasTaxonomy_ = 1;
    }

    if (rec != nullptr) {
        const std::string fasta = fieldText(rec->fastaPath);
        if (!fasta.empty() && fileExists(fasta.c_str())) {
            const int fd = fileOpen(fasta.c_str(), true);
            if (fd >= 0) fasta_ = std::make_unique<FileView>(fd, true);
        }
        // The reference file is opened for each entry read; its size now
        // tells a file shorter than the index says, and a reference cut
        // short from one that ends with the file. A missing file is left to
        // the read, which reports it.
        const std::string reference = fieldText(rec->referencePath);
        if (databaseValue(*rec, kDbHasReference) != 0 && fileExists(reference.c_str()))
            referenceSize_ = fileSize(reference.c_str());
    }
    if (!setFitsIndex()) {
        markLost(kLineShorterThanIndex);
        atEnd_ = 1;
        return;
    }

    taxonomySelection_ = hasTaxonomy_ && (flags_ & ITER_TAXIDS) && options.choice != nullptr;
    if (shareWith == this) {
        if (taxonomySelection_)
            buildSelection(options.choice, rules);
        else
            sequenceSelection().clear();
    }

    if (!next(true)) {
        atEnd_ = 1;
        length = 0;
        totalLength_ = 0;
        visited_ = 0;
    } else {
        length = getLength(flags_);
        if (!taxonomySelection_) totalLength_ = length;
        visited_ = 1;
        if (selected_) ++selectedCount_;
    }
    systemCalls().databaseOpened(rec != nullptr ? fieldText(rec->name).c_str() : "");
}

int CSequenceIterator::descriptorOf(int f) const {
    if (mode_ == MODE_MAPPED) return mapped_ && (*mapped_)[f].isOpen() ? (*mapped_)[f].getDescriptor() : -1;
    return files_[f] ? files_[f]->descriptor() : -1;
}

bool CSequenceIterator::setFitsIndex() {
    if (sequenceCount_ <= 0) return true;
    const uint64_t count = static_cast<uint64_t>(sequenceCount_);
    if (static_cast<uint64_t>(fileBytes(DB_FILE_INDEX)) / kIndexRecordSize < count) return false;
    IndexRecord last;
    if (!readIndexRecord(sequenceCount_ - 1, last)) return false;
    // Each file must reach at least as far as the last entry's part of it;
    // a file that could not be opened was reported and reads as no data.
    if (descriptorOf(DB_FILE_SEQUENCE) >= 0) {
        const uint64_t needed = (coding_ == CODING_FOUR_BIT ? last.length / 2 : last.length) + uint64_t{1};
        const uint64_t size = static_cast<uint64_t>(fileBytes(DB_FILE_SEQUENCE));
        if (last.sequenceOffset > size || needed > size - last.sequenceOffset) return false;
    }
    if (descriptorOf(DB_FILE_ACCESSION) >= 0) {
        // The last block runs to the file end, where its last record ends.
        const uint64_t size = static_cast<uint64_t>(fileBytes(DB_FILE_ACCESSION));
        if (last.accessionOffset > size) return false;
        const uint64_t n = size - last.accessionOffset;
        const char* block = n > 0 ? bytesAt(DB_FILE_ACCESSION, last.accessionOffset, n) : nullptr;
        if (n > 0 && block == nullptr) return false;
        uint64_t pos = 0, next = 0;
        AccessionRecordView r;
        while (pos < n && parseAccessionRecord(block, n, pos, r, next)) pos = next;
        if (pos != n) return false;
    }
    if (descriptorOf(DB_FILE_TAXIDS) >= 0) {
        const uint64_t size = static_cast<uint64_t>(fileBytes(DB_FILE_TAXIDS));
        const uint64_t at = last.taxIdOffset;
        const char* p = at <= size && size - at >= 4 ? bytesAt(DB_FILE_TAXIDS, at, 4) : nullptr;
        if (p == nullptr) return false;
        const int32_t ids = static_cast<int32_t>(readLe32(p));
        if (ids > 0 && static_cast<uint64_t>(ids) > (size - at - 4) / 4) return false;
    }
    if (fasta_ && last.titleOffset >= static_cast<uint64_t>(fasta_->size())) return false;
    if (referenceSize_ >= 0) {
        if (last.referenceOffset >= static_cast<uint64_t>(referenceSize_)) return false;
        lastReferenceOffset_ = static_cast<int64_t>(last.referenceOffset);
    }
    return true;
}

void CSequenceIterator::markLost(int line) {
    if (lost_) return;
    lost_ = true;
    errorReporter.report(512, jobNumber_, line, kModule,
                         record_ != nullptr ? fieldText(record_->name) : std::string());
}

const char* CSequenceIterator::wholeMapping(int f) const {
    if (mode_ == MODE_FILE) return files_[f] ? files_[f]->mapping() : nullptr;
    CMmapFile& file = (*mapped_)[f];
    return file.isOpen() && file.isWholeFileMapped() ? static_cast<const char*>(file.getView(0, 1)) : nullptr;
}

ReadOutcome CSequenceIterator::checkReads(int line) {
    static const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    bool lost = lost_ || referenceFellShort_ || (fasta_ && fasta_->readFellShort());
    for (int f = 0; f < brenvik::DB_FILE_KINDS && !lost; ++f) {
        if (mode_ == MODE_FILE && files_[f] && files_[f]->readFellShort()) lost = true;
        const uint64_t end = readEnd_[f];
        if (end == 0 || lost) continue;
        // The rest of a page past a new end reads as zeros without any
        // fault. A file that no longer holds all the bytes read ends before
        // the page after them, so touching that page faults and the guard
        // counts the loss: no system call per read. Bytes in the last page
        // have no such page: the size tells.
        const char* mapping = wholeMapping(f);
        const uint64_t next = (end + page - 1) / page * page;
        if (mapping != nullptr && next < static_cast<uint64_t>(fileBytes(f))) {
            (void)*static_cast<const volatile char*>(mapping + next);
            continue;
        }
        struct stat st;
        const int fd = descriptorOf(f);
        lost = fd < 0 || systemCalls().fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) < end;
    }
    lost = lost || mmap_guard::lostViewCount() != lostBaseline_;
    readEnd_.fill(0);
    if (!lost) return ReadOutcome::Read;
    markLost(line);
    return ReadOutcome::Lost;
}

void CSequenceIterator::copyEntryBytes() {
    if (sequence != nullptr && sequence != sequenceBuffer_.data()) {
        const size_t n = static_cast<size_t>(sequenceBytes);
        if (sequenceBuffer_.size() < n + 1) sequenceBuffer_.resize(n + 1);
        std::memcpy(sequenceBuffer_.data(), sequence, n);
        sequenceBuffer_[n] = 0;
        sequence = sequenceBuffer_.data();
    }
    if (accessionBlock_ != nullptr && accessionBlockLength_ > 0 && accessionBlock_ != accessionCopy_.data()) {
        accessionCopy_.assign(accessionBlock_, accessionBlock_ + accessionBlockLength_);
        accessionBlock_ = accessionCopy_.data();
    }
}

const char* CSequenceIterator::bytesAt(int kind, uint64_t offset, uint64_t count) {
    // Noted for the check: bytes of a mapping that the file held at open.
    // An offset past them is a damaged record (no data), not a cut; bytes
    // read into a buffer are the file's (a cut makes the read short).
    const uint64_t size = static_cast<uint64_t>(fileBytes(kind));
    if (offset <= size && count <= size - offset && (mode_ == MODE_MAPPED || (files_[kind] && files_[kind]->mapped())))
        noteRead(kind, offset + count);
    if (mode_ == MODE_MAPPED) return mapped_ ? mappedBytes((*mapped_)[kind], offset, count) : nullptr;
    return files_[kind] ? files_[kind]->get(offset, count) : nullptr;
}

int64_t CSequenceIterator::fileBytes(int kind) const {
    if (mode_ == MODE_MAPPED) return mapped_ && (*mapped_)[kind].isOpen() ? (*mapped_)[kind].getSize() : 0;
    return files_[kind] ? files_[kind]->size() : 0;
}

bool CSequenceIterator::readIndexRecord(int64_t index, IndexRecord& out) {
    if (index < 0) return false;
    const char* p = bytesAt(DB_FILE_INDEX, static_cast<uint64_t>(index) * kIndexRecordSize, kIndexRecordSize);
    if (p == nullptr) return false;
    out = decodeIndexRecord(p);
    return true;
}

int32_t CSequenceIterator::effectiveLast() {
    if (lastIndex_ != -1) return lastIndex_;
    const int32_t last = record_ != nullptr ? databaseValue(*record_, kDbLastSequence) : -1;
    if (last == -1)
        errorReporter.report(344, jobNumber_, kLineNoLastSequence, kModule,
                             record_ != nullptr ? fieldText(record_->name) : std::string());
    return last;
}

bool CSequenceIterator::next(bool advance) { return step(advance, flags_); }

bool CSequenceIterator::step(bool advance, uint32_t reads) {
    entryChecked_ = false;
    selected_ = 1;
    int64_t index = currentIndex_;
    if (advance) {
        if (ownCounter_) {
            if ((flags_ & ITER_PLAIN_COUNTER) == 0 && lockHandle_ == nullptr) return false;
            if (*counter_ == INT32_MAX) return false;
            if (flags_ & ITER_PLAIN_COUNTER)
                index = ++*counter_;
            else
                index = std::atomic_ref<int32_t>(*counter_).fetch_add(1) + 1;
        } else {
            if ((flags_ & ITER_PLAIN_COUNTER) == 0 && lockHandle_ == nullptr) return false;
            index = followedIndex_ != nullptr ? *followedIndex_ : -1;
        }
        currentIndex_ = static_cast<int32_t>(index);
    }
    const int32_t last = effectiveLast();
    if (last == -1 || index < 0 || index > last) {
        clearEntry();
        return false;
    }
    const SequenceSelection& selection = sequenceSelection();
    if (!selection.empty() && !selection.test(index)) {
        selected_ = 0;
        clearEntry();
        return true;
    }
    // A walk to the following entry already holds its index record.
    if (hasNext_ && index == nextIndex_) {
        current_ = nextRecord_;
    } else if (!readIndexRecord(index, current_)) {
        clearEntry();
        return false;
    }
    hasCurrent_ = true;
    storedLength = current_.length;
    hasNext_ = index + 1 < sequenceCount_ && readIndexRecord(index + 1, nextRecord_);
    nextIndex_ = index + 1;
    nextMissing_ = index + 1 < sequenceCount_ && !hasNext_;
    if (reads & ITER_TAXIDS) {
        if (fileBytes(DB_FILE_TAXIDS) > 0) {
            hasTaxonomy_ = 1;
            readTaxIds();
        } else if (mode_ == MODE_FILE) {
            hasTaxonomy_ = 0;
        }
    }
    // A mapped block is only a pointer, so mapped mode always sets it; file
    // mode reads it only when asked.
    if ((reads & ITER_ACCESSIONS) || mode_ == MODE_MAPPED)
        readAccessionBlock();
    else
        accessionBlock_ = nullptr, accessionBlockLength_ = 0;
    if (reads & ITER_SEQUENCE)
        readSequence();
    else
        sequence = nullptr, sequenceBytes = 0;
    return true;
}

void CSequenceIterator::readSequence() {
    sequence = nullptr;
    sequenceBytes = 0;
    if (!hasCurrent_) return;
    const uint64_t needed = (coding_ == CODING_FOUR_BIT ? current_.length / 2 : current_.length) + uint64_t{1};
    const char* p = bytesAt(DB_FILE_SEQUENCE, current_.sequenceOffset, needed);
    if (p == nullptr) return;
    // Bytes of a mapping are used where they lie; a read window is reused
    // by the next read, so its bytes are copied.
    if (mode_ == MODE_MAPPED || files_[DB_FILE_SEQUENCE]->mapped()) {
        sequence = reinterpret_cast<const unsigned char*>(p);
    } else {
        if (sequenceBuffer_.size() < needed + 1) sequenceBuffer_.resize(static_cast<size_t>(needed + 1));
        std::memcpy(sequenceBuffer_.data(), p, static_cast<size_t>(needed));
        sequenceBuffer_[static_cast<size_t>(needed)] = 0;
        sequence = sequenceBuffer_.data();
    }
    sequenceBytes = needed;
}

void CSequenceIterator::readAccessionBlock() {
    accessionBlock_ = nullptr;
    accessionBlockLength_ = 0;
    if (!hasCurrent_ || nextMissing_) return;
    const uint64_t size = static_cast<uint64_t>(fileBytes(DB_FILE_ACCESSION));
    const uint64_t start = current_.accessionOffset;
    const uint64_t end = hasNext_ ? nextRecord_.accessionOffset : size;
    // Block lengths are 32-bit; a block outside the file is no data.
    if (start > size || end > size || end < start || end - start > UINT32_MAX) return;
    const char* p = bytesAt(DB_FILE_ACCESSION, start, end - start);
    if (p == nullptr) return;
    accessionBlock_ = p;
    accessionBlockLength_ = end - start;
}

void CSequenceIterator::readTaxIds() {
    if (!hasTaxonomy_) return;
    taxIds.clear();
    if (!hasCurrent_) return;
    const uint64_t at = current_.taxIdOffset;
    const char* p = bytesAt(DB_FILE_TAXIDS, at, 4);
    if (p == nullptr) return;
    const int32_t count = static_cast<int32_t>(readLe32(p));
    const uint64_t size = static_cast<uint64_t>(fileBytes(DB_FILE_TAXIDS));
    if (count <= 0 || static_cast<uint64_t>(count) > (size - at - 4) / 4) return;
    const char* ids = bytesAt(DB_FILE_TAXIDS, at + 4, static_cast<uint64_t>(count) * 4);
    if (ids == nullptr) return;
    for (int32_t i = 0; i < count; ++i) taxIds.push_back(static_cast<int32_t>(readLe32(ids + 4 * i)));
}

int32_t CSequenceIterator::getLength(uint32_t reads) const {
    if ((reads & ITER_LENGTH) == 0 || !hasCurrent_) return 0;
    int64_t stored = current_.length;
    switch (coding_) {
    case CODING_RESIDUES:
        return static_cast<int32_t>(std::min<int64_t>(stored, INT32_MAX));
    case CODING_TWO_BIT:
        stored = stored * 4 + (sequence != nullptr && sequenceBytes > static_cast<uint64_t>(current_.length)
                                   ? (sequence[current_.length] & 3)
                                   : 0);
        [[fallthrough]];
    case CODING_FOUR_BIT: {
        const int d = frame_ >= 0 && frame_ <= 6 ? kFrameShift[frame_] : 0;
        const int64_t codons = stored < d ? 0 : (stored - d) / 3;
        return static_cast<int32_t>(std::min<int64_t>(codons, INT32_MAX));
    }
    default:
        return 0;
    }
}

bool CSequenceIterator::nextFrame() {
    if (frame_ != 0 && frame_ != lastFrame_) {
        int f = frame_ + 1;
        while (f < 7 && !enabledFrames_[f - 1]) ++f;
        frame_ = f;
    } else {
        if (!next(true))
            atEnd_ = 1;
        else if (frame_ == lastFrame_ && (flags_ & ITER_SEQUENCE))
            frame_ = firstFrame_;
    }
    length = getLength(flags_);
    if (atEnd_ || (flags_ & ITER_SEQUENCE) == 0) return !atEnd_;
    ++visited_;
    if (!taxonomySelection_) totalLength_ += length;
    if (selected_) ++selectedCount_;
    return true;
}

ReadOutcome CSequenceIterator::readEntry(int32_t index, int32_t entryFrame, AccessionRule* rule, uint32_t reads) {
    if (lost_) return ReadOutcome::Lost;
    if (index != -1) {
        currentIndex_ = index;
        frame_ = entryFrame;
    }
    // Always read again: the callers ask for more than the look-up read.
    const uint64_t accessionsNoted = readEnd_[DB_FILE_ACCESSION];
    step(false, reads);
    if ((reads & ITER_ACCESSIONS) == 0) {
        // Mapped mode points at every entry's block; one not asked for is
        // neither kept nor checked.
        accessionBlock_ = nullptr;
        accessionBlockLength_ = 0;
        readEnd_[DB_FILE_ACCESSION] = accessionsNoted;
    }
    if (reads & ITER_LENGTH) length = getLength(reads);
    if ((reads & ITER_TITLE) && fasta_ && hasCurrent_) readTitle();
    if ((reads & ITER_REFERENCE) && record_ != nullptr && databaseValue(*record_, kDbHasReference) != 0 && hasCurrent_)
        readReference(rule);
    copyEntryBytes();
    const ReadOutcome outcome = checkReads(kLineLostInEntry);
    entryChecked_ = outcome == ReadOutcome::Read;
    return outcome;
}

SequenceEntry CSequenceIterator::entry() const {
    static const std::string kNoText;
    static const std::vector<int32_t> kNoIds;
    if (!entryChecked_) return {nullptr, 0, 0, 0, kNoText, kNoText, kNoIds, {}};
    return {sequence,      sequenceBytes, storedLength, length,
            title,         referenceText, taxIds,       std::string_view(accessionBlock_, accessionBlockLength_)};
}

namespace {

// Bytes before the first line end in [p, p + n), or n.
uint64_t lineEndIn(const char* p, uint64_t n) {
    uint64_t i = 0;
    while (i < n && p[i] != '\r' && p[i] != '\n') ++i;
    return i;
}

}  // namespace

void CSequenceIterator::clearTitlesAhead() {
    titlesAhead_.clear();
    titlesAhead_.shrink_to_fit();
    nextTitleAhead_ = 0;
    titleBlocks_.clear();
}

void CSequenceIterator::readTitlesAhead(const std::vector<int32_t>& indexes) {
    clearTitlesAhead();
    if (!fasta_) return;
    const uint64_t size = static_cast<uint64_t>(fasta_->size());
    constexpr uint64_t kNone = UINT64_MAX;
    titlesAhead_.assign(indexes.size(), {kNone, std::string_view()});
    // (title offset, place in the order given), read in file order.
    std::vector<std::pair<uint64_t, uint32_t>> wanted;
    wanted.reserve(indexes.size());
    IndexRecord r;
    for (size_t k = 0; k < indexes.size(); ++k) {
        const int32_t index = indexes[k];
        if (index < 0 || index >= sequenceCount_ || !readIndexRecord(index, r)) continue;
        titlesAhead_[k].first = r.titleOffset;
        if (r.titleOffset < size) wanted.emplace_back(r.titleOffset, static_cast<uint32_t>(k));
    }
    std::sort(wanted.begin(), wanted.end());

    std::vector<char> window;
    size_t blockUsed = kTitleBlock;
    std::string_view last;  // the line of the previous offset, kept for repeats
    for (size_t i = 0; i < wanted.size();) {
        const uint64_t start = wanted[i].first;
        size_t j = i + 1;
        while (j < wanted.size() && wanted[j].first - wanted[j - 1].first <= kTitleGap &&
               wanted[j].first - start + kTitlePiece <= kReadAhead)
            ++j;
        const uint64_t want = std::min(wanted[j - 1].first + kTitlePiece, size) - start;
        if (window.size() < want) window.resize(static_cast<size_t>(want));
        const uint64_t got = fasta_->readAt(start, window.data(), want);
        for (; i < j; ++i) {
            const uint64_t offset = wanted[i].first;
            std::string_view& line = titlesAhead_[wanted[i].second].second;
            if (i > 0 && offset == wanted[i - 1].first) {
                line = last;
                continue;
            }
            last = std::string_view();
            // Only a title that readTitle would take from its first piece in
            // one go is kept; any other is read where it lies.
            const uint64_t at = offset - start;
            const uint64_t n = std::min(kTitlePiece, size - offset);
            if (at > got || n > got - at) continue;
            const char* p = window.data() + at;
            const uint64_t lineLength = lineEndIn(p, n);
            if (lineLength == n || lineLength == 0 || p[0] == '#' || p[0] == ';') continue;
            if (blockUsed + lineLength > kTitleBlock) {
                titleBlocks_.emplace_back(new char[kTitleBlock]);
                blockUsed = 0;
            }
            char* copy = titleBlocks_.back().get() + blockUsed;
            std::memcpy(copy, p, static_cast<size_t>(lineLength));
            blockUsed += static_cast<size_t>(lineLength);
            line = last = std::string_view(copy, static_cast<size_t>(lineLength));
        }
    }
}

const std::string_view* CSequenceIterator::titleReadAhead(uint64_t offset) {
    if (nextTitleAhead_ >= titlesAhead_.size() || titlesAhead_[nextTitleAhead_].first != offset) return nullptr;
    const std::string_view* line = &titlesAhead_[nextTitleAhead_++].second;
    return line->data() != nullptr ? line : nullptr;
}

void CSequenceIterator::readTitle() {
    title.clear();
    if (const std::string_view* ahead = titleReadAhead(current_.titleOffset)) {
        title.assign(*ahead);
        return;
    }
    // The line at the title offset, read as pieces of up to kTitlePiece
    // bytes: blank and comment lines are passed over only when they fit the
    // first piece.
    const uint64_t size = static_cast<uint64_t>(fasta_->size());
    uint64_t pos = current_.titleOffset;
    for (;;) {
        if (pos >= size) return;
        const uint64_t n = std::min(kTitlePiece, size - pos);
        const char* p = fasta_->get(pos, n);
        if (p == nullptr) return;
        const uint64_t i = lineEndIn(p, n);
        if (i == n || (i != 0 && p[0] != '#' && p[0] != ';')) break;
        const char* after = p[i] == '\r' && pos + i + 1 < size ? fasta_->get(pos + i + 1, 1) : nullptr;
        pos += i + (after != nullptr && *after == '\n' ? 2 : 1);
    }
    while (pos < size) {
        const uint64_t n = std::min(kTitlePiece, size - pos);
        const char* p = fasta_->get(pos, n);
        if (p == nullptr) return;
        const uint64_t i = lineEndIn(p, n);
        title.append(p, static_cast<size_t>(i));
        if (i < n) return;
        pos += n;
    }
}

void CSequenceIterator::readReference(AccessionRule* rule) {
    referenceText.clear();
    const std::string path = fieldText(record_->referencePath);
    const int fd = fileOpen(path.c_str(), true);
    if (fd < 0) return;
    // A text that starts at or past the end is lost, never an empty one.
    struct stat st;
    if (systemCalls().fstat(fd, &st) != 0 || current_.referenceOffset >= static_cast<uint64_t>(st.st_size) ||
        fileSeek(fd, static_cast<int64_t>(current_.referenceOffset), 0) < 0) {
        referenceFellShort_ = true;
        fileClose(fd);
        return;
    }
    const bool byTitleMark = rule != nullptr && rule->text[0] == '>';
    const bool byAccession = rule != nullptr && !byTitleMark && rule->regex != nullptr;
    bool first = true;
    bool lineWithoutAccession = false;
    bool reachedEnd = false;
    std::string line;
    char piece[4096];
    for (;;) {
        line.clear();
        bool lineEnd = false, endOfFile = false;
        for (;;) {
            const int n = fileReadLine(fd, piece, sizeof piece, lineEnd, false, endOfFile);
            if (n > 0) line.append(piece, static_cast<size_t>(n));
            if (lineEnd || endOfFile || n <= 0) break;
        }
        if (line.empty() && !lineEnd) {  // end of the file
            reachedEnd = true;
            break;
        }
        bool hasAccession = false;
        if (byAccession) {
            char accession[200];
            hasAccession = getAccessionFromLine(line.c_str(), accession, sizeof accession, *rule, false) != nullptr;
        }
        if (!first) {
            if (byTitleMark ? line[0] == '>'
                            : line == "//" || (hasAccession && lineWithoutAccession))
                break;
        }
        if (byAccession && !hasAccession) lineWithoutAccession = true;
        referenceText += line;
        if (lineEnd) referenceText += '\n';
        first = false;
        if (!lineEnd) {
            reachedEnd = true;
            break;
        }
    }
    // The text ends with the file: before the end the file had at open, the
    // file was cut (or could not be read) and the text is shortened; so it
    // is when the end comes before the last entry's text, which only the
    // last text in the file may meet.
    if (reachedEnd) {
        const int64_t end = fileSeek(fd, 0, 1);
        if ((referenceSize_ >= 0 && end < referenceSize_) || end <= lastReferenceOffset_) referenceFellShort_ = true;
    }
    fileClose(fd);
}

bool CSequenceIterator::blockHolds(std::string_view accession) const {
    uint64_t pos = 0, next = 0;
    AccessionRecordView r;
    while (parseAccessionRecord(accessionBlock_, accessionBlockLength_, pos, r, next)) {
        if (sameAccession(r, accession)) return true;
        pos = next;
    }
    return false;
}

bool CSequenceIterator::positionOn(int32_t index, std::string_view accession) {
    const int32_t last = lastIndex_ != -1 ? lastIndex_ : record_ ? databaseValue(*record_, kDbLastSequence) : -1;
    if (index < 0 || index >= sequenceCount_ || index > last) return false;
    currentIndex_ = index;
    if (!next(false) || !selected_) return false;
    if ((flags_ & ITER_ACCESSIONS) == 0) readAccessionBlock();
    return accession.empty() || blockHolds(accession);
}

AccessionSearch CSequenceIterator::findAccession(const std::string& accession) {
    if (lost_) return AccessionSearch::Lost;
    const int32_t savedFrame = frame_;
    frame_ = 0;
    bool found = false;
    const int32_t startIndex = currentIndex_;
    const int32_t startCounter = *counter_;

    const std::string cacheName = getDatabaseFileName(DB_FILE_ACCINDEX, record_);
    if (!cacheName.empty() && fileExists(cacheName.c_str())) {
        bv_cachefile cache(cacheName.c_str(), "1.0", nullptr);
        if (cache.open(true)) {
            bool hit = false;
            const uint32_t value = cache.getInt(accession, hit);
            // A stale cache must never hand out another entry: the hit
            // counts only when that entry really holds the accession.
            if (hit && value <= static_cast<uint32_t>(INT32_MAX))
                found = positionOn(static_cast<int32_t>(value), accession);
            if (!found) {
                currentIndex_ = startIndex;
                *counter_ = startCounter;
                next(false);
            }
        }
    }

    if (!found && mode_ == MODE_MAPPED) {
        int32_t hitIndex = -1;
        uint64_t reached = 0;
        const bool hit = findMappedAccession((*mapped_)[DB_FILE_ACCESSION], accession,
                                             [&](const AccessionRecordView& r) {
                                                 return sameAccession(r, accession) && r.sequenceIndex >= 0 &&
                                                        r.sequenceIndex < sequenceCount_;
                                             },
                                             hitIndex, reached);
        noteRead(DB_FILE_ACCESSION, reached);
        // The search may have moved the accession file's window: read the
        // entry again (the one found, or the one it started on).
        if (hit) currentIndex_ = hitIndex;
        const bool read = next(false);
        found = hit && read;
    } else if (!found) {
        do {
            if (!hasCurrent_ || !selected_) continue;
            if ((flags_ & ITER_ACCESSIONS) == 0) readAccessionBlock();
            if (blockHolds(accession)) {
                found = true;
                break;
            }
        } while (nextFrame());
    }
    frame_ = savedFrame;
    if (checkReads(kLineLostInSearch) == ReadOutcome::Lost) return AccessionSearch::Lost;
    return found ? AccessionSearch::Found : AccessionSearch::NotFound;
}

ReadOutcome CSequenceIterator::markFoundAccessions(AccessionMarker& marker) {
    if (lost_) return ReadOutcome::Lost;
    const int32_t savedFrame = frame_;
    frame_ = 0;
    if (mode_ == MODE_MAPPED) {
        const uint64_t reached = walkMappedAccessions((*mapped_)[DB_FILE_ACCESSION], [&](const AccessionRecordView& r) {
            if (r.flag == kAccessionFlagHidden || r.sequenceIndex < 0 || r.sequenceIndex >= sequenceCount_)
                return true;
            return marker.markAccessionFound(std::string_view(r.text, r.length), r.sequenceIndex);
        });
        noteRead(DB_FILE_ACCESSION, reached);
        next(false);
    } else {
        bool more = true;
        while (more) {
            if (hasCurrent_ && selected_) {
                if ((flags_ & ITER_ACCESSIONS) == 0) readAccessionBlock();
                uint64_t pos = 0, nextPos = 0;
                AccessionRecordView r;
                while (more && parseAccessionRecord(accessionBlock_, accessionBlockLength_, pos, r, nextPos)) {
                    pos = nextPos;
                    if (r.flag == kAccessionFlagHidden) continue;
                    // False: every requested accession is found; the rest of
                    // the database cannot add anything.
                    more = marker.markAccessionFound(std::string_view(r.text, r.length), currentIndex_);
                }
            }
            if (more && !next(true)) {
                atEnd_ = 1;
                more = false;
            }
        }
    }
    frame_ = savedFrame;
    return checkReads(kLineLostInMarking);
}

void CSequenceIterator::close() {
    entryChecked_ = false;
    if (!accessionBufferExists_) return;
    accessionBufferExists_ = false;
    clearEntry();
    sequenceBuffer_.clear();
    sequenceBuffer_.shrink_to_fit();
    randomBuffer_.clear();
    randomCount_ = 0;
    referenceText.clear();
    title.clear();
    clearTitlesAhead();
    for (auto& file : files_) file.reset();
    fasta_.reset();
    accessionCopy_.clear();
    accessionCopy_.shrink_to_fit();
    if (mapped_) {
        unmapDatabaseFiles(*mapped_);
        mapped_.reset();
    }
}

void getEntryAccessions(const CSequenceIterator* iterator, std::vector<std::string>& accessions) {
    accessions.clear();
    if (iterator == nullptr) return;
    uint64_t pos = 0, next = 0;
    AccessionRecordView r;
    const std::string_view block = iterator->entry().accessionBlock;
    while (parseAccessionRecord(block.data(), block.size(), pos, r, next) &&
           r.length > 0) {
        accessions.emplace_back(r.text, r.length);
        pos = next;
    }
}

void CSequenceIterator::buildSelection(const TaxonomyChoice* choice, const TAXONOMY_RULES* rules) {
    SequenceSelection& selection = sequenceSelection();
    selection.clear();
    CTaxonomyIndexFile index(getDatabaseFileName(DB_FILE_TAXIDS, record_), sequenceCount_, 0, jobNumber_,
                             rules != nullptr ? &rules->section : nullptr);
    std::vector<bool> bits;
    if (!index.getBoolVectors(*choice, bits)) return;
    selection.assign(bits);
    uint64_t residues = index.getNumResidues();
    if (nucleicAcid_ == 1) {
        int frames = 0;
        for (int f = 0; f < 6; ++f) frames += enabledFrames_[f];
        residues = residues * static_cast<uint64_t>(frames) / 3;
    }
    totalLength_ = static_cast<int64_t>(std::min<uint64_t>(residues, INT64_MAX));
}
