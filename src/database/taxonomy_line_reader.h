#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Reads whole lines from a taxonomy data file (nodes, names, gencode and
// species files), however long. A line longer than the limit is skipped as
// a whole, so its tail is never mistaken for a new record. Nothing past the
// size the file had when the reader was made is read, and a line that starts
// with a NUL byte ends the reading: a dump is text, and zeros there are a hole
// of a sparse file or a file zeroed or cut, not records (read on, a 10 GB hole
// would be ten billion empty lines). The stream stays owned by the caller.
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
    // True when the reading ended at a line that starts with a NUL byte.
    bool notText() const { return notText_; }
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
    bool notText_ = false;
    size_t limit_ = SIZE_MAX;  // bytes the file held when the reader was made
    size_t skipped_ = 0;
    size_t lineNumber_ = 0;
    size_t bytesRead_ = 0;
};
