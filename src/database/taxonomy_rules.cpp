#include "database/taxonomy_rules.h"

namespace brenvik {

namespace {
void setRule(AccessionRule& rule, const bv_parserule& from) {
    const std::string text = from.isDefined() ? from.getText() : std::string();
    rule.set(text.c_str());
}
}  // namespace

void TaxonomyRule::load(const bv_taxonomyrulespec& spec) {
    source = spec.source;
    chopFlags = spec.chopFlags;
    label = spec.getLabel().substr(0, kMaxLabel);
    setRule(rule, spec.rule);
}

void TaxonomyRule::clear() {
    source = 0;
    chopFlags = 0;
    label.clear();
    rule.clear();
}

void TAXONOMY_RULES::clear() {
    enabled = 0;
    errorLevel = 1;
    fromRefFile = 0;
    concatRefFileLines = 1;
    descriptionLineSep = 0;
    noBreakDescLineIf.clear();
    srcDatabaseRule.clear();
    doThisRuleFirst.clear();
    accFromSpeciesLine.clear();
    speciesFiles.clear();
    strStrFiles.clear();
    nodesFiles.clear();
    rules.clear();
    defaultRule.clear();
    strStrRule.clear();
    prefixRemoves.clear();
    suffixRemoves.clear();
    for (auto& t : regexTexts) t.clear();
    quickRefSearch.clear();
    gencodeFiles.clear();
    taxId = -1;
    taxIdGiven = false;
    nuclearTranslation = true;
}

void TAXONOMY_RULES::loadFromSection(const bv_taxonomyoptions* source) {
    clear();
    if (source == nullptr) return;
    section.copyFrom(*source);
    const bv_taxonomyoptions& s = *source;
    enabled = s.isEnabled() ? 1 : 0;
    errorLevel = s.getErrorLevel();
    fromRefFile = s.isFromRefFile() ? 1 : 0;
    concatRefFileLines = s.isConcatRefFileLines() ? 1 : 0;
    descriptionLineSep = s.getDescriptionLineSep();
    for (int i = 0; i < s.getNumberOfNoBreakDescLineIf(); ++i) noBreakDescLineIf.push_back(s.getNoBreakDescLineIf(i));
    setRule(srcDatabaseRule, s.getSrcDatabaseRule());
    setRule(doThisRuleFirst, s.getDoThisRuleFirst());
    setRule(accFromSpeciesLine, s.getAccFromSpeciesLine());
    defaultRule.load(s.getDefaultRule());
    strStrRule.load(s.getStrStrRule());
    for (int i = 0; i < s.getNumberOfSpeciesFiles(); ++i) speciesFiles.push_back(s.getSpeciesFile(i));
    for (int i = 0; i < s.getNumberOfStrStrFiles(); ++i) strStrFiles.push_back(s.getStrStrFile(i));
    for (int i = 0; i < s.getNumberOfNodesFiles(); ++i) nodesFiles.push_back(s.getNodesFile(i));
    for (int i = 0; i < s.getNumberOfGencodeFiles(); ++i) gencodeFiles.push_back(s.getGencodeFile(i));
    for (int i = 0; i < s.getNumberOfRules(); ++i) {
        // An entry accepted without an expression keeps its slot, uncompiled,
        // so that the rules stand as the section numbers them.
        rules.emplace_back();
        rules.back().load(s.getRule(i));
    }
    for (int i = 0; i < s.getNumberOfPrefixRemoves(); ++i) prefixRemoves.push_back(s.getPrefixRemoves(i));
    for (int i = 0; i < s.getNumberOfSuffixRemoves(); ++i) suffixRemoves.push_back(s.getSuffixRemoves(i));
    for (int i = 0; i < bv_taxonomyoptions::kRegexCount; ++i) regexTexts[i] = s.getRegex(i);
    quickRefSearch = s.getQuickRefSearch().substr(0, kMaxQuickRefSearch);
    taxId = s.taxID();
    taxIdGiven = s.findProperty("TaxID") >= 0;
    nuclearTranslation = !s.isMitochondrialTranslation();
}

}  // namespace brenvik
