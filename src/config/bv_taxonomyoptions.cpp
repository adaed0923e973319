#include "config/bv_taxonomyoptions.h"

#include <strings.h>

#include <cctype>
#include <cstring>

#include "common/bv_errs.h"
#include "config/bv_configfile.h"
#include "config/bv_sectionlines.h"
#include "config/bv_taxonomy_reader.h"
#include "pal/number_reader.h"

namespace brenvik {

using namespace sectionsyntax;

namespace {

constexpr int kMsgInvalidEntry = 1551;
constexpr int kMsgIncompatibleTaxId = 1552;
constexpr int kMsgMaxPrefixes = 1553;
constexpr int kMsgMaxSuffixes = 1554;
constexpr int kMsgMaxNoBreaks = 1555;

struct Prefix {
    const char* text;
    int source;
};

bool isWordSeparator(char c) { return c == ' ' || c == ',' || c == '\t'; }

// The words of a line from a position, split at spaces, commas and TABs.
std::vector<std::string> wordsFrom(const std::string& line, size_t from) {
    std::vector<std::string> words;
    size_t i = std::min(from, line.size());
    while (i < line.size()) {
        while (i < line.size() && isWordSeparator(line[i])) ++i;
        size_t start = i;
        while (i < line.size() && !isWordSeparator(line[i])) ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// "%*s %d" with a preset for a missing number.
int numberOr(const std::string& line, int preset) {
    int32_t v = preset;
    scanIntAfterFirstWord(line.c_str(), v);
    return v;
}

// After the key: blanks skipped, one opening double quote skipped, up to the
// next double quote or line end; at most 127 characters.
std::string quotedValue(const std::string& line, size_t keyLength) {
    size_t i = std::min(keyLength, line.size());
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i < line.size() && line[i] == '"') ++i;
    size_t end = i;
    while (end < line.size() && line[end] != '"' && line[end] != '\n' && line[end] != '\r') ++end;
    return line.substr(i, std::min(end - i, bv_taxonomyoptions::kMaxText));
}

}  // namespace

bool bv_configfile::readQuotedRule(const std::string& line, bv_parserule& rule, bv_errs& errs,
                                   const std::string& fileName) {
    const size_t first = line.find('"');
    const size_t last = line.rfind('"');
    if (first == std::string::npos || last == first) {
        errs.setError(kMsgInvalidEntry, fileName, line);
        return false;
    }
    // A cut expression would compile to another rule, or fail misleadingly.
    if (last - first - 1 > bv_taxonomyoptions::kMaxText) {
        errs.setError(kMsgInvalidEntry, fileName, line);
        return false;
    }
    rule.define(line.substr(first + 1, last - first - 1));
    return true;
}

bool parseTaxonomyRuleSpec(const std::string& line, const char* text, bv_taxonomyrulespec& spec, bv_errs& errs,
                           const std::string& fileName) {
    static constexpr Prefix kSources[] = {{"NCBI", 0},      {"GI2TAXID", 3},  {"SWISSPROT", 1},
                                          {"PDB", 2},       {"ACC2TAXID", 4}, {"EXPLICIT", 5}};
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    bool found = false;
    for (const auto& s : kSources) {
        const size_t n = std::strlen(s.text);
        if (std::strncmp(p, s.text, n) == 0) {
            spec.source = s.source;
            p += n;
            found = true;
            break;
        }
    }
    if (!found) {
        errs.setError(kMsgInvalidEntry, fileName, line);
        return false;
    }
    spec.chopFlags = 0;
    while (*p == ' ' || *p == '\t' || *p == ',') ++p;
    if (std::strncmp(p, "CHOP:", 5) != 0) {
        errs.setError(kMsgInvalidEntry, fileName, line);
        return false;
    }
    p += 5;
    for (; *p && *p != ' '; ++p) {
        switch (std::toupper(static_cast<unsigned char>(*p))) {
            case 'P': spec.chopFlags |= 1; break;
            case 'S': spec.chopFlags |= 2; break;
            case 'W': spec.chopFlags |= 4; break;
            default:
                errs.setError(kMsgInvalidEntry, fileName, line);
                return false;
        }
    }
    const std::string rest(p);
    const size_t first = rest.find('"');
    const size_t last = rest.rfind('"');
    if (first == std::string::npos || last == first) {
        // Accepted without an expression; both texts are named for the administrator.
        errs.setError(kMsgInvalidEntry, fileName, rest);
        errs.setError(kMsgInvalidEntry, fileName, line);
        return true;
    }
    if (last - first - 1 > bv_taxonomyoptions::kMaxText) {
        errs.setError(kMsgInvalidEntry, fileName, line);
        return false;
    }
    spec.rule.define(rest.substr(first + 1, last - first - 1));
    spec.rule.compile(&errs);
    return true;
}

void bv_taxonomyoptions::reset() {
    clear();
    setDefaultSeparator("\t");
    sectionPresent_ = false;
    enabled_ = false;
    identifier_.clear();
    errorLevel_ = 1;
    fromRefFile_ = false;
    concatRefFileLines_ = true;
    descriptionLineSep_ = 0;
    noBreaks_.clear();
    speciesFiles_.clear();
    strStrFiles_.clear();
    nodesFiles_.clear();
    gencodeFiles_.clear();
    rules_.clear();
    prefixRemoves_.clear();
    suffixRemoves_.clear();
    for (auto& r : regex_) r.clear();
    regex_[1] = kDefaultSwissProtRegex;
    srcDatabaseRule_.clear();
    doThisRuleFirst_.clear();
    accFromSpeciesLine_.clear();
    defaultRule_ = bv_taxonomyrulespec();
    strStrRule_ = bv_taxonomyrulespec();
    quickRefSearch_.clear();
    taxId_ = -1;
    mitochondrialTranslation_ = false;
}

void bv_taxonomyoptions::copyFrom(const bv_taxonomyoptions& other) {
    if (this == &other) return;
    bv_customproperty::copyFrom(other);
    sectionPresent_ = other.sectionPresent_;
    enabled_ = other.enabled_;
    identifier_ = other.identifier_;
    errorLevel_ = other.errorLevel_;
    fromRefFile_ = other.fromRefFile_;
    concatRefFileLines_ = other.concatRefFileLines_;
    descriptionLineSep_ = other.descriptionLineSep_;
    noBreaks_ = other.noBreaks_;
    speciesFiles_ = other.speciesFiles_;
    strStrFiles_ = other.strStrFiles_;
    nodesFiles_ = other.nodesFiles_;
    gencodeFiles_ = other.gencodeFiles_;
    rules_ = other.rules_;  // bv_parserule copies compile again
    prefixRemoves_ = other.prefixRemoves_;
    suffixRemoves_ = other.suffixRemoves_;
    for (int i = 0; i < kRegexCount; ++i) regex_[i] = other.regex_[i];
    srcDatabaseRule_ = other.srcDatabaseRule_;
    doThisRuleFirst_ = other.doThisRuleFirst_;
    accFromSpeciesLine_ = other.accFromSpeciesLine_;
    defaultRule_ = other.defaultRule_;
    strStrRule_ = other.strStrRule_;
    quickRefSearch_ = other.quickRefSearch_;
    taxId_ = other.taxId_;
    mitochondrialTranslation_ = other.mitochondrialTranslation_;
}

std::string bv_taxonomyoptions::getRegex(int i) const {
    return i >= 0 && i < kRegexCount ? regex_[i] : std::string();
}

// Reads one section's lines (after its header) up to its end line.
struct TaxonomySectionReader {
    bv_taxonomyoptions& t;
    bv_errs& errs;
    const std::string& fileName;
    bool taxIdMet = false;
    std::string firstIncompatible;

