#pragma once
// Accession rules: a regular expression with exactly one sub-expression that
// cuts the accession (or a description) out of a text line - a FASTA title
// line, a reference-file line or a species line. Rules are POSIX basic
// expressions in the BSD dialect, matched without regard to case, and always
// compiled through the dialect wrapper. Not thread-safe: a compiled rule
// keeps the status of its last match.
#include "config/regex_dialect.h"

#include <regex.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace brenvik {

class bv_parserule;
class bv_configfile;
struct ControlFileRecord;

// One compiled rule text; owned by the AccessionRule that compiled it.
class ParseRuleRegex {
public:
    // full: 10 match slots (the accession is sub-expression 1); else one slot
    // (the whole match).
    explicit ParseRuleRegex(bool full);

    // The library's text for the status of the last match.
    std::string getMatchErrorText() const;

    bool compiled = false;
    bool matched = false;
    std::string text = "uninitexpr";
    int subExpressionCount = 0;
    int compileFlags = REG_ICASE;
    int compileStatus = 0;
    int matchStatus = 0;
    // Never null; may be shared with the configuration rule of the same text.
    std::shared_ptr<const BsdRegex> regex = std::make_shared<const BsdRegex>();
    std::vector<regmatch_t> matches;
};

// A rule text of at most 127 characters and its compiled expression (null
// when the text is empty, not compiled yet, or refused).
struct AccessionRule {
    static constexpr std::size_t kTextSize = 128;

    // Compiles the text; keeps the expression only when it compiled with
    // exactly one sub-expression, else reports 127 or 128.
    void compile();
    // Takes a new rule text (cut to 127 characters), drops any compiled
    // expression and compiles the text when it is not empty.
    void set(const char* ruleText);
    // The same with the text of a configuration rule.
    void set(const bv_parserule& configRule);
    void clear();

    char text[kTextSize] = {};
    std::unique_ptr<ParseRuleRegex> regex;
};

// Cuts the rule's text out of the line into out (at most size - 1
// characters, always terminated). Returns out, or null when nothing was
// extracted: no match (reported as 129 when report is set), a rule without a
// compiled expression (127), a failing match, or a size of 0.
char* getAccessionFromLine(const char* line, char* out, std::size_t size, AccessionRule& rule, bool report);

// Sets the rule to the configuration's PARSE rule that the database's
// control-file entry names; a number the configuration lacks leaves it empty.
void setDatabaseAccessionRule(AccessionRule& rule, bv_configfile& config, const ControlFileRecord& record);

}  // namespace brenvik
