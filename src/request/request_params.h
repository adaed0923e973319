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
#include <unordered_map>
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

    // False when a limit is exceeded (the item is then not stored).
    bool addAccession(std::string_view text, int16_t frame);
    bool addTaxId(int32_t value);
    // Records that the scan found the accession at the sequence index. False
    // once every distinct requested accession has been found.
    bool markAccessionFound(std::string_view text, int32_t sequenceIndex);
    void reset();

    std::string dbName;
    bool showTitle = false;
    std::string sessionId;
    std::vector<const char*> accessions;
    std::vector<int32_t> foundIndex;
    std::vector<TaxonomyWarning> warnings;
    // Keyed by the stored copies of the texts; one hash probe per accession
    // record that a scan of a large database hands over.
    std::unordered_map<std::string_view, int32_t> foundMap;
    std::unordered_multimap<std::string_view, int32_t> positions;
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
    bool chargeItem(int32_t bytes);
    const char* store(std::string_view text);
    void buildRequestedFilter();

    // One bit per hash value of the requested accessions: a scan hands over
    // every accession of the database, and most are turned away by one bit
    // test in a small array instead of a probe of the map.
    std::vector<uint64_t> requestedBits_;
    size_t requestedFor_ = 0;  // distinct accessions when the bits were set

    std::vector<std::unique_ptr<char[]>> blocks_;
    int32_t blockUsed_ = -1;
};