    void incompatible(const std::string& line) {
        if (firstIncompatible.empty()) firstIncompatible = line;
    }
    void invalid(const std::string& line) { errs.setError(kMsgInvalidEntry, fileName, line); }

    template <typename Add>
    void files(const std::string& line, size_t keyLength, const std::vector<Prefix>& prefixes, Add add) {
        for (const std::string& word : wordsFrom(line, keyLength)) {
            bool matched = false;
            for (const auto& p : prefixes) {
                const size_t n = std::strlen(p.text);
                if (word.size() >= n && strncasecmp(word.c_str(), p.text, n) == 0) {
                    add(p.source, word.substr(n));
                    matched = true;
                    break;
                }
            }
            if (!matched) {
                invalid(line);
                return;
            }
        }
    }

    void texts(const std::string& line, size_t keyLength, std::vector<std::string>& list, int max, int message,
               bool spaceAfter, bool spaceBefore) {
        for (const std::string& word : wordsFrom(line, keyLength + 1)) {
            if (static_cast<int>(list.size()) >= max) {
                errs.setError(message, fileName, max);
                return;
            }
            std::string text = upper(word);
            if (spaceAfter) text += ' ';
            if (spaceBefore) text.insert(text.begin(), ' ');
            list.push_back(std::move(text));
        }
    }

    void rule(const std::string& line, bv_parserule& r) {
        incompatible(line);
        if (bv_configfile::readQuotedRule(line, r, errs, fileName)) r.compile(&errs);
    }

