#pragma once
// What the section readers of tarvex.dat read from, and the syntax rules they
// share. A line source hands out one line at a time with its leading spaces
// and TABs and its line end (LF, and one CR before it) already removed; the
// configuration file object adapts its own source to this interface.
#include <memory>
#include <string>

namespace brenvik {

class bv_customproperty;
class bv_errs;

class bv_sectionlines {
public:
    virtual ~bv_sectionlines() = default;
    // The next line; false at the end of the input.
    virtual bool nextLine(std::string& line) = 0;
    // Opens a local file for the Cluster "@include" line. The default reads
    // the file whole (bv_textlines); on failure it records message 256 on errs
    // and returns null.
    virtual std::unique_ptr<bv_sectionlines> openInclude(const std::string& path, bv_errs& errs);
};

// Lines of a text held in memory (a snapshot of a file): split at LF, one CR
// before the LF dropped, leading spaces and TABs removed. A line longer than
// 998 characters keeps its first 998 characters; the rest of that line is
// dropped (and, with an error object, warning 1561 names the file and the
// kept text) and reading goes on.
class bv_textlines : public bv_sectionlines {
public:
    explicit bv_textlines(std::string text, bv_errs* errs = nullptr, std::string fileName = std::string());
    bool nextLine(std::string& line) override;
    // The same line with its leading spaces and TABs kept.
    bool nextRawLine(std::string& line);

    static constexpr size_t kMaxLineLength = 998;

private:
    std::string text_;
    size_t pos_ = 0;
    bv_errs* errs_;
    std::string fileName_;
};

// The syntax rules the section readers share.
namespace sectionsyntax {

// A section ends at a line whose first three characters are "end" in any
// case, followed by a space, CR, LF or the end of the line (not a TAB).
bool isSectionEndLine(const std::string& line);

// Drops lines up to and including the next section end; true when the input
// ended first.
bool skipSection(bv_sectionlines& lines);

// Key matching of most sections: the line starts with key, ignoring case,
// compared over the key's own length.
bool startsWithNoCase(const std::string& line, const char* key);
bool equalsNoCase(const std::string& a, const std::string& b);

// Removes trailing spaces, TABs, CRs and LFs.
void trimTrailingBlanks(std::string& line);

// Only spaces, TABs and 0x1A characters (the empty line included).
bool isBlankLine(const std::string& line);

// The next line of a section whose keys stand one to a line: every line up to
// the section end is kept raw in section (its layout survives a rewrite), then
// handed out without trailing blanks; blank lines and "#" comments are passed
// over. False at the section end or the end of the input.
bool nextContentLine(bv_sectionlines& lines, bv_customproperty& section, std::string& line);

}  // namespace sectionsyntax

}  // namespace brenvik
