#pragma once
// Taxonomy choices ("../config/taxonomy": named lists of included and
// excluded taxonomy IDs) and the taxonomy index of a database (".x00", a
// cache file built from its ".t00" taxonomy-ID lists) that holds one bit per
// sequence for every choice. A search restricted to a choice visits only the
// sequences whose bit is set.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/bv_taxonomyoptions.h"
#include "database/taxonomy_tree.h"

struct TaxonomyChoice {
    static constexpr int kMaxIds = 20;
    static constexpr size_t kTitleSize = 128;

    char title[kTitleSize];
    int32_t includeIds[kMaxIds];
    int32_t excludeIds[kMaxIds];
    int32_t includeCount;
    int32_t excludeCount;
    char spare[4];

    // Both include lists and both exclude lists equal in count and order.
    bool sameIds(const TaxonomyChoice& other) const;
};
static_assert(sizeof(TaxonomyChoice) == 300);

struct TaxonomyChoiceTable {
    static constexpr int kMaxChoices = 256;

    int32_t count = 0;
    TaxonomyChoice* choices[kMaxChoices] = {};
};

// Reads the choice file into the table (appending); a missing file leaves it
// as it is. strip: leading " \t>-_|." of titles are dropped.
void readTaxonomyChoices(TaxonomyChoiceTable& table, bool strip, const std::string& path = "../config/taxonomy");
void freeTaxonomyChoices(TaxonomyChoiceTable& table);
// "Inc:1 2_3  4 " for includes 1 2 and excludes 3 4.
std::string makeTaxonomyChoiceKey(const TaxonomyChoice& choice);
// Some ID of the lineage (the ID itself included) is included and none is
// excluded. IDs 0 and 1, or no choice or no nodes: true.
bool isTaxIdSelected(int32_t taxId, const TaxonomyChoice* choice, CTaxonomyNodeSet* nodes);

class CTaxonomyIndexFile {
public:
    CTaxonomyIndexFile(const std::string& t00Path, int32_t numSequences, uint64_t numResidues, int jobNumber,
                       const brenvik::bv_taxonomyoptions* section);
    ~CTaxonomyIndexFile();
    CTaxonomyIndexFile(const CTaxonomyIndexFile&) = delete;
    CTaxonomyIndexFile& operator=(const CTaxonomyIndexFile&) = delete;

    // The choice's bit per sequence: from the index, else by building the
    // index, else computed from ".t00" alone. True when bits is not empty.
    bool getBoolVectors(const TaxonomyChoice& choice, std::vector<bool>& bits);
    // Builds ".x00" for every choice of the choice file; the vector of
    // requested (when given) is copied to bits.
    bool createIndexFile(int* progress, const TaxonomyChoice* requested, std::vector<bool>* bits);
    // One pass over ".t00" for up to 32 choices.
    bool getBoolVectorsFromT00File(int count, const TaxonomyChoice* const* choices,
                                   std::vector<std::vector<bool>>& bits);
    uint64_t getNumResidues();

    std::string t00Path;
    int32_t numSequences;
    int32_t jobNumber;
    std::string version = "1.0";
    std::string x00Path;
    std::string statsPath;
    std::unique_ptr<CTaxonomyNodeSet> nodeSet;
    const brenvik::bv_taxonomyoptions* section;
    uint64_t numResidues;
};
