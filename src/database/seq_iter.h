#pragma once
// CSequenceIterator walks the entries of one database (given by its
// control-file record) in index order and reads for each what the flags ask
// for: stored sequence, accession block, FASTA title line, taxonomy IDs,
// reference text, length per reading frame. Mapped mode reads through the
// monitor's shared read-only mappings (when the record marks the database as
// mapped on this node); file mode reads the same files through large
// sequential buffers, so that a scan costs no system call per entry.
//
// The files come from outside: a record that does not fit the bytes that
// exist is "no data" (null sequence, empty block, no IDs) or ends the walk,
// never a read past a buffer or a view. A file that is shorter than the
// bytes read from it (cut short while it was read, or at open shorter than
// its index says) is lost data instead: the read calls that give results
// (readEntry, findAccession, markFoundAccessions) check, after copying what
// they read, that every file still holds it, and say so in their outcome.
// One iterator belongs to one thread; the record and the mappings must stay
// valid until close().
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "database/bv_controlfile.h"
#include "database/database_files.h"
#include "database/random_sequences.h"

namespace brenvik {
struct AccessionRule;
class TAXONOMY_RULES;
}  // namespace brenvik
struct TaxonomyChoice;

enum : uint32_t {
    ITER_SEQUENCE = 0x01,
    ITER_ACCESSIONS = 0x02,
    ITER_TITLE = 0x04,
    ITER_TAXIDS = 0x08,
    ITER_REFERENCE = 0x20,
    ITER_LENGTH = 0x40,
    ITER_PLAIN_COUNTER = 0x80,
};
// Every reading frame of a nucleic-acid database (frame f: bit f - 1).
constexpr uint16_t ITER_ALL_FRAMES = 63;

// Sequence codings: one character per residue plus a zero byte (amino
// acids); four bits per base, two per byte (nucleic acids); two bits per
// base (known only to the length rule and the decoder).
enum : int32_t { CODING_RESIDUES = 1, CODING_FOUR_BIT = 2, CODING_TWO_BIT = 3 };

// What a read call found. Lost: a file of the database no longer holds
// bytes read from it, so what was read may be zeros or missing; M512 has
// been reported for the database (the first time; fatal outside a POST
// request) and nothing read may be shown. Once lost, every later read call
// of the iterator is lost too.
enum class ReadOutcome : uint8_t { Read, Lost };
enum class AccessionSearch : uint8_t { Found, NotFound, Lost };

// The receiver of the accessions that markFoundAccessions reports; the POST
// request implements it. False: every requested accession has been found,
// stop the walk.
class AccessionMarker {
public:
    virtual ~AccessionMarker() = default;
    virtual bool markAccessionFound(std::string_view accession, int32_t sequenceIndex) = 0;
};

// The process-wide selection of sequences (bit i = sequence i), empty (=
// everything selected) unless a taxonomy choice filled it.
struct SequenceSelection {
    std::vector<uint32_t> words;
    uint32_t bitCount = 0;

    bool empty() const { return bitCount == 0; }
    bool test(int64_t i) const {
        return i >= 0 && i < bitCount && (words[static_cast<size_t>(i >> 5)] >> (i & 31) & 1u) != 0;
    }
    void clear() {
        words.clear();
        bitCount = 0;
    }
    void assign(const std::vector<bool>& bits);
};
SequenceSelection& sequenceSelection();

class CSequenceIterator;

// How open sets up the walk. The defaults are the look-up programs': one
// thread, its own counter from -1, every frame, up to the node's last entry.
struct SequenceIteratorOptions {
    // What the walk reads of each entry it passes (and whether its counter
    // is a plain one), fixed until close; readEntry says per call what it
    // reads.
    uint32_t flags = ITER_ACCESSIONS | ITER_PLAIN_COUNTER;
    int nodeIndex = 0;
    int jobNumber = -1;
    // Null: default taxonomy ID 1. The choice is for the server's searches
    // only.
    const brenvik::TAXONOMY_RULES* rules = nullptr;
    const TaxonomyChoice* choice = nullptr;
    bool randomMode = false;
    int32_t randomCount = 0;
    // Another iterator of the same record whose mappings this one uses
    // (itself: this one builds the process-wide selection).
    CSequenceIterator* shareWith = nullptr;
    // Without ITER_PLAIN_COUNTER the counter is shared and advanced
    // atomically, which needs a lock handle.
    void* lockHandle = nullptr;
    // The counter this iterator advances; null: one of its own.
    int32_t* counter = nullptr;
    // Set: the iterator follows *followedIndex instead of advancing a
    // counter.
    bool followsIndex = false;
    const int32_t* followedIndex = nullptr;
    uint16_t frameMask = ITER_ALL_FRAMES;  // 0 means every frame too
    int32_t lastIndex = -1;                // -1: the node's last entry
};

