#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Reads whole lines from a taxonomy data file (nodes, names, gencode and
// species files), however long. A line longer than the limit is skipped as
// a whole, so its tail is never mistaken for a new record. The stream stays
// owned by the caller.
class TaxonomyLineReader {
public:
    enum class LineEnds {
        LfDropCr,    // LF ends a line; a CR right before it is dropped
        CrLfOrNul,   // CR, LF and NUL each end a line
    };

    static constexpr size_t defaultMaxLine = 16u * 1024u * 1024u;

    TaxonomyLineReader(std::FILE* stream, LineEnds ends, size_t maxLine = defaultMaxLine);

    // Next line without its end; false at the end of the file (or on a read
    // error). Lines over the limit are skipped and counted.
    bool next(std::string& line);

    size_t skippedLongLines() const { return skipped_; }
    size_t lineNumber() const { return lineNumber_; }
    // Bytes taken from the stream so far.
    size_t bytesRead() const { return bytesRead_; }

private:
    bool fill();

    std::FILE* stream_;
    LineEnds ends_;
    size_t maxLine_;
    std::vector<char> buffer_;
    size_t pos_ = 0;
    size_t len_ = 0;
    bool eof_ = false;
    size_t skipped_ = 0;
    size_t lineNumber_ = 0;
    size_t bytesRead_ = 0;
};
