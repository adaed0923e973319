// bv-taxfetch commands on an accession (1 to 4 and 9), on the command line
// and through CGI GET: the entry's taxonomy IDs and accessions, the pages
// with names, lineages and description lines, the translation table, the
// job slot, and the fatal reports of the session and control-file checks.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "e2e/taxfetch_fixture.h"

using namespace taxfetch_e2e;

namespace {

const std::string kOtherNames101 = " (Bacillus coli, E. coli &lt;K-12&gt; &amp; &quot;friends&quot;, ECOLI)";
const std::string kDescriptionP1 =
    "<HR><BR><B>Description lines:</B><BR>&gt;P1 Escherichia coli &lt;b&gt;protein&lt;/b&gt; &amp; more<BR>"
    "P1B alias &quot;two&quot;<BR>";
const std::string kNotFound = std::string(kHtmlHeader) + "Taxonomy ID not found\n";

std::string plain(const std::string& text) { return kHtmlHeader + text; }

}  // namespace

TEST(TaxfetchAccession, CommandsOnTheEntry) {
    Installation inst;
    const std::string command4 =
        pageHead("P1") + "<B>P1 Escherichia coli</B>" + kOtherNames101 +
        "<BR>Escherichia coli->Escherichia->Bacteria->root<BR><BR>"
        "<B>P1B Escherichia fergusonii</B><BR>Escherichia fergusonii->Escherichia->Bacteria->root<BR><BR>" +
        kDescriptionP1 + kPageTail;
    const std::vector<CommandCase> cases = {
        {"command 1: one line per ID and accession",
         {"1", "Proteins", "P1"},
         plain("P1 101 Escherichia coli\nP1B 102 Escherichia fergusonii\n")},
        {"command 1 by the second accession answers for the entry",
         {"1", "Proteins", "P1B"},
         plain("P1 101 Escherichia coli\nP1B 102 Escherichia fergusonii\n")},
        {"command 1: three IDs repeat the one accession",
         {"1", "Proteins", "P3"},
         plain("P3 101 Escherichia coli\nP3 2 Bacteria\nP3 999 Unknown species\n")},
        {"command 1: a position without taxonomy", {"1", "Proteins", "P4"}, plain("P4\n")},
        {"command 2 with the description lines",
         {"2", "Proteins", "P1"},
         pageHead("P1") + "P1 Escherichia coli<BR>P1B Escherichia fergusonii<BR>" + kDescriptionP1 + kPageTail},
        {"command 3 with other names",
         {"3", "Proteins", "P1"},
         pageHead("P1") + "<B>P1 Escherichia coli</B>" + kOtherNames101 + "<BR><B>P1B Escherichia fergusonii</B><BR>" +
             kDescriptionP1 + kPageTail},
        {"command 4 with lineages", {"4", "Proteins", "P1"}, command4},
        {"command 4 with an unknown ID and a one-line title",
         {"4", "Proteins", "P8"},
         pageHead("P8") + "<B>P8 Unknown species</B><BR><BR><BR>" +
             "<HR><BR><B>Description lines:</B><BR>&gt;P8 outside<BR>" + kPageTail},
        {"command 9: the table of the first ID", {"9", "Proteins", "P1"}, plain("11\n")},
        {"command 9: a table without gencode is still named", {"9", "Proteins", "P6"}, plain("7\n")},
        {"command 9: the root prints nothing", {"9", "Proteins", "P5"}, plain("")},
        {"command 9: an ID outside the tree", {"9", "Proteins", "P8"}, plain("Table ID not found\n")},
        {"quotes are cut from the accession", {"1", "Proteins", "'P4'"}, plain("P4\n")},
    };
    expectCommandOutputs(inst, cases);
    // An accession the database lacks: no page, for every accession command.
    for (const char* command : {"1", "2", "3", "4", "9"}) {
        SCOPED_TRACE(command);
        EXPECT_EQ(inst.commandLine({command, "Proteins", "NOPE"}).standardOutput, kNotFound);
    }
    // The second run answers from the caches with the same page.
    EXPECT_EQ(inst.commandLine({"4", "Proteins", "P1"}).standardOutput, command4);
}

