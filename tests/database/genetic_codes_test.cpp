#include "database/genetic_codes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/error_reporter.h"
#include "support/taxonomy_fixture.h"
#include "support/reporter_switches.h"

namespace {


// Gencode files are found in "../taxonomy/" from the working folder, as the
// programs run from their cgi folder.
class InstallFolder : public tarvex_test::TaxonomyInstall {
public:
    void taxonomyFile(const std::string& name, const std::string& content) { write(name, content); }
};

int baseCode(char c) { return std::string("?TCAG").find(c); }

size_t lookupIndex(const char* codon) {
    return baseCode(codon[0]) + 16 * baseCode(codon[1]) + 256 * baseCode(codon[2]);
}

std::string gencodeLine(int id, const std::string& codons) {
    return std::to_string(id) + "\t|\t\t|\tName " + std::to_string(id) + "\t|\t" + codons + "\t|\t" +
           std::string(64, '-') + "\t|\n";
}

// The codon string of a table as the file spells it, stops as '@'.
std::string fileCodons(const std::string& gencode, int id) {
    const std::string start = std::to_string(id) + "\t|\t";
    size_t pos = 0;
    while (pos < gencode.size()) {
        size_t end = gencode.find('\n', pos);
        std::string line = gencode.substr(pos, end - pos);
        if (line.compare(0, start.size(), start) == 0) {
            size_t field = 0;
            for (int i = 0; i < 3; ++i) field = line.find("\t|\t", field) + 3;
            std::string codons = line.substr(field, 64);
            for (char& c : codons)
                if (c == '*') c = '@';
            return codons;
        }
        pos = end + 1;
    }
    return "";
}

TEST(GeneticCodeTables, MakerFillsEveryTableWithX) {
    auto tables = makeGeneticCodeTables();
    EXPECT_FALSE(tables->ready());
    for (int id = 0; id <= 49; ++id) {
        EXPECT_FALSE(tables->loaded(id));
        EXPECT_EQ(std::string(tables->codonString(id), 64), std::string(64, 'X')) << id;
        EXPECT_EQ(tables->forwardLookup(id)[lookupIndex("ATG")], 'X');
    }
}

TEST(GeneticCodeTables, BuiltInStandardCodeAndItsLookups) {
    InstallFolder install;
    install.taxonomyFile("gencode.dmp", "");
    auto tables = makeGeneticCodeTables();
    initGeneticCodeTablesFromFiles(*tables, nullptr);
    ASSERT_TRUE(tables->ready());
    EXPECT_TRUE(tables->loaded(1));
    EXPECT_FALSE(tables->loaded(2));
    EXPECT_EQ(std::string(tables->codonString(1), 64), standardGeneticCode);
    const char* forward = tables->forwardLookup(1);
    const char* complement = tables->complementLookup(1);
    EXPECT_EQ(forward[1 + 16 * 4 + 256 * 4], 'W');  // TGG
    EXPECT_EQ(forward[1 + 16 * 3 + 256 * 3], '@');  // TAA
    EXPECT_EQ(complement[3 + 16 * 2 + 256 * 2], 'W');  // ACC complemented in place: TGG
    // any code 5 (N), 0 or above 5 gives X in both look-ups
    for (size_t index : {5u + 16 * 1 + 256 * 1, 1u + 16 * 5 + 256 * 4, 3u + 16 * 3 + 256 * 5, 0u, 6u + 16 + 256,
                         4095u}) {
        EXPECT_EQ(forward[index], 'X') << index;
        EXPECT_EQ(complement[index], 'X') << index;
    }

    clearGeneticCodeTables(*tables);
    EXPECT_FALSE(tables->ready());
    EXPECT_FALSE(tables->loaded(1));
}

TEST(GeneticCodeTables, ComplementBaseCodes) {
    const int expected[] = {0, 3, 4, 1, 2, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int code = 0; code < 16; ++code) EXPECT_EQ(complementBaseCode(code), expected[code]) << code;
    EXPECT_EQ(complementBaseCode(-1), 0);
}

// Every codon of tables 1 and 2 of a real gencode file, in all three forms.
TEST(GeneticCodeTables, LoadsTheNcbiFileAndBuildsEveryLookup) {
    InstallFolder install;
    const std::string gencode = tarvex_test::taxonomyFixture("gencode.dmp");
    install.taxonomyFile("gencode.dmp", gencode);
    auto tables = makeGeneticCodeTables();
    initGeneticCodeTablesFromFiles(*tables, nullptr);

    const char bases[] = "TCAG";
    const char complementLetter[] = "AGTC";
    for (int id : {1, 2, 11, 31}) {
        SCOPED_TRACE(id);
        ASSERT_TRUE(tables->loaded(id));
        const std::string codons = fileCodons(gencode, id);
        ASSERT_EQ(codons.size(), 64u);
        EXPECT_EQ(std::string(tables->codonString(id), 64), codons);
        for (int b1 = 0; b1 < 4; ++b1)
            for (int b2 = 0; b2 < 4; ++b2)
                for (int b3 = 0; b3 < 4; ++b3) {
                    const char codon[] = {bases[b1], bases[b2], bases[b3], 0};
                    const char letter = codons[16 * b1 + 4 * b2 + b3];
                    EXPECT_EQ(tables->forwardLookup(id)[lookupIndex(codon)], letter) << codon;
                    EXPECT_EQ(tables->reorderedCodonString(id)[b1 + 4 * b2 + 16 * b3], letter) << codon;
                    const char complemented[] = {complementLetter[b1], complementLetter[b2],
                                                 complementLetter[b3], 0};
                    EXPECT_EQ(tables->complementLookup(id)[lookupIndex(complemented)], letter) << codon;
                }
    }
    // Table 2 differs from the standard code at AGA (stop) and TGA (W).
    EXPECT_EQ(tables->forwardLookup(2)[lookupIndex("AGA")], '@');
    EXPECT_EQ(tables->forwardLookup(2)[lookupIndex("TGA")], 'W');
    EXPECT_FALSE(tables->loaded(7));  // not in the file
    EXPECT_FALSE(tables->loaded(0));
}

TEST(GeneticCodeTables, LineRulesOfTheGencodeFormat) {
    InstallFolder install;
    const std::string table2(64, 'B');
    std::string file;
    file += gencodeLine(1, "KKKK");                         // overrides the first letters of the built-in table
    file += gencodeLine(2, table2);                         // a whole table
    file += gencodeLine(3, "MM*");                          // short: the rest stays X
    file += gencodeLine(50, std::string(64, 'Z'));          // no such table
    file += gencodeLine(0, std::string(64, 'Z'));
    file += "4\t|\t\t|\tonly two separators " + std::string(64, 'Q') + "\n";
    file += "5\t|\t\t|\tempty field\t|\t\t|\t\t|\n";         // loaded, letters kept
    file += "x6\t|\t\t|\tno number\t|\t" + std::string(64, 'Q') + "\t|\n";
    file += gencodeLine(8, std::string(64, 'R')).substr(0, 50) + "\r\n";  // CR LF, cut field
    file += " 9\t|\t\t|\tleading blank\t|\t" + std::string(70, 'S') + "\t|\n";  // at most 64 letters
    file += gencodeLine(10, std::string(64, 'T'));
    file += gencodeLine(10, "VV");                          // a later line replaces the table's letters
    install.taxonomyFile("gencode.dmp", file);

    auto tables = makeGeneticCodeTables();
    initGeneticCodeTablesFromFiles(*tables, nullptr);
    EXPECT_EQ(std::string(tables->codonString(1), 64), "KKKK" + std::string(standardGeneticCode + 4));
    EXPECT_EQ(std::string(tables->codonString(2), 64), table2);
    EXPECT_EQ(std::string(tables->codonString(3), 64), "MM@" + std::string(61, 'X'));
    EXPECT_EQ(tables->forwardLookup(3)[lookupIndex("TTC")], 'M');
    EXPECT_EQ(tables->forwardLookup(3)[lookupIndex("TTA")], '@');
    EXPECT_EQ(tables->forwardLookup(3)[lookupIndex("TTG")], 'X');
    EXPECT_FALSE(tables->loaded(4));
    EXPECT_TRUE(tables->loaded(5));
    EXPECT_EQ(std::string(tables->codonString(5), 64), std::string(64, 'X'));
    EXPECT_FALSE(tables->loaded(6));
    EXPECT_TRUE(tables->loaded(8));
    const std::string eight(tables->codonString(8), 64);
    EXPECT_EQ(eight.substr(0, 34), std::string(34, 'R'));  // the letters the cut line holds
    EXPECT_EQ(eight.substr(34), std::string(30, 'X'));
    EXPECT_EQ(eight.find_first_of("\r\n"), std::string::npos);
    EXPECT_TRUE(tables->loaded(9));
    EXPECT_EQ(std::string(tables->codonString(9), 64), std::string(64, 'S'));
    EXPECT_EQ(std::string(tables->codonString(10), 64), "VV" + std::string(62, 'T'));
    for (int id = 11; id <= 49; ++id) EXPECT_FALSE(tables->loaded(id)) << id;
}

TEST(GeneticCodeTables, ConfiguredFilesLoadInListOrder) {
    InstallFolder install;
    install.taxonomyFile("gencode.dmp", gencodeLine(2, std::string(64, 'D')));
    install.taxonomyFile("first.dmp", gencodeLine(2, std::string(64, 'F')) + gencodeLine(3, std::string(64, 'F')));
    install.taxonomyFile("sub/second.dmp", gencodeLine(3, std::string(64, 'S')));
    auto tables = makeGeneticCodeTables();
    const std::vector<std::string> files = {"first.dmp", "sub\\second.dmp"};
    initGeneticCodeTablesFromFiles(*tables, &files);
    EXPECT_TRUE(tables->ready());
    EXPECT_EQ(tables->codonString(2)[0], 'F');  // gencode.dmp is not read when files are named
    EXPECT_EQ(tables->codonString(3)[0], 'S');
}

TEST(GeneticCodeTables, LongLinesAreReadWholeOrSkippedWhole) {
    InstallFolder install;
    // A long line (a starts field of 3000 bytes) that holds a record-like text
    // at a 998-byte boundary: read whole, its tail never loads as table 7.
    std::string starts(3000, '-');
    const std::string fake = "7\t|\t\t|\tfake\t|\t" + std::string(64, 'Q');
    std::string file = "6\t|\t\t|\tname\t|\t" + std::string(64, 'L') + "\t|\t";
    starts.replace(998 - file.size(), fake.size(), fake);
    file += starts + "\t|\n";
    // Over the 16 MiB limit: skipped, although it starts like a table 1 line.
    file += "1\t|\t\t|\tx\t|\t" + std::string(64, 'Q') + std::string(17u * 1024 * 1024, ' ') + "\t|\n";
    file += gencodeLine(2, std::string(64, 'E'));
    install.taxonomyFile("gencode.dmp", file);
    auto tables = makeGeneticCodeTables();
    initGeneticCodeTablesFromFiles(*tables, nullptr);
    EXPECT_EQ(std::string(tables->codonString(6), 64), std::string(64, 'L'));
    EXPECT_FALSE(tables->loaded(7));
    EXPECT_EQ(std::string(tables->codonString(1), 64), standardGeneticCode);
    EXPECT_TRUE(tables->loaded(2));
}

TEST(GeneticCodeTables, MissingFileIsReportedAndLeavesTheBuiltInTable) {
    tarvex_test::QuietReporter quiet;
    InstallFolder install;
    auto tables = makeGeneticCodeTables();
    EXPECT_FALSE(loadGencodeFile(*tables, "absent.dmp"));
    EXPECT_EQ(errorReporter.getLastNumber(), 12);
    // The report names the file as configured, Windows separators and all.
    errorReporter.toPage = true;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(loadGencodeFile(*tables, "sub\\absent.dmp"));
    const std::string page = testing::internal::GetCapturedStdout();
    errorReporter.toPage = false;
    EXPECT_NE(page.find("../taxonomy/sub\\absent.dmp"), std::string::npos) << page;
    initGeneticCodeTablesFromFiles(*tables, nullptr);
    EXPECT_TRUE(tables->ready());
    EXPECT_TRUE(tables->loaded(1));
    EXPECT_FALSE(tables->loaded(2));
}

}  // namespace
