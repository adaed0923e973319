#include "config/bv_parserule.h"

#include <strings.h>

#include <cstdlib>

#include "common/bv_errs.h"
#include "config/bv_sectionlines.h"
#include "pal/number_reader.h"

namespace brenvik {

using namespace sectionsyntax;

namespace {

constexpr int kMsgCompileRule = 1539;
constexpr int kMsgSubExpressions = 1540;
constexpr int kMsgRuleSyntax = 1546;
constexpr int kMsgRuleNumber = 1547;
constexpr int kMsgRuleTwice = 1548;
constexpr int kMsgRuleQuote = 1549;
constexpr int kMsgRuleLength = 1550;

}  // namespace

void bv_parserule::define(const std::string& text) {
    compiled_.reset();
    text_ = text;
    defined_ = true;
}

void bv_parserule::clear() {
    text_.clear();
    compiled_.reset();
    defined_ = false;
}

void bv_parserule::copyFrom(const bv_parserule& other) {
    if (this == &other) return;
    text_ = other.text_;
    compiled_.reset();
    if (other.compiled_) compile(nullptr);
    defined_ = other.defined_;
}

bool bv_parserule::compile(bv_errs* errs) {
    compiled_.reset();
    auto re = std::make_unique<BsdRegex>();
    int rc = re->compile(text_, REG_ICASE);
    if (rc != 0) {
        std::string text = re->errorText(rc);
        if (text.size() > 127) text.resize(127);
        if (errs != nullptr) errs->setError(kMsgCompileRule, text_, text);
        return false;
    }
    if (re->subExpressions() != 1) {
        if (errs != nullptr) errs->setError(kMsgSubExpressions, static_cast<int>(re->subExpressions()), text_);
        return false;
    }
    compiled_ = std::move(re);
    return true;
}

void bv_parseoptions::reset() {
    clear();
    setDefaultSeparator("\t");
    sectionAvailable_ = false;
    for (bv_parserule& r : rules_) r.clear();
}

void bv_parseoptions::readSection(bv_sectionlines& lines, bv_errs& errs, const std::string& fileName,
                                  const std::string& headerComment) {
    sectionAvailable_ = true;
    setHeader(headerComment);
    std::string line;
    while (nextContentLine(lines, *this, line)) readRule(line, errs, fileName);
}

void bv_parseoptions::readRule(const std::string& line, bv_errs& errs, const std::string& fileName) {
    if (strncasecmp(line.c_str(), "RULE_", 5) != 0) {
        errs.setError(kMsgRuleSyntax, fileName, line);
        return;
    }
    const int32_t n = atoiValue(line.c_str() + 5);
    if (n < 0 || n >= kMaxRules) {
        errs.setError(kMsgRuleNumber, fileName, kMaxRules, line);
        return;
    }
    bv_parserule& rule = rules_[n];
    if (rule.isDefined()) {
        errs.setError(kMsgRuleTwice, fileName, static_cast<int>(n), line);
        return;
    }
    std::size_t first = line.find('"');
    std::size_t last = line.rfind('"');
    if (first == std::string::npos || last == first) {
        errs.setError(kMsgRuleQuote, fileName, line);
        return;
    }
    std::string text = line.substr(first + 1, last - first - 1);
    if (text.size() > kMaxRuleText) {
        // The message has always shown 128 as the limit.
        errs.setError(kMsgRuleLength, fileName, 128, line);
        return;
    }
    rule.define(text);
}

}  // namespace brenvik
