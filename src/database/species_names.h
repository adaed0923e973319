#pragma once
// Species-name lists: the names of taxonomy IDs read from the species files
// of a taxonomy section, one sorted name table per file kind, the
// GI-to-taxonomy-ID pairs and the accession-to-taxonomy-ID indexes. Name
// files (kinds 0 to 2) can be mirrored in a constant-database cache keyed by
// taxonomy ID, so that the names file need not be parsed on every request.
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "database/acc_to_taxid.h"
#include "database/bv_cachefile.h"

// Kinds of species file, by their prefix in a taxonomy section.
enum SpeciesFileKind {
    SPECIES_NCBI = 0,       // "NCBI:" names file
    SPECIES_SWISSPROT = 1,  // "SWISSPROT:" species codes
    SPECIES_PDB = 2,        // "PDB:" name words
    SPECIES_GI2TAXID = 3,   // "GI2TAXID:" pairs
    SPECIES_ACC2TAXID = 4,  // "ACC2TAXID:" pairs, indexed on disk
};

struct SpeciesFileRecord {
    int kind = 0;
    std::string name;
};

// 16 bytes: a names file has millions of them.
struct SpeciesNameEntry {
    const char* name;
    int32_t taxId;
    int32_t nameClass;
};
static_assert(sizeof(SpeciesNameEntry) == 16);

struct GiTaxIdPair {
    int32_t taxId;
    int64_t gi;  // GI numbers pass 2^31 - 1
};

constexpr int speciesNameClassCount = 22;
// The text of a name class, "" outside 0 to 21.
const char* getNameClassText(int nameClass);

// Strict less-than of the names in unsigned byte order.
bool compareSpeciesNames(const SpeciesNameEntry& a, const SpeciesNameEntry& b);

class CSpeciesNameTable {
public:
    CSpeciesNameTable() = default;
    CSpeciesNameTable(const CSpeciesNameTable&) = delete;
    CSpeciesNameTable& operator=(const CSpeciesNameTable&) = delete;

    void addName(int32_t taxId, const char* name, int32_t nameClass);
    void addName(int32_t taxId, const std::string& name, int32_t nameClass);
    // Binary search over the sorted entries; any one of equal names may be found.
    bool findName(const char* name, int& taxId, int& nameClass) const;
    // What findName would answer for an upper-case key on this table loaded
    // in upper case and sorted, computed from the entries in their order of
    // addition (the table must not be sorted): one pass, no second load.
    bool findNameUpperCase(const char* upperKey, int& taxId, int& nameClass) const;
    // Sorts by name; equal names keep their order of addition.
    void sortNames();
    bool isSorted() const { return sorted_; }

    std::vector<SpeciesNameEntry> entries;

private:
    // Names are copied into blocks of 2 MiB (one huge page each where the
    // system gives them), allocated as they fill.
    static constexpr size_t blockSize = 2 * 1024 * 1024;
    struct FreeBlock {
        void operator()(char* block) const;
    };
    std::vector<std::unique_ptr<char, FreeBlock>> blocks_;
    size_t used_ = blockSize;
    char* next_ = nullptr;
    bool sorted_ = true;
};

class CSpeciesNameLists {
public:
    CSpeciesNameLists();
    virtual ~CSpeciesNameLists();
    CSpeciesNameLists(const CSpeciesNameLists&) = delete;
    CSpeciesNameLists& operator=(const CSpeciesNameLists&) = delete;

    static constexpr int tableCount = 6;
    CSpeciesNameTable tables[tableCount];
    std::deque<GiTaxIdPair> pairLists[tableCount];
    std::vector<std::unique_ptr<CAccToTaxidIndex>> accIndexes;
    // False: the loader leaves the tables in file order, for callers that
    // look names up by ID only (or through findNameUpperCase); namesOf gives
    // the same answers either way.
    bool sortTables = true;

    // Every entry of a taxonomy ID, lists 0 to 5 in order and each list in
    // name order (equal names in file order). The first ID asked for after a
    // load is found by a scan; a request that asks for another ID builds an
    // index from ID to entries once. The answer stays valid until the lists
    // are loaded again.
    struct NameRef {
        int table;
        const SpeciesNameEntry* entry;
    };
    std::span<const NameRef> namesOf(int taxId);
    // The first scientific name (class 0) of the ID in lists 0, 1, 2, 4 and
    // 5, or null.
    const char* scientificNameOf(int taxId);
    // The ID's names of lists 0, 1, 2, 4 and 5 in that order: fn(ref) for
    // each; fn returns false to stop.
    template <typename Fn>
    void forEachName(int taxId, Fn fn) {
        const std::span<const NameRef> refs = namesOf(taxId);
        // Refs come in list order, so one pass visits the lists in order.
        for (const NameRef& ref : refs)
            if (ref.table != SPECIES_GI2TAXID && !fn(ref)) return;
    }
    // Called by the loader: the tables changed.
    void invalidateIndex();

private:
    void buildIndex();
    // Puts the names of each ID of an unsorted table into name order.
    void orderWithinIds(std::vector<NameRef>& refs, size_t begin, size_t end) const;

