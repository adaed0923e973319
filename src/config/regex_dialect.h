#pragma once
// The rule texts in configuration and species files are written for the
// 4.4BSD basic-syntax regcomp: it knows the word bounds [[:<:]] and [[:>:]],
// and treats "\|", "\+", "\?", "\<" and the like as plain characters. glibc
// reads those escapes as GNU operators, so every rule compile goes through
// this wrapper, which rewrites the text into the glibc form of the same
// expression. Thread safety: the functions are pure; a BsdRegex is as safe as
// regexec (concurrent matches on one compiled object are fine).
#include <regex.h>

#include <cstddef>
#include <string>

namespace brenvik {

// Rewrites a BSD basic expression for glibc regcomp: outside bracket
// expressions [[:<:]] becomes \< and [[:>:]] becomes \>; a backslash before
// ( ) { } . [ \ * ^ $ or a digit 1-9 stays, any other "\c" becomes "c";
// bracket expressions are copied verbatim.
std::string translateBsdRegex(const std::string& pattern);

// regcomp over the translated text. An empty pattern is refused with
// REG_BADPAT (the BSD library refuses an empty expression; glibc would accept
// it and match everything). On a non-zero result preg holds nothing to free.
int bsdRegcomp(regex_t* preg, const char* pattern, int cflags);

// Owns one compiled expression.
class BsdRegex {
public:
    BsdRegex() = default;
    ~BsdRegex();
    BsdRegex(const BsdRegex&) = delete;
    BsdRegex& operator=(const BsdRegex&) = delete;

    // Compiles (replacing any earlier expression); returns regcomp's status.
    int compile(const std::string& pattern, int cflags);
    bool compiled() const { return compiled_; }
    // The status of the last compile (0 when it succeeded).
    int status() const { return status_; }
    // regexec on the text; returns 0, REG_NOMATCH or another error status.
    // A BsdRegex that is not compiled returns REG_BADPAT.
    int exec(const char* text, std::size_t nmatch, regmatch_t* pmatch, int eflags = 0) const;
    // Number of parenthesised sub-expressions (0 when not compiled).
    std::size_t subExpressions() const { return compiled_ ? re_.re_nsub : 0; }
    // The library's text for a status of this expression.
    std::string errorText(int status) const;
    const regex_t* raw() const { return compiled_ ? &re_ : nullptr; }

private:
    void release();
    regex_t re_{};
    bool compiled_ = false;
    int status_ = REG_BADPAT;
};

}  // namespace brenvik
