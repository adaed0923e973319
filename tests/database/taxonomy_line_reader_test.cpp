#include "database/taxonomy_line_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

using tarvex_test::TempDir;

struct Read {
    std::vector<std::string> lines;
    bool notText = false;
};

Read readAll(const std::string& path, TaxonomyLineReader::LineEnds ends, const std::string& appended = "") {
    std::FILE* stream = std::fopen(path.c_str(), "rb");
    EXPECT_NE(stream, nullptr);
    TaxonomyLineReader reader(stream, ends);
    // What is written after the reader was made is not read.
    if (!appended.empty()) {
        std::FILE* more = std::fopen(path.c_str(), "ab");
        std::fputs(appended.c_str(), more);
        std::fclose(more);
    }
    Read read;
    std::string line;
    while (reader.next(line)) read.lines.push_back(line);
    read.notText = reader.notText();
    std::fclose(stream);
    return read;
}

// A line that starts with a NUL byte is where a dump stops being text (a hole
// of a sparse file, a file zeroed): the reading ends there and says so. A NUL
// inside a line still ends that line where NUL is a line end.
TEST(TaxonomyLineReader, ZerosWhereALineStartsEndTheReading) {
    using Ends = TaxonomyLineReader::LineEnds;
    const struct {
        const char* name;
        std::string content;
        Ends ends;
        std::vector<std::string> lines;
        bool notText;
    } cases[] = {
        {"text", "1\t|\ta\n2\t|\tb\n", Ends::LfDropCr, {"1\t|\ta", "2\t|\tb"}, false},
        {"zeros only", std::string(3 << 20, '\0'), Ends::LfDropCr, {}, true},
        {"zeros only, NUL ends lines", std::string(3 << 20, '\0'), Ends::CrLfOrNul, {}, true},
        {"a hole after records", "1\t|\ta\n" + std::string(4096, '\0') + "2\t|\tb\n", Ends::CrLfOrNul, {"1\t|\ta"}, true},
        {"a NUL inside a line", std::string("ab\0cd\n", 6), Ends::CrLfOrNul, {"ab", "cd"}, false},
        {"a NUL inside a line, LF ends lines", std::string("ab\0cd\n", 6), Ends::LfDropCr, {std::string("ab\0cd", 5)},
         false},
    };
    TempDir dir("line-reader");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tarvex_test::writeFile(dir.file("dump"), c.content);
        const Read read = readAll(dir.file("dump"), c.ends);
        EXPECT_EQ(read.lines, c.lines);
        EXPECT_EQ(read.notText, c.notText);
    }
    tarvex_test::writeFile(dir.file("growing"), "1\n");
    EXPECT_EQ(readAll(dir.file("growing"), Ends::LfDropCr, "2\n").lines, std::vector<std::string>{"1"});
}

}  // namespace
