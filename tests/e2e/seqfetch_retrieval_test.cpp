// bv-seqfetch's text output for found entries: every output type of an
// amino-acid entry, every frame of a nucleic-acid entry, in file mode and
// through the monitor's mappings, on the command line and through CGI GET.
#include <gtest/gtest.h>

#include <cstdio>

#include "e2e/seqfetch_fixture.h"
#include "seqfetch/bv_picalc.h"
#include "support/database_writer.h"

namespace {

using seqfetch_e2e::Installation;
using seqfetch_e2e::kHeader;
using tarvex_test::DatabaseWriter;
using tarvex_test::RunResult;

const std::string kAlpha = "MKVLAAGIVGLLLAHHHRKDEC";
const std::string kBeta = "MSTNPKPQRKTKRNTNRRPQDVKFPGG";
// Frames of kBases: table 1 and the vertebrate mitochondrial table 2.
const std::string kBases = "ATGGCCATTGTAATGGGCCGCTGAAAGGGTGCCCGATAGA";
const char* const kTable1[6] = {"MAIVMGR@KGAR@", "WPL@WAAERVPDR", "GHCNGPLKGCPI",
                                "SIGHPFSGPLQWP", "LSGTLSAAHYNGH", "YRAPFQRPITMA"};
const char* const kTable2[6] = {"MAIVMGRWKGAR@", "WPL@WAAE@VPD@", "GHCNGPLKGCPM",
                                "SIGHPFSGPLQWP", "LSGTLSAAHYNGH", "YRAPFQRPITMA"};
const int kCodons[6] = {13, 13, 12, 13, 13, 12};

std::string pI(const std::string& sequence) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2lf", calcIsoelectricPoint(sequence.c_str(), -1, -1));
    return text;
}

// Two databases: SwissProt (amino acids, a reference file) and Virus
// (nucleic acids, taxonomy section 2 with its nodes and gencode files).
class Databases {
public:
    explicit Databases(bool mapped) {
        tarvex_test::FixtureInstall& install = inst.install();
        install.write("taxonomy/nodes.dmp",
                      "1\t|\t1\t|\tno rank\t|\t\t|\t8\t|\t0\t|\t1\t|\t0\t|\t0\t|\t0\t|\t0\t|\t0\t|\t\t|\n"
                      "100\t|\t1\t|\tspecies\t|\t\t|\t10\t|\t0\t|\t2\t|\t0\t|\t2\t|\t0\t|\t0\t|\t0\t|\t\t|\n"
                      "200\t|\t1\t|\tspecies\t|\t\t|\t10\t|\t0\t|\t40\t|\t0\t|\t2\t|\t0\t|\t0\t|\t0\t|\t\t|\n");
        install.write("taxonomy/gencode.dmp", tarvex_test::taxonomyFixture("gencode.dmp"));

        DatabaseWriter protein("SwissProt", install.file("sequence/SwissProt"));
        protein
            .setFasta(">P12345 Alpha protein\x01Q99999 Alpha synonym\n" + kAlpha.substr(0, 10) + "\n" +
                      kAlpha.substr(10) + "\n" + ">P23456 Beta first\x01P99 beta second\x01P77 beta third\n" + kBeta +
                      "\n")
            .setParseRule(1)
            .setReference(">P12345 reference\nJournal A 1:1\n>P23456 reference\nJournal B 2:2\nJournal C 3:3\n",
                          {0, 32});
        EXPECT_TRUE(protein.write()) << protein.error();
        DatabaseWriter nucleic("Virus", install.file("sequence/Virus"));
        nucleic.setFasta(">NA1 first genome\n" + kBases + "\n>NA2 second genome\n" + kBases + "\n>NA3 third\n" + kBases +
                         "\n")
            .setNucleic(true)
            .setTaxonomySection(2)
            .setTaxIds(0, {100})
            .setTaxIds(1, {200})
            .setTaxIds(2, {});
        EXPECT_TRUE(nucleic.write()) << nucleic.error();

        protein.fillControlEntry(inst.control(), 0, mapped);
        nucleic.fillControlEntry(inst.control(), 1, mapped);
        inst.writeControlFile();
        if (mapped) {
            EXPECT_TRUE(protein.registerMapped(inst.monitor(), tarvex_test::FakeMonitor::Owner::PidZero));
            EXPECT_TRUE(nucleic.registerMapped(inst.monitor(), tarvex_test::FakeMonitor::Owner::PidZero));
        }
    }

    // Output and status of both forms, which must agree.
    std::string run(const std::vector<std::string>& arguments) {
        auto [cmd, get] = inst.both(arguments);
        std::string text;
        for (const auto& a : arguments) text += a + " ";
        EXPECT_TRUE(cmd.exited && cmd.exitStatus == 0) << text << cmd.exitStatus << cmd.standardOutput;
        EXPECT_TRUE(get.exited && get.exitStatus == 0) << text << get.exitStatus << get.standardOutput;
        EXPECT_EQ(cmd.standardOutput, get.standardOutput) << text;
        EXPECT_EQ(cmd.standardOutput.rfind(kHeader, 0), 0u) << text;
        return cmd.standardOutput.substr(std::min(cmd.standardOutput.size(), std::string(kHeader).size()));
    }

    Installation inst;
};