    void line(const std::string& l) {
        const char* s = l.c_str();
        auto is = [&](const char* key) { return startsWithNoCase(l, key); };
        if (is("Enabled")) {
            t.enabled_ = numberOr(l, 0) == 1;
        } else if (is("Identifier")) {
            size_t i = std::strlen("Identifier");
            while (i < l.size() && (l[i] == ' ' || l[i] == '\t')) ++i;
            t.identifier_ = l.substr(i, bv_taxonomyoptions::kMaxText);
        } else if (is("ErrorLevel")) {
            int32_t v = t.errorLevel_;
            scanIntAfterFirstWord(s, v);
            if (v < 0) {
                v = 1;
                invalid(l);
            }
            t.errorLevel_ = v;
        } else if (is("FromRefFile")) {
            t.fromRefFile_ = numberOr(l, 0) == 1;
            if (t.fromRefFile_) incompatible(l);
        } else if (is("ConcatRefFileLines")) {
            t.concatRefFileLines_ = numberOr(l, 1) == 1;
        } else if (is("DescriptionLineSep")) {
            int v = numberOr(l, 0);
            if (v < 0) {
                v = 0;
                invalid(l);
            }
            t.descriptionLineSep_ = static_cast<char>(v & 0xFF);
        } else if (is("GencodeFiles")) {
            files(l, 12, {{"NCBI:", 0}}, [&](int, std::string name) { t.gencodeFiles_.push_back({1, name}); });
        } else if (is("TaxID")) {
            int32_t v = t.taxId_;
            scanIntAfterFirstWord(s, v);
            t.taxId_ = v;
            taxIdMet = true;
        } else if (is("MitochondrialTranslation")) {
            t.mitochondrialTranslation_ = numberOr(l, 0) == 1;
        } else if (is("SrcDatabaseRule")) {
            rule(l, t.srcDatabaseRule_);
        } else if (is("DoThisRuleFirst")) {
            rule(l, t.doThisRuleFirst_);
        } else if (is("AccFromSpeciesLine")) {
            rule(l, t.accFromSpeciesLine_);
        } else if (is("SpeciesFiles")) {
            files(l, 12, {{"NCBI:", 0}, {"GI2TAXID:", 3}, {"SWISSPROT:", 1}, {"PDB:", 2}, {"ACC2TAXID:", 4}},
                  [&](int source, std::string name) { t.speciesFiles_.push_back({source, name}); });
        } else if (is("StrStrFiles")) {
            incompatible(l);
            files(l, 11, {{"NCBI:", 0}, {"SWISSPROT:", 1}, {"PDB:", 2}},
                  [&](int source, std::string name) { t.strStrFiles_.push_back({source, name}); });
        } else if (is("NodesFiles")) {
            files(l, 10, {{"NCBI:", 0}}, [&](int, std::string name) { t.nodesFiles_.push_back({0, name}); });
        } else if (is("RULE_")) {
            size_t end = 5;
            while (end < l.size() && l[end] != ' ' && l[end] != '\t') ++end;
            bv_taxonomyrulespec spec;
            spec.label = l.substr(5, std::min(end - 5, bv_taxonomyoptions::kMaxLabel));
            if (parseTaxonomyRuleSpec(l, s + end, spec, errs, fileName)) t.rules_.push_back(std::move(spec));
        } else if (is("DefaultRule")) {
            incompatible(l);
            parseTaxonomyRuleSpec(l, s + 11, t.defaultRule_, errs, fileName);
        } else if (is("StrStrRule")) {
            incompatible(l);
            parseTaxonomyRuleSpec(l, s + 10, t.strStrRule_, errs, fileName);
        } else if (is("NoBreakDescLineIf")) {
            incompatible(l);
            texts(l, 17, t.noBreaks_, bv_taxonomyoptions::kMaxNoBreaks, kMsgMaxNoBreaks, false, false);
        } else if (is("PrefixRemoves")) {
            incompatible(l);
            texts(l, 13, t.prefixRemoves_, bv_taxonomyoptions::kMaxPrefixes, kMsgMaxPrefixes, true, false);
        } else if (is("SuffixRemoves")) {
            incompatible(l);
            texts(l, 13, t.suffixRemoves_, bv_taxonomyoptions::kMaxSuffixes, kMsgMaxSuffixes, false, true);
        } else if (is("QuickRefSearch")) {
            incompatible(l);
            t.quickRefSearch_ = quotedValue(l, 14);
        } else {
            static constexpr const char* kRegexKeys[] = {"NCBIRegex",      "SWISSPROTRegex", "PDBRegex",
                                                         "GI2TAXIDRegex", "ACC2TAXIDRegex", "EXPLICITRegex"};
            for (int i = 0; i < bv_taxonomyoptions::kRegexCount; ++i) {
                if (is(kRegexKeys[i])) {
                    incompatible(l);
                    t.regex_[i] = quotedValue(l, std::strlen(kRegexKeys[i]));
                    return;
                }
            }
        }
    }
};

void readTaxonomySection(bv_taxonomyoptions& section, bv_sectionlines& lines, bv_errs& errs,
                         const std::string& fileName, const std::string& headerComment) {
    section.sectionPresent_ = true;
    section.setHeader(headerComment);
    TaxonomySectionReader reader{section, errs, fileName, false, std::string()};
    std::string line;
    while (lines.nextLine(line)) {
        if (isSectionEndLine(line)) break;
        section.addRawLine(line);
        if ((!line.empty() && line[0] == '#') || isBlankLine(line)) continue;
        trimTrailingBlanks(line);
        reader.line(line);
    }
    if (reader.taxIdMet && !reader.firstIncompatible.empty())
        errs.setError(kMsgIncompatibleTaxId, fileName, reader.firstIncompatible);
}

}  // namespace brenvik