TEST(TaxfetchAccession, GetAnswersLikeTheCommandLineAndFinishesTheJob) {
    Installation inst;
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"4", "Proteins", "P1"}, std::vector<std::string>{"1", "Proteins", "P3"}}) {
        const auto [cmd, get] = inst.both(arguments);
        EXPECT_EQ(get.exitStatus, 0);
        EXPECT_EQ(cmd.standardOutput, get.standardOutput);
        EXPECT_NE(get.standardOutput, kNotFound);
    }
    // Four look-ups, four finished jobs (numbers from 101 on); commands on
    // a taxonomy ID take a number but register no job.
    EXPECT_EQ(inst.commandLine({"5", "Proteins", "101"}).exitStatus, 0);
    tarvex_test::ControlFileReader control(inst.controlFilePath());
    for (int job : {101, 102, 103, 104}) {
        SCOPED_TRACE(job);
        const std::vector<int> slots = control.slotsOf(0, 0, job);
        ASSERT_EQ(slots.size(), 1u);
        EXPECT_EQ(control.slot(0, 0, slots[0]).status, 2);
        EXPECT_NE(control.slot(0, 0, slots[0]).endTime, 0u);
    }
    EXPECT_TRUE(control.slotsOf(0, 0, 105).empty());
}

TEST(TaxfetchAccession, FatalReportsOfTheAccessionRoad) {
    {
        Installation inst;
        tarvex_test::SecurityOptionsSpec spec;
        tarvex_test::writeSecurityOptions(inst.install().configDir(), spec);
        // An unknown session, then a user who may search nothing.
        const auto [cmd, get] = inst.both({"1", "Proteins", "P1", "--sessionID", "nosuchsession"});
        for (const RunResult* r : {&cmd, &get}) {
            EXPECT_EQ(r->exitStatus, 186);
            EXPECT_NE(r->standardOutput.find("[M00440]"), std::string::npos) << r->standardOutput;
        }
        tarvex_test::writeSessionFile(inst.install().sessionsDir(), "carol", tarvex_test::userSession(8));
        const RunResult r = inst.commandLine({"9", "Proteins", "P1", "--sessionID", "carol"});
        EXPECT_EQ(r.exitStatus, 189);
        EXPECT_NE(r.standardOutput.find("[M00443]"), std::string::npos) << r.standardOutput;
        // Commands on a taxonomy ID check no session.
        EXPECT_EQ(inst.commandLine({"5", "Proteins", "101", "--sessionID", "nosuchsession"}).standardOutput,
                  pageHead("101") + "Escherichia coli<BR>" + kPageTail);
    }
    {
        // The job is registered under the database text as given: a prefix
        // that chose the database is no name of the control file.
        Installation inst;
        const RunResult r = inst.commandLine({"1", "pro", "P1"});
        EXPECT_EQ(r.exitStatus, 28);
        EXPECT_NE(r.standardOutput.find("[M00027]"), std::string::npos) << r.standardOutput;
    }
    {
        // No monitor: the control file's mapping is missing.
        Installation inst(false);
        const RunResult r = inst.commandLine({"1", "Proteins", "P1"});
        EXPECT_EQ(r.exitStatus, 73);
        EXPECT_NE(r.standardOutput.find("[M00327]"), std::string::npos) << r.standardOutput;
    }
}

TEST(TaxfetchAccession, BrokenDatabaseFilesStillFinishTheJob) {
    // The database's files are gone: the look-up fails after the job was
    // registered, and the job slot must not stay running.
    Installation inst;
    for (const char* file : {"sequence/Proteins/Proteins_1.i00", "sequence/Proteins/Proteins_1.a00",
                             "sequence/Proteins/Proteins_1.b00"})
        std::remove(inst.install().file(file).c_str());
    const RunResult r = inst.commandLine({"1", "Proteins", "P1"});
    // A missing index file is fatal (message 12); the job manager's fatal
    // callback finishes the slot on the way out.
    EXPECT_EQ(r.exitStatus, 13);
    EXPECT_NE(r.standardOutput.find("[M00012]"), std::string::npos) << r.standardOutput;
    tarvex_test::ControlFileReader control(inst.controlFilePath());
    const std::vector<int> slots = control.slotsOf(0, 0, 101);
    ASSERT_EQ(slots.size(), 1u) << r.standardOutput;
    EXPECT_EQ(control.slot(0, 0, slots[0]).status, 2) << r.standardOutput;
}