    bool indexBuilt_ = false;
    bool scanned_ = false;
    int scannedId_ = 0;
    // All refs grouped by taxonomy ID (list order kept within an ID). With
    // dense IDs, firstOf_[id - minId_] .. firstOf_[id - minId_ + 1] is the
    // group of an ID; otherwise ids_ (the ID of each ref) is searched.
    std::vector<NameRef> index_;
    std::vector<uint32_t> firstOf_;
    std::vector<int32_t> ids_;
    int64_t minId_ = 0;
    std::vector<NameRef> scan_;
};

// Names files (kinds 0 to 2) are the files mirrored in name caches.
bool hasNameCache(int kind);
// The name cache of a species file named as configured, beside the file
// (its name and source through the path converter): the loader builds it
// and the report reads it, so both open the same file.
std::unique_ptr<brenvik::bv_cachefile> makeNameCache(const std::string& fileName);

namespace brenvik {
class TAXONOMY_RULES;
}

// How loadSpeciesFiles reads the files.
struct SpeciesLoadOptions {
    int jobNumber = -1;
    bool upperCase = false;    // names kept in upper case
    bool pad = false;          // names kept with a space on each side
    bool loadGiPairs = false;  // GI-to-taxonomy-ID files are read too
    // The name caches are asked for: valid ones stand in for their files.
    bool useCaches = false;
    // A section's six expression texts (null: the defaults); only index 1,
    // the SWISSPROT expression, is used.
    const std::string* regexTexts = nullptr;
};

struct SpeciesLoadResult {
    bool clean = true;          // every file loaded cleanly (at once for no files)
    bool cachesUsable = false;  // the caches asked for can be used
};

// Loads the species files into the lists (part of a request's set-up).
SpeciesLoadResult loadSpeciesFiles(const std::vector<SpeciesFileRecord>& speciesFiles, CSpeciesNameLists& lists,
                                   const SpeciesLoadOptions& options, std::string& errorText);
// The rules' SpeciesFiles and expression texts (options.regexTexts is
// taken from the rules).
SpeciesLoadResult loadSpeciesFiles(const brenvik::TAXONOMY_RULES& rules, CSpeciesNameLists& lists,
                                   SpeciesLoadOptions options, std::string& errorText);

// The names of taxonomy IDs for a request that looks names up by ID only:
// read from the name caches when every names file has a usable one (the
// files are then not parsed, and a request costs what it asks), else from
// the files read into memory. Both roads answer alike: an ID's names of
// lists 0, 1, 2, 4 and 5 in that order, each list in name order (equal
// names in file order). GI pairs are not loaded; accession indexes are.
class SpeciesNamesById {
public:
    SpeciesNamesById() : lists_(unsortedLists()) {}

    // loadSpeciesFiles with the caches asked for (stale or missing ones are
    // rebuilt, as it does); when a cache then cannot be opened, every file
    // is read into memory instead. Its result and error text.
    bool load(const std::vector<SpeciesFileRecord>& files, const std::string* regexTexts, int jobNumber,
              std::string& errorText);

    struct Name {
        int table;
        std::string_view name;  // NUL-terminated; valid until the next call
        int32_t nameClass;
    };
    // fn(const Name&) for each name of the ID in the order above; fn
    // returns false to stop.
    template <typename Fn>
    void forEachName(int taxId, Fn fn) {
        if (!usesCaches_) {
            lists_->forEachName(taxId, [&fn](const CSpeciesNameLists::NameRef& ref) {
                return fn(Name{ref.table, ref.entry->name, ref.entry->nameClass});
            });
            return;
        }
        for (const Name& name : gatherFromCaches(taxId))
            if (!fn(name)) return;
    }
    // The first scientific name (class 0) of the ID, or null; valid as
    // long as the object.
    const char* scientificNameOf(int taxId);

    bool usesCaches() const { return usesCaches_; }
    // Cache look-ups by pread (the default: a request names a few IDs) or
    // through the caches' maps (a batch that names thousands).
    void setPositionalReads(bool on) {
        for (auto& cache : caches_) cache.second->setPositionalReads(on);
    }

private:
    struct CachedName {
        int table;
        std::string name;
        int32_t nameClass;
    };
    static std::unique_ptr<CSpeciesNameLists> unsortedLists();
    const std::vector<Name>& gatherFromCaches(int taxId);

    std::unique_ptr<CSpeciesNameLists> lists_;
    bool usesCaches_ = false;
    std::vector<std::pair<int, std::unique_ptr<brenvik::bv_cachefile>>> caches_;
    std::vector<CachedName> cached_;
    std::vector<Name> gathered_;
    // Lineages share their upper steps: each ID's name is read once.
    std::unordered_map<int, std::unique_ptr<std::string>> scientificNames_;
};
