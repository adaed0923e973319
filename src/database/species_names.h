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
    CSpeciesNameTable();
    CSpeciesNameTable(const CSpeciesNameTable&) = delete;
    CSpeciesNameTable& operator=(const CSpeciesNameTable&) = delete;

    void addName(int32_t taxId, const char* name, int32_t nameClass);
    void addName(int32_t taxId, const std::string& name, int32_t nameClass);
    // Binary search over the sorted entries; any one of equal names may be found.
    bool findName(const char* name, int& taxId, int& nameClass) const;
    // Sorts by name; equal names keep their order of addition.
    void sortNames();

    std::vector<SpeciesNameEntry> entries;

private:
    static constexpr size_t blockSize = 64 * 1024;
    std::vector<std::unique_ptr<char[]>> blocks_;
    size_t used_ = 0;
    char* next_ = nullptr;
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

    // Every entry of a taxonomy ID, lists 0 to 5 in order and each list in
    // its (sorted) order. The first ID asked for after a load is found by a
    // scan; a request that asks for another ID builds an index from ID to
    // entries once. The answer stays valid until the lists are loaded again.
    struct NameRef {
        int table;
        const SpeciesNameEntry* entry;
    };
    std::span<const NameRef> namesOf(int taxId);
    // Called by the loader: the tables changed.
    void invalidateIndex();

private:
    void buildIndex();

    bool indexBuilt_ = false;
    bool scanned_ = false;
    int scannedId_ = 0;
    // Sorted by taxonomy ID, list order kept within an ID.
    std::vector<NameRef> index_;
    std::vector<NameRef> scan_;
};

// Names files (kinds 0 to 2) are the files mirrored in name caches.
bool hasNameCache(int kind);
// The name cache of a species file named as configured, beside the file
// (its name and source through the path converter): the loader builds it
// and the report reads it, so both open the same file.
std::unique_ptr<brenvik::bv_cachefile> makeNameCache(const std::string& fileName);

// The SWISSPROT expression a section gives when it names none.
extern const char* const defaultSwissProtRegex;

// Loads the species files into the lists (Part of a request's set-up).
// `regexTexts` holds a section's six expression texts (null: the defaults);
// only index 1, the SWISSPROT expression, is used. `useCaches`: null, or a
// flag that asks for the name caches and reports back whether they can be
// used. True when every file loaded cleanly (at once for no files).
namespace brenvik {
class TAXONOMY_RULES;
}

// The rules' SpeciesFiles and expression texts.
bool loadSpeciesFiles(const brenvik::TAXONOMY_RULES& rules, CSpeciesNameLists& lists, int jobNumber, bool upperCase,
                      bool pad, bool loadGiPairs, std::string& errorText, bool* useCaches);
bool loadSpeciesFiles(const std::vector<SpeciesFileRecord>& speciesFiles, CSpeciesNameLists& lists,
                      const std::string* regexTexts, int jobNumber, bool upperCase, bool pad, bool loadGiPairs,
                      std::string& errorText, bool* useCaches);
