#pragma once
// The ready-to-use form of one Taxonomy_N section for a request: the rules
// by which a database's taxonomy is found (compiled), the NCBI files that
// carry it and the section's switches. One per request object; not
// thread-safe, not copyable.
#include <string>
#include <vector>

#include "config/bv_taxonomyoptions.h"
#include "database/accession.h"

namespace brenvik {

// One taxonomy rule: source kind 0 to 5, its compiled expression, CHOP flags
// (P 1, S 2, W 4) and the label that followed "RULE_" (at most 11 characters).
struct TaxonomyRule {
    static constexpr std::size_t kMaxLabel = 11;

    void load(const bv_taxonomyrulespec& spec);
    void clear();

    int source = 0;
    AccessionRule rule;
    int chopFlags = 0;
    std::string label;
};

class TAXONOMY_RULES {
public:
    static constexpr std::size_t kMaxQuickRefSearch = 99;

    TAXONOMY_RULES() = default;
    virtual ~TAXONOMY_RULES() = default;
    TAXONOMY_RULES(const TAXONOMY_RULES&) = delete;
    TAXONOMY_RULES& operator=(const TAXONOMY_RULES&) = delete;

    // Clears, then fills every field from the section; a null section leaves
    // the cleared state ("no taxonomy"). Rule texts are compiled here, so a
    // bad expression is reported at load time.
    void loadFromSection(const bv_taxonomyoptions* source);
    void clear();

    bv_taxonomyoptions section;
    int enabled = 0;
    int errorLevel = 1;
    int fromRefFile = 0;
    int concatRefFileLines = 1;
    char descriptionLineSep = 0;
    std::vector<std::string> noBreakDescLineIf;
    AccessionRule srcDatabaseRule;
    AccessionRule doThisRuleFirst;
    AccessionRule accFromSpeciesLine;
    std::vector<bv_taxonomytypedfile> speciesFiles;
    std::vector<bv_taxonomytypedfile> strStrFiles;
    std::vector<bv_taxonomyfile> nodesFiles;
    std::vector<TaxonomyRule> rules;
    TaxonomyRule defaultRule;
    TaxonomyRule strStrRule;
    std::vector<std::string> prefixRemoves;
    std::vector<std::string> suffixRemoves;
    std::string regexTexts[bv_taxonomyoptions::kRegexCount];
    std::string quickRefSearch;
    std::vector<bv_taxonomyfile> gencodeFiles;
    int taxId = -1;
    bool taxIdGiven = false;
    bool nuclearTranslation = true;

    int speciesFileCount() const { return static_cast<int>(speciesFiles.size()); }
    int strStrFileCount() const { return static_cast<int>(strStrFiles.size()); }
    int nodesFileCount() const { return static_cast<int>(nodesFiles.size()); }
    int gencodeFileCount() const { return static_cast<int>(gencodeFiles.size()); }
    int ruleCount() const { return static_cast<int>(rules.size()); }
};

}  // namespace brenvik