// What readEntry read of one entry: the iterator's own copies of what was
// checked, valid until the iterator moves.
struct SequenceEntry {
    const unsigned char* sequence;  // stored bytes, or null
    uint64_t sequenceBytes;         // bytes that sequence holds
    uint32_t storedLength;          // residues, as in the index record
    int32_t length;                 // residues, or codons for frames 1-6
    const std::string& title;
    const std::string& referenceText;
    const std::vector<int32_t>& taxIds;
    std::string_view accessionBlock;
};

class CSequenceIterator {
public:
    enum Mode : int32_t { MODE_MAPPED = 0, MODE_FILE = 1 };

    CSequenceIterator();
    ~CSequenceIterator();
    CSequenceIterator(const CSequenceIterator&) = delete;
    CSequenceIterator& operator=(const CSequenceIterator&) = delete;

    // Prepares the walk and positions on the first entry of the node's
    // range (entry() stays empty until a readEntry).
    void open(brenvik::ControlFileRecord* record, const SequenceIteratorOptions& options = {});
    bool next(bool advance);
    bool nextFrame();
    // Positions on the entry (index -1: the current one), always reads it
    // again, then its title and reference text, as the ITER_* flags in
    // reads say (the walk's flags stay as open set them). rule may be null
    // (reference text then ends only at "//" or the file end). The sequence
    // and the accession block are copied into the iterator's own buffers,
    // so what it holds stays as checked until it moves.
    [[nodiscard]] ReadOutcome readEntry(int32_t index, int32_t frame, brenvik::AccessionRule* rule,
                                        uint32_t reads);
    // Reads ahead, in file order, the titles of the entries that readEntry
    // will be asked for, in the order it will be asked for them, so that a
    // request for many titles costs a few large reads instead of one read
    // per title. A title asked for out of that order is read where it lies.
    // Holds until the next call, open or close.
    void readTitlesAhead(const std::vector<int32_t>& indexes);
    [[nodiscard]] AccessionSearch findAccession(const std::string& accession);
    // Hands every visible accession to the marker until it says stop; a
    // Lost outcome makes whatever it was told worthless.
    [[nodiscard]] ReadOutcome markFoundAccessions(AccessionMarker& marker);
    void close();

    // What the last readEntry read, when it returned Read and the iterator
    // has not moved since; else an empty entry (no sequence, no text, no
    // IDs), so nothing read from a lost file can be shown.
    SequenceEntry entry() const;
    int32_t currentIndex() const { return currentIndex_; }
    bool isAtEnd() const { return atEnd_ != 0; }
    bool hasTaxonomy() const { return hasTaxonomy_ != 0; }
    bool isSelected() const { return selected_ != 0; }
    Mode mode() const { return static_cast<Mode>(mode_); }
    int32_t frame() const { return frame_; }
    int32_t coding() const { return coding_; }
    const brenvik::DatabaseFileArray* mappedFiles() const { return mapped_.get(); }
    const CRandomSequenceGenerator& generator() const { return generator_; }
    // The walk so far: residues (or codons) in total, entries (or frames)
    // visited, and of those the selected ones.
    int64_t totalLength() const { return totalLength_; }
    int32_t visited() const { return visited_; }
    int32_t selectedCount() const { return selectedCount_; }

    // File mode: one read-only file of the set (and the FASTA file).
    class FileView;

private:
    // next with the read flags given.
    bool step(bool advance, uint32_t reads);
    int32_t getLength(uint32_t reads) const;
    const char* bytesAt(int kind, uint64_t offset, uint64_t count);
    // Bytes up to end of mapped file f of the set were read. (The FASTA
    // file is read with pread only: a cut there is a short read.)
    void noteRead(int f, uint64_t end) {
        if (end > readEnd_[f]) readEnd_[f] = end;
    }
    // Whether every file still holds what was noted since the last check
    // (and no guarded view lost a page); reports the loss at line.
    ReadOutcome checkReads(int line);
    void markLost(int line);
    int descriptorOf(int f) const;
    // The guarded whole-file mapping of file f, or null.
    const char* wholeMapping(int f) const;
    // The last index record fits the files as they are at open.
    bool setFitsIndex();
    void copyEntryBytes();
    int64_t fileBytes(int kind) const;
    bool readIndexRecord(int64_t index, brenvik::IndexRecord& out);
    int32_t effectiveLast();
    // The pieces of the current entry; results only through the checked
    // read calls above.
    void readAccessionBlock();
    void readTaxIds();
    void readSequence();
    void readTitle();
    void readReference(brenvik::AccessionRule* rule);
    bool blockHolds(std::string_view accession) const;
    // Moves to index when it is a valid entry of the walk whose block holds
    // the accession (any entry for an empty accession).
    bool positionOn(int32_t index, std::string_view accession);
    void buildSelection(const TaxonomyChoice* choice, const brenvik::TAXONOMY_RULES* rules);
    void clearEntry();
    // The title line read ahead for the next entry in the order given, when
    // it is the entry at that title offset; or null.
    const std::string_view* titleReadAhead(uint64_t offset);
    void clearTitlesAhead();

