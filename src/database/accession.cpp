#include "database/accession.h"

#include "common/error_reporter.h"
#include "config/bv_configfile.h"
#include "config/bv_parserule.h"
#include "database/bv_controlfile.h"

#include <cstdio>
#include <cstring>

namespace brenvik {

namespace {

// Report positions of this module. Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineNoCompiledRule = 69;  // M127
constexpr int kLineUnparsedLine = 85;  // M129
constexpr int kLineCompileFailed = 125;  // M127
constexpr int kLineSubExpressions = 129;  // M128

// Two rule texts are so common that they are answered without the engine.
constexpr char kWholeLineRule[] = "\\(.*\\)";
constexpr char kSpeciesRule[] = "C;Species .*:\\(.*\\)";
constexpr std::size_t kReportedLineLength = 199;

char* copyCut(const char* from, std::size_t length, char* out, std::size_t size) {
    if (length > size - 1) length = size - 1;
    std::memcpy(out, from, length);
    out[length] = '\0';
    return out;
}

}  // namespace

ParseRuleRegex::ParseRuleRegex(bool full) : matches(full ? 10 : 1) {}

std::string ParseRuleRegex::getMatchErrorText() const { return regex->errorText(matchStatus); }

void AccessionRule::compile() {
    auto record = std::make_unique<ParseRuleRegex>(true);
    record->text = text;
    record->compileFlags = REG_ICASE;
    auto compiled = std::make_shared<BsdRegex>();
    record->compileStatus = compiled->compile(record->text, record->compileFlags);
    record->regex = compiled;
    if (record->compileStatus == 0) {
        record->subExpressionCount = static_cast<int>(record->regex->subExpressions());
        record->compiled = true;
    } else {
        record->subExpressionCount = 0;
    }
    regex.reset();
    if (record->compiled && record->subExpressionCount == 1) {
        regex = std::move(record);
    } else if (record->compiled) {
        errorReporter.report(128, -1, kLineSubExpressions, "accession", record->subExpressionCount, record->text);
    } else {
        errorReporter.report(127, -1, kLineCompileFailed, "accession", record->text,
                             record->regex->errorText(record->compileStatus));
    }
}

void AccessionRule::set(const char* ruleText) {
    clear();
    if (!ruleText) return;
    std::strncpy(text, ruleText, kTextSize - 1);
    text[kTextSize - 1] = '\0';
    if (text[0]) compile();
}

void AccessionRule::set(const bv_parserule& configRule) {
    const std::string ruleText = configRule.getText();
    // A configuration rule already compiled from the same text (same flags,
    // exactly one sub-expression) is taken as it is rather than compiled again.
    std::shared_ptr<const BsdRegex> compiled = configRule.sharedRegex();
    if (!compiled || ruleText.size() >= kTextSize || std::strlen(ruleText.c_str()) != ruleText.size()) {
        set(ruleText.c_str());
        return;
    }
    clear();
    std::memcpy(text, ruleText.c_str(), ruleText.size() + 1);
    auto record = std::make_unique<ParseRuleRegex>(true);
    record->text = text;
    record->compileFlags = REG_ICASE;
    record->compileStatus = 0;
    record->regex = std::move(compiled);
    record->subExpressionCount = 1;
    record->compiled = true;
    regex = std::move(record);
}

void AccessionRule::clear() {
    text[0] = '\0';
    regex.reset();
}

char* getAccessionFromLine(const char* line, char* out, std::size_t size, AccessionRule& rule, bool report) {
    if (!out || size == 0) return nullptr;
    if (!line) line = "";
    if (std::strcmp(rule.text, kWholeLineRule) == 0) return copyCut(line, std::strlen(line), out, size);
    if (std::strcmp(rule.text, kSpeciesRule) == 0) {
        const char* colon = std::strchr(line, ':');
        if (!colon) return nullptr;
        return copyCut(colon + 1, std::strlen(colon + 1), out, size);
    }
    out[0] = '\0';
    ParseRuleRegex* re = rule.regex.get();
    if (!re) {
        errorReporter.report(127, -1, kLineNoCompiledRule, "accession", std::string(rule.text),
                             std::string("See previous error in error log"));
        return nullptr;
    }
    re->matchStatus = re->regex->exec(line, re->matches.size(), re->matches.data(), 0);
    re->matched = re->matchStatus == 0;
    if (re->matchStatus != 0 && re->matchStatus != REG_NOMATCH) {
        // Standard output may be the XML of a POST reply: diagnostics go to stderr.
        std::fprintf(stderr, "regexe: %s\n", re->getMatchErrorText().c_str());
        return nullptr;
    }
    if (re->matched) {
        const regmatch_t& span = re->matches.size() > 1 ? re->matches[1] : re->matches[0];
        // A sub-expression that took no part in the match has no span.
        if (span.rm_so < 0 || span.rm_eo < span.rm_so) return copyCut(line, 0, out, size);
        return copyCut(line + span.rm_so, static_cast<std::size_t>(span.rm_eo - span.rm_so), out, size);
    }
    if (report) {
        std::string head(line, strnlen(line, kReportedLineLength));
        errorReporter.report(129, -1, kLineUnparsedLine, "accession", head, std::string(rule.text));
    }
    return nullptr;
}

void setDatabaseAccessionRule(AccessionRule& rule, bv_configfile& config, const ControlFileRecord& record) {
    rule.clear();
    if (const bv_parserule* parseRule = config.getParseOptions()->getRule(databaseValue(record, kDbParseRule)))
        rule.set(*parseRule);
}

}  // namespace brenvik
