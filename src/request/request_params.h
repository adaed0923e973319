#pragma once
// The parsed POST request of either tool: database, session, display
// switches, and the requested accessions (with frames) and taxonomy IDs in
// request order, within the limits on their number and size. It also keeps,
// per requested accession, the sequence index where the database scan found
// it, so that answers come in request order after one scan.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct TaxonomyWarning {
    int32_t code = 0;
    std::string text;
    int32_t value = -1;
};

class request_params {
public:
    static constexpr int32_t kMaxItems = 100000;
    static constexpr int32_t kMaxBytes = 10485760;
    static constexpr int kBlockSize = 1024;

    explicit request_params(int toolKind);
    request_params(const request_params&) = delete;
    request_params& operator=(const request_params&) = delete;

    // Room for count more accessions, so that a long list is stored without
    // moving what it already holds (only what is used costs memory).
    void reserveAccessions(size_t count);
    // False when a limit is exceeded (the item is then not stored).
    bool addAccession(std::string_view text, int16_t frame);
    bool addTaxId(int32_t value);
    // Records that the scan found the accession at the sequence index. False
    // once every distinct requested accession has been found.
    bool markAccessionFound(std::string_view text, int32_t sequenceIndex);
    // Requested accessions counted once each.
    int32_t distinctAccessions() const { return distinct_; }
    void reset();

    std::string dbName;
    bool showTitle = false;
    std::string sessionId;
    std::vector<const char*> accessions;
    std::vector<int32_t> foundIndex;
    std::vector<TaxonomyWarning> warnings;  // taxonomy tool: the answer's warnings
    int32_t foundCount = 0;
    bool showSynonyms = false;
    bool showTaxTree = false;
    std::vector<bool> itemKinds;  // taxonomy tool: true = accession, false = taxonomy ID
    std::vector<int32_t> taxIds;
    bool showPI = false;
    bool showLen = false;
    bool showSequence = false;
    bool showReference = false;
    std::vector<int16_t> frames;
    int32_t totalBytes = 0;
    int32_t itemCount = 0;
    int toolKind;

private:
    // One distinct requested accession: its latest position in the request;
    // the earlier positions follow through sameAs_.
    struct Slot {
        uint32_t hash = 0;
        int32_t latest = -1;  // -1: empty slot
        bool found = false;
    };

    bool chargeItem(int32_t bytes);
    const char* store(std::string_view text);
    // The slot that holds text, or the empty slot where it belongs.
    Slot& slotFor(std::string_view text, uint32_t hash);
    void growTable();
    void buildRequestedFilter();

    // Open addressing over the stored copies, kept at most half full: a scan
    // hands over every accession of a large database, and each costs one
    // probe of a flat array, without an allocation per requested item.
    std::vector<Slot> table_;
    std::vector<uint32_t> lengths_;  // per position, of accessions[i]
    std::vector<int32_t> sameAs_;    // per position: the previous position of the same text, or -1
    int32_t distinct_ = 0;

    // One bit per hash value of the requested accessions: most accessions
    // of a scan are turned away by one bit test in a small array instead of
    // a probe of the table.
    std::vector<uint64_t> requestedBits_;
    int32_t requestedFor_ = 0;  // distinct accessions when the bits were set

    std::vector<std::unique_ptr<char[]>> blocks_;
    int32_t blockUsed_ = -1;
};