    // The current entry; results only through entry().
    const unsigned char* sequence = nullptr;
    uint64_t sequenceBytes = 0;
    uint32_t storedLength = 0;
    int32_t length = 0;
    std::string title;
    std::string referenceText;
    std::vector<int32_t> taxIds;
    const char* accessionBlock_ = nullptr;
    uint64_t accessionBlockLength_ = 0;
    // The last readEntry returned Read and the iterator has not moved since.
    bool entryChecked_ = false;
    int32_t currentIndex_ = -1;
    brenvik::ControlFileRecord* record_ = nullptr;
    uint32_t flags_ = 0;
    int32_t coding_ = CODING_RESIDUES;
    int32_t nucleicAcid_ = 0;
    int64_t totalLength_ = 0;
    int32_t visited_ = 0;
    int32_t selectedCount_ = 0;
    int32_t defaultTaxId_ = 1;
    CRandomSequenceGenerator generator_;
    int32_t longestAccession_ = 0;
    brenvik::IndexRecord current_;
    brenvik::IndexRecord nextRecord_;
    bool hasCurrent_ = false;
    bool hasNext_ = false;
    int64_t nextIndex_ = -1;  // the entry nextRecord_ belongs to
    bool nextMissing_ = false;  // the index ends before the next record
    int32_t frame_ = 0;
    int32_t sequenceCount_ = 0;
    uint8_t selected_ = 1;
    uint8_t hasTaxonomy_ = 0;
    uint8_t taxonomySelection_ = 0;
    uint8_t atEnd_ = 0;
    int32_t mode_ = MODE_FILE;
    int32_t jobNumber_ = -1;
    std::unique_ptr<brenvik::DatabaseFileArray> mapped_;
    std::array<std::unique_ptr<FileView>, brenvik::DB_FILE_KINDS> files_;
    std::vector<unsigned char> sequenceBuffer_;
    bool accessionBufferExists_ = false;
    std::unique_ptr<FileView> fasta_;  // titles, in both modes
    // Titles read ahead, in the order given: (title offset, line); a null
    // line was not read ahead. The lines live in the blocks.
    std::vector<std::pair<uint64_t, std::string_view>> titlesAhead_;
    size_t nextTitleAhead_ = 0;
    std::vector<std::unique_ptr<char[]>> titleBlocks_;
    void* lockHandle_ = nullptr;
    int32_t ownCounterValue_ = -1;
    int32_t* counter_ = nullptr;
    bool ownCounter_ = true;
    const int32_t* followedIndex_ = nullptr;
    int32_t lastIndex_ = -1;
    int16_t firstFrame_ = 1;
    int16_t lastFrame_ = 6;
    uint8_t enabledFrames_[7] = {};
    uint8_t randomMode_ = 0;
    int32_t randomCount_ = 0;
    std::vector<char> randomBuffer_;
    std::vector<char> accessionCopy_;
    std::array<uint64_t, brenvik::DB_FILE_KINDS> readEnd_{};
    unsigned lostBaseline_ = 0;  // mmap_guard::lostViewCount() at open
    // The reference file's size at open (-1: missing or unknown); a reference
    // read that meets the file's end before it was cut meanwhile.
    int64_t referenceSize_ = -1;
    // Where the last entry's reference text starts (-1: unknown): a text
    // that meets the file's end at or before it was cut short.
    int64_t lastReferenceOffset_ = -1;
    bool referenceFellShort_ = false;
    bool lost_ = false;
};

// The accessions of the entry that entry() gives, in block order, flag 3
// included; empty for a null iterator.
void getEntryAccessions(const CSequenceIterator* iterator, std::vector<std::string>& accessions);
