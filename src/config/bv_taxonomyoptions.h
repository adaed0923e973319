#pragma once
// One Taxonomy_N section of tarvex.dat: which species, nodes and gencode
// files carry the taxonomy of the databases that name N, the rules that pick
// an accession or a taxonomy ID out of a title line, and a fixed taxonomy ID
// for a whole database. Read by bv_configfile; turned into TAXONOMY_RULES for
// a request. Not thread-safe.
#include <memory>
#include <string>
#include <vector>

#include "config/bv_customproperty.h"
#include "config/bv_parserule.h"

namespace brenvik {

class bv_errs;
class bv_sectionlines;

// A NodesFiles (kind 0) or GencodeFiles (kind 1) entry.
struct bv_taxonomyfile {
    int kind = 0;
    std::string name;
};

// A SpeciesFiles or StrStrFiles entry: source 0 NCBI, 1 SWISSPROT, 2 PDB,
// 3 GI2TAXID, 4 ACC2TAXID.
struct bv_taxonomytypedfile {
    int source = 0;
    std::string name;
};

// A RULE_, DefaultRule or StrStrRule entry: source 0 NCBI, 1 SWISSPROT,
// 2 PDB, 3 GI2TAXID, 4 ACC2TAXID, 5 EXPLICIT; CHOP flags P 1, S 2, W 4.
struct bv_taxonomyrulespec {
    int source = 0;
    bv_parserule rule;
    int chopFlags = 0;
    std::string label;

    std::string getLabel() const { return label; }
};

class bv_taxonomyoptions : public bv_customproperty {
public:
    static constexpr int kMaxNoBreaks = 300;
    static constexpr int kMaxPrefixes = 100;
    static constexpr int kMaxSuffixes = 100;
    static constexpr int kRegexCount = 6;
    // The SWISSPROT expression (regex 1) of a section that names none.
    static constexpr const char* kDefaultSwissProtRegex = "^\\([A-Z0-9]*\\) *[ABEV] *\\([0-9]*\\):";
    // Longest identifier, quoted rule text and quoted value; longest RULE_ label.
    static constexpr std::size_t kMaxText = 127;
    static constexpr std::size_t kMaxLabel = 23;

    bv_taxonomyoptions() { reset(); }
    bv_taxonomyoptions(const bv_taxonomyoptions& other) { copyFrom(other); }
    bv_taxonomyoptions& operator=(const bv_taxonomyoptions& other) {
        if (this != &other) copyFrom(other);
        return *this;
    }

    void reset();
    void copyFrom(const bv_taxonomyoptions& other);

    bool isSectionPresent() const { return sectionPresent_; }
    bool isEnabled() const { return enabled_; }
    const std::string& getIdentifier() const { return identifier_; }
    int getErrorLevel() const { return errorLevel_; }
    bool isFromRefFile() const { return fromRefFile_; }
    bool isConcatRefFileLines() const { return concatRefFileLines_; }
    char getDescriptionLineSep() const { return descriptionLineSep_; }
    bool isMitochondrialTranslation() const { return mitochondrialTranslation_; }
    int taxID() const { return taxId_; }
    std::string getQuickRefSearch() const { return quickRefSearch_; }
    const bv_parserule& getSrcDatabaseRule() const { return srcDatabaseRule_; }
    const bv_parserule& getDoThisRuleFirst() const { return doThisRuleFirst_; }
    const bv_parserule& getAccFromSpeciesLine() const { return accFromSpeciesLine_; }
    const bv_taxonomyrulespec& getDefaultRule() const { return defaultRule_; }
    const bv_taxonomyrulespec& getStrStrRule() const { return strStrRule_; }
    // Regular-expression text of a source kind 0 to 5; empty otherwise.
    std::string getRegex(int i) const;

    int getNumberOfNoBreakDescLineIf() const { return static_cast<int>(noBreaks_.size()); }
    std::string getNoBreakDescLineIf(int i) const { return noBreaks_.at(static_cast<size_t>(i)); }
    int getNumberOfSpeciesFiles() const { return static_cast<int>(speciesFiles_.size()); }
    const bv_taxonomytypedfile& getSpeciesFile(int i) const { return speciesFiles_.at(static_cast<size_t>(i)); }
    int getNumberOfStrStrFiles() const { return static_cast<int>(strStrFiles_.size()); }
    const bv_taxonomytypedfile& getStrStrFile(int i) const { return strStrFiles_.at(static_cast<size_t>(i)); }
    int getNumberOfNodesFiles() const { return static_cast<int>(nodesFiles_.size()); }
    const bv_taxonomyfile& getNodesFile(int i) const { return nodesFiles_.at(static_cast<size_t>(i)); }
    int getNumberOfGencodeFiles() const { return static_cast<int>(gencodeFiles_.size()); }
    const bv_taxonomyfile& getGencodeFile(int i) const { return gencodeFiles_.at(static_cast<size_t>(i)); }
    int getNumberOfRules() const { return static_cast<int>(rules_.size()); }
    const bv_taxonomyrulespec& getRule(int i) const { return rules_.at(static_cast<size_t>(i)); }
    int getNumberOfPrefixRemoves() const { return static_cast<int>(prefixRemoves_.size()); }
    std::string getPrefixRemoves(int i) const { return prefixRemoves_.at(static_cast<size_t>(i)); }
    int getNumberOfSuffixRemoves() const { return static_cast<int>(suffixRemoves_.size()); }
    std::string getSuffixRemoves(int i) const { return suffixRemoves_.at(static_cast<size_t>(i)); }

private:
    friend class bv_configfile;
    friend struct TaxonomySectionReader;
    friend void readTaxonomySection(bv_taxonomyoptions&, bv_sectionlines&, bv_errs&, const std::string&,
                                    const std::string&);

    bool sectionPresent_ = false;
    bool enabled_ = false;
    std::string identifier_;
    int errorLevel_ = 1;
    bool fromRefFile_ = false;
    bool concatRefFileLines_ = true;
    char descriptionLineSep_ = 0;
    std::vector<std::string> noBreaks_;
    std::vector<bv_taxonomytypedfile> speciesFiles_;
    std::vector<bv_taxonomytypedfile> strStrFiles_;
    std::vector<bv_taxonomyfile> nodesFiles_;
    std::vector<bv_taxonomyfile> gencodeFiles_;
    std::vector<bv_taxonomyrulespec> rules_;
    std::vector<std::string> prefixRemoves_;
    std::vector<std::string> suffixRemoves_;
    std::string regex_[kRegexCount];
    bv_parserule srcDatabaseRule_;
    bv_parserule doThisRuleFirst_;
    bv_parserule accFromSpeciesLine_;
    bv_taxonomyrulespec defaultRule_;
    bv_taxonomyrulespec strStrRule_;
    std::string quickRefSearch_;
    int taxId_ = -1;
    bool mitochondrialTranslation_ = false;
};

}  // namespace brenvik