class SeqfetchRetrieval : public ::testing::TestWithParam<bool> {};

TEST_P(SeqfetchRetrieval, AminoAcidOutputTypes) {
    Databases db(GetParam());
    struct Case {
        std::vector<std::string> args;
        std::string output;
    } cases[] = {
        {{"SwissProt", "P12345", "title"}, ">P12345 Alpha protein\n"},
        {{"SwissProt", "P12345", "seq"}, "*" + kAlpha + "\n>P12345 Alpha protein\n"},
        {{"SwissProt", "P12345", "all"}, "*" + kAlpha + "\n>P12345 Alpha protein\n>P12345 reference\nJournal A 1:1\n"},
        {{"SwissProt", "P12345", "len"}, std::to_string(kAlpha.size()) + "\n"},
        {{"SwissProt", "P12345", "pI"}, pI(kAlpha)},
        // Three descriptions: only the one that holds the accession.
        {{"SwissProt", "P99", "all"},
         "*" + kBeta + "\n>P99 beta second\n>P23456 reference\nJournal B 2:2\nJournal C 3:3\n"},
        {{"SwissProt", "Q99999", "title"}, ">Q99999 Alpha synonym\n"},
        // Keywords: any case, a longer word that begins with one; else nothing.
        {{"SwissProt", "P12345", "PI"}, pI(kAlpha)},
        {{"SwissProt", "P12345", "pi"}, pI(kAlpha)},
        {{"SwissProt", "P12345", "sequence"}, "*" + kAlpha + "\n>P12345 Alpha protein\n"},
        {{"SwissProt", "P12345", "TITLES"}, ">P12345 Alpha protein\n"},
        {{"SwissProt", "P12345", "reference"}, ""},
        {{"SwissProt", "P12345", "0", "0"}, ""},
        // The frame changes nothing for amino acids.
        {{"SwissProt", "P23456", "len", "0"}, std::to_string(kBeta.size()) + "\n"},
        // Not found: nothing after the header.
        {{"SwissProt", "P1234", "seq"}, ""},
        {{"SwissProt", "p12345", "seq"}, ""},
    };
    for (const Case& c : cases) {
        std::string text;
        for (const auto& a : c.args) text += a + " ";
        EXPECT_EQ(db.run(c.args), c.output) << text;
    }
}

TEST_P(SeqfetchRetrieval, NucleicAcidFrames) {
    Databases db(GetParam());
    EXPECT_EQ(db.run({"Virus", "NA1", "seq", "0"}), "*" + kBases + "\n>NA1 first genome\n");
    EXPECT_EQ(db.run({"Virus", "NA1", "seq"}), "*" + kBases + "\n>NA1 first genome\n");
    EXPECT_EQ(db.run({"Virus", "NA1", "len", "0"}), std::to_string(kBases.size()) + "\n");
    EXPECT_EQ(db.run({"Virus", "NA1", "pI", "0"}), "0.00");
    for (int frame = 1; frame <= 6; ++frame) {
        const std::string f = std::to_string(frame);
        // NA1's taxon uses table 2; NA3 has no taxonomy ID (ID 1: table 1).
        EXPECT_EQ(db.run({"Virus", "NA1", "seq", f}), std::string("*") + kTable2[frame - 1] + "\n>NA1 first genome\n")
            << frame;
        EXPECT_EQ(db.run({"Virus", "NA3", "seq", f}), std::string("*") + kTable1[frame - 1] + "\n>NA3 third\n")
            << frame;
        EXPECT_EQ(db.run({"Virus", "NA1", "len", f}), std::to_string(kCodons[frame - 1]) + "\n") << frame;
        EXPECT_EQ(db.run({"Virus", "NA1", "pI", f}), pI(kTable2[frame - 1])) << frame;
    }
}

TEST_P(SeqfetchRetrieval, MissingTranslationTableFallsBackToTheStandardOne) {
    Databases db(GetParam());
    // NA2's taxon names table 40, which the gencode file does not hold.
    std::string out = db.run({"Virus", "NA2", "seq", "1"});
    EXPECT_NE(out.find("[M00400]"), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("*") + kTable1[0] + "\n>NA2 second genome\n"), std::string::npos) << out;
}

TEST_P(SeqfetchRetrieval, FatalExitFinishesTheJob) {
    Databases db(GetParam());
    ::unlink(db.inst.install().file("taxonomy/gencode.dmp").c_str());
    RunResult r = db.inst.commandLine({"Virus", "NA1", "seq", "1"});
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 13) << r.standardOutput;
    EXPECT_NE(r.standardOutput.find("[M00012]"), std::string::npos) << r.standardOutput;
    const int job = std::atoi(db.inst.install().read("data/seqfetch.job").c_str());
    tarvex_test::ControlFileReader control(db.inst.controlFilePath());
    std::vector<int> slots = control.slotsOf(1, 0, job);
    ASSERT_EQ(slots.size(), 1u) << job;
    EXPECT_EQ(control.slot(1, 0, slots[0]).status, 2);
    EXPECT_NE(control.slot(1, 0, slots[0]).endTime, 0u);
}

INSTANTIATE_TEST_SUITE_P(FileAndMapped, SeqfetchRetrieval, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Mapped" : "FileReads"; });

}  // namespace
