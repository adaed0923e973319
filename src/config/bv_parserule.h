#pragma once
// The PARSE section: up to 256 numbered rules, each a regular expression with
// exactly one parenthesised sub-expression that picks an accession, a
// description or an accession reference out of a FASTA title line. The
// reader stores the texts; a rule is compiled (case-insensitively, through
// the BSD dialect wrapper) when it is first needed. Not thread-safe.
#include <memory>
#include <string>

#include "config/bv_customproperty.h"
#include "config/regex_dialect.h"

namespace brenvik {

class bv_errs;
class bv_sectionlines;

class bv_parserule {
public:
    bv_parserule() = default;
    bv_parserule(const bv_parserule& other) { copyFrom(other); }
    bv_parserule& operator=(const bv_parserule& other) {
        if (this != &other) copyFrom(other);
        return *this;
    }

    // Compiles the text; on failure records 1539 or 1540 on errs (when given).
    bool compile(bv_errs* errs);
    void clear();
    void copyFrom(const bv_parserule& other);
    void define(const std::string& text);

    bool isDefined() const { return defined_; }
    bool isCompiled() const { return compiled_ != nullptr; }
    std::string getText() const { return text_; }
    // The compiled expression, or null while the rule is not compiled.
    const regex_t* getCompiled() const { return compiled_ ? compiled_->raw() : nullptr; }
    const BsdRegex* getRegex() const { return compiled_.get(); }
    // The compiled expression for holders that keep it beyond this rule.
    std::shared_ptr<const BsdRegex> sharedRegex() const { return compiled_; }

private:
    bool defined_ = false;
    std::string text_;
    // Shared with the accession rules taken from this rule.
    std::shared_ptr<const BsdRegex> compiled_;
};

class bv_parseoptions : public bv_customproperty {
public:
    static constexpr int kMaxRules = 256;
    // Longest rule text; a longer one is refused with 1550.
    static constexpr std::size_t kMaxRuleText = 126;

    bv_parseoptions() { reset(); }

    int getMaxRules() const { return kMaxRules; }
    bv_parserule* getRule(int n) { return n >= 0 && n < kMaxRules ? &rules_[n] : nullptr; }
    const bv_parserule* getRule(int n) const { return n >= 0 && n < kMaxRules ? &rules_[n] : nullptr; }
    void reset();

    // Reads the section's lines up to its end line; problems are warnings on
    // errs that name fileName and the line.
    void readSection(bv_sectionlines& lines, bv_errs& errs, const std::string& fileName,
                     const std::string& headerComment);

    bool isSectionAvailable() const { return sectionAvailable_; }
    void setSectionAvailable(bool on) { sectionAvailable_ = on; }

private:
    void readRule(const std::string& line, bv_errs& errs, const std::string& fileName);

    bool sectionAvailable_ = false;
    bv_parserule rules_[kMaxRules];
};

}  // namespace brenvik
