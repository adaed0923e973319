#include "database/stats_file.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "common/error_reporter.h"
#include "database/random_sequences.h"
#include "database/seq_iter.h"
#include "support/control_file_writer.h"
#include "support/database_writer.h"
#include "support/fixture_install.h"
#include "support/temp_dir.h"

using tarvex_test::DatabaseWriter;
using tarvex_test::FixtureInstall;
using tarvex_test::WorkingFolder;

namespace {

class StatsTest : public ::testing::Test {
protected:
    void SetUp() override {
        errorReporter.exitOnFatal = false;
        errorReporter.toPage = false;
        errorReporter.toMail = false;
    }
    void TearDown() override {
        errorReporter.exitOnFatal = true;
        errorReporter.toPage = true;
        errorReporter.toMail = true;
    }
    std::string write(const std::string& text) {
        const std::string path = install.file("sequence/x.stats");
        install.write("sequence/x.stats", text);
        return path;
    }

    FixtureInstall install{"stats"};
    WorkingFolder cwd{install.cgiDir()};
};

TEST_F(StatsTest, ReadsEveryKnownKey) {
    const std::string text =
        "Time files compressed (int) :\t1700000001\n"
        "Time of fasta files (int)   :\t-5\n"
        "Number of sequences         :\t  42\r\n"
        "Number of residues          :\t12345678901.75\n"
        "Num sequences for taxonomy  :\tMammals=30\n"
        "Num sequences for taxonomy  :\tA=B title=7\n"
        "Num sequences for taxonomy  :\tMammals=99\n"
        "Num sequences for taxonomy  :\tno equals sign\n"
        "Length of longest sequence  :\t35213\n"
        "Maximum Accession Length    :\t20\n"
        "Version of Tarvex           :\t2.5.1\r\n"
        "Version of this file        :\t5\n"
        "Type of fasta file          :\tNA\n"
        "Parse rule for accession    :\t>\\([^ ]*\\)\n"
        "Blocks for spectral library :\t3\n";
    DatabaseStats stats;
    EXPECT_TRUE(readStatsFile(write(text), 1, stats));
    EXPECT_EQ(stats.timeFilesCompressed, 1700000001);
    EXPECT_EQ(stats.timeOfFastaFiles, -5);
    EXPECT_EQ(stats.numSequences, 42);
    EXPECT_EQ(stats.numResidues, 12345678901);
    EXPECT_EQ(stats.taxonomyCounts, (std::map<std::string, int32_t>{{"Mammals", 30}, {"A=B title", 7}}));
    EXPECT_EQ(stats.longestSequence, 35213);
    EXPECT_EQ(stats.maxAccessionLength, 21);
    EXPECT_EQ(stats.productVersion, "2.5.1");
    EXPECT_EQ(stats.fileType, 1);
    EXPECT_EQ(stats.parseRule, ">\\([^ ]*\\)");
    EXPECT_EQ(stats.spectralBlocks, 3);
    EXPECT_EQ(install.read("logs/errorlog.txt"), "");
}

TEST_F(StatsTest, OtherVersionFillsFieldsButFails) {
    DatabaseStats stats;
    EXPECT_FALSE(readStatsFile(write("Number of residues          :\t77\nVersion of this file        :\t4\n"
                                     "Type of fasta file          :\tXX\n"),
                               1, stats));
    EXPECT_EQ(stats.numResidues, 77);
    EXPECT_EQ(stats.fileType, 0);
    EXPECT_EQ(stats.spectralBlocks, 1);
}

TEST_F(StatsTest, NumbersOutOfRangeAreClamped) {
    DatabaseStats stats;
    const std::string text = std::string("Number of sequences         :\t99999999999999999999999\n"
                                         "Number of residues          :\t1e300\n"
                                         "Maximum Accession Length    :\t2147483647\n"
                                         "Length of longest sequence  :\t-99999999999\n") +
                             std::string("\0\0garbage\0\n", 11) + "Version of this file        :\t5\n";
    EXPECT_TRUE(readStatsFile(write(text), 1, stats));
    EXPECT_EQ(stats.numSequences, INT32_MAX);
    EXPECT_EQ(stats.numResidues, INT64_MAX);
    EXPECT_EQ(stats.maxAccessionLength, INT32_MAX);
    EXPECT_EQ(stats.longestSequence, INT32_MIN);
}

TEST_F(StatsTest, MissingFileLeavesRecordAlone) {
    DatabaseStats stats;
    stats.numSequences = 9;
    EXPECT_FALSE(readStatsFile(install.file("sequence/none.stats"), 1, stats));
    EXPECT_EQ(stats.numSequences, 9);
    EXPECT_FALSE(readStatsFile("", 1, stats));
}

TEST_F(StatsTest, SequencesTooLongAreReportedOnce) {
    DatabaseStats stats;
    EXPECT_TRUE(readStatsFile(write("Number of sequences too long:\t3\nVersion of this file        :\t5\n"), 12, stats));
    EXPECT_EQ(stats.numTooLong, 3);
    EXPECT_NE(install.read("logs/errorlog.txt").find("3 sequences ignored because length greater"),
              std::string::npos);
}

// The random-sequence table, built from a database's statistics.
class RandomSetUp : public StatsTest {
protected:
    CRandomSequenceGenerator initFor(const std::string& statsText, bool nucleic) {
        DatabaseWriter db("R", install.file("sequence/R"));
        db.setFasta(">A\nMK\n").setNucleic(nucleic).setStatsText(statsText);
        EXPECT_TRUE(db.write());
        tarvex_test::ControlFileWriter control;
        const int e = control.addEntry("R");
        db.fillControlEntry(control, e, false);
        CRandomSequenceGenerator g;
        g.init(&control.half(e, 0), 5);
        return g;
    }
};

TEST_F(RandomSetUp, SmallDatabaseTakesTheBuiltInTable) {
    const std::map<char, int64_t> counts = {{'A', 100000}, {'K', 100000}};
    const CRandomSequenceGenerator g = initFor(DatabaseWriter::statsText(1, 50000, 2, 1, false, counts), false);
    ASSERT_EQ(g.count, 26u);
    EXPECT_TRUE(g.normalised);
    EXPECT_EQ(g.total, 1u);
    EXPECT_EQ(g.residues[0], 'A');
    EXPECT_EQ(g.residues[25], 'Z');
    // A has 7 of 89, B none: the same cumulative share.
    EXPECT_EQ(g.cumulative[0], static_cast<uint32_t>(7.0 / 89 * (1u << 30)));
    EXPECT_EQ(g.cumulative[1], g.cumulative[0]);
    EXPECT_NEAR(static_cast<double>(g.cumulative[25]), 1 << 30, 2);
}

TEST_F(RandomSetUp, IteratorInRandomModeSetsUpItsGenerator) {
    DatabaseWriter db("R", install.file("sequence/R"));
    db.setFasta(">A\nMKVL\n>B\nMK\n");
    ASSERT_TRUE(db.write());
    tarvex_test::ControlFileWriter control;
    const int e = control.addEntry("R");
    db.fillControlEntry(control, e, false);
    CSequenceIterator it;
    int32_t counter = -1;
    SequenceIteratorOptions options;
    options.randomMode = true;
    options.randomCount = 10;
    options.jobNumber = 5;
    options.counter = &counter;
    it.open(&control.half(e, 0), options);
    EXPECT_EQ(it.generator().count, 26u);  // 6 residues: the built-in table
    EXPECT_TRUE(it.generator().normalised);
    EXPECT_EQ(it.currentIndex(), 0);
    it.close();
}

TEST_F(RandomSetUp, LargeNucleicDatabaseTakesOnlyTheFourBases) {
    const std::map<char, int64_t> counts = {{'A', 1024 * 300}, {'C', 1024 * 200}, {'G', 1024 * 200},
                                            {'N', 1024 * 50},  {'T', 1024 * 300}};
    const CRandomSequenceGenerator g = initFor(DatabaseWriter::statsText(1, 1000000, 2, 1, true, counts), true);
    ASSERT_EQ(g.count, 4u);
    EXPECT_EQ(std::string(g.residues, 4), "ACGT");
    EXPECT_EQ(g.cumulative[0], static_cast<uint32_t>(300.0 / 1000 * (1u << 30)));
    EXPECT_EQ(g.cumulative[3], 1u << 30);
}

TEST_F(RandomSetUp, TableWithoutFrequencyHeaderStaysEmpty) {
    const CRandomSequenceGenerator g = initFor(
        "Number of residues          :\t1000000\nVersion of this file        :\t5\nResidue Frequency\nA\t5000\n",
        false);
    EXPECT_EQ(g.count, 0u);
    EXPECT_FALSE(g.normalised);
}

TEST_F(RandomSetUp, LongLinesAreReadWholeAndBadCountsSkipped) {
    const std::string longLine = "Q\t" + std::string(3000, '9');  // a number far out of range, then more text
    const CRandomSequenceGenerator g =
        initFor("Number of residues          :\t1000000\nResidue\tFrequency\nA\t2048\nB\t-4096\nC\tx\n" + longLine +
                    std::string(2000, 'A') + "\nD\t1024\n\nE\t1024\n",
                false);
    // Q's number reads as the largest int (sscanf), A, Q and D are taken; the
    // blank line ends the table.
    ASSERT_EQ(g.count, 3u);
    EXPECT_EQ(std::string(g.residues, 3), "AQD");
}

}  // namespace
