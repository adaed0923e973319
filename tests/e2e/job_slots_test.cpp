// Job slots under the accidents of a real web server: a client that hangs up
// in the middle of the answer, processes killed while their job runs, and an
// error log that cannot be written. No slot may stay running for good.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e/seqfetch_fixture.h"
#include "e2e/taxfetch_fixture.h"
#include "support/database_writer.h"

namespace {

using tarvex_test::ControlFileReader;
using tarvex_test::RunRequest;
using tarvex_test::RunResult;

const std::string kProtein = "MKVLAAGIVGLLLAHHHRKDEC";
const std::string kBases = "ATGGCCATTGTAATGGGCCGCTGAAAGGGTGCCCGATAGA";

// bv-seqfetch's installation with a protein database (entry 0) and a
// nucleic-acid one whose translation needs the gencode file (entry 1).
class SequenceInstall {
public:
    SequenceInstall() {
        tarvex_test::FixtureInstall& install = inst.install();
        install.write("taxonomy/nodes.dmp",
                      "1\t|\t1\t|\tno rank\t|\t\t|\t8\t|\t0\t|\t1\t|\t0\t|\t0\t|\t0\t|\t0\t|\t0\t|\t\t|\n");
        install.write("taxonomy/gencode.dmp", tarvex_test::taxonomyFixture("gencode.dmp"));
        tarvex_test::DatabaseWriter protein("SwissProt", install.file("sequence/SwissProt"));
        protein.setFasta(">P12345 Alpha protein\n" + kProtein + "\n").setParseRule(1);
        EXPECT_TRUE(protein.write()) << protein.error();
        tarvex_test::DatabaseWriter nucleic("Virus", install.file("sequence/Virus"));
        nucleic.setFasta(">NA1 genome\n" + kBases + "\n").setNucleic(true).setTaxonomySection(2).setTaxIds(0, {1});
        EXPECT_TRUE(nucleic.write()) << nucleic.error();
        protein.fillControlEntry(inst.control(), 0, false);
        nucleic.fillControlEntry(inst.control(), 1, false);
        inst.writeControlFile();
    }

    RunRequest commandLine(const std::vector<std::string>& arguments) {
        return tarvex_test::commandLineRequest("bv-seqfetch", inst.install().cgiDir(), arguments);
    }
    RunRequest get(const std::string& query) {
        return tarvex_test::getRequest("bv-seqfetch", inst.install().cgiDir(), query);
    }
    RunRequest post(const std::vector<std::string>& accessions) {
        std::string list;
        for (const std::string& a : accessions) list += (list.empty() ? "\"" : " \"") + a + "\"";
        const std::string body = "--XX\r\nContent-Disposition: form-data; name=\"DB\"\r\n\r\nSwissProt\r\n"
                                 "--XX\r\nContent-Disposition: form-data; name=\"ACCESSION\"\r\n\r\n" +
                                 list + "\r\n--XX--\r\n";
        return inst.postRequest(body);
    }

    seqfetch_e2e::Installation inst;
};

// Every slot of every half of the control file that still reads running.
std::vector<std::string> runningSlots(const std::string& controlPath) {
    ControlFileReader control(controlPath);
    std::vector<std::string> running;
    for (int e = 0; e < control.entryCount(); ++e)
        for (int h = 0; h < 2; ++h)
            for (int i = 0; i < brenvik::kJobSlotsPerHalf; ++i) {
                const brenvik::JobSlot& slot = control.slot(e, h, i);
                if (slot.jobNumber != 0 && slot.endTime == 0)
                    running.push_back("entry " + std::to_string(e) + " half " + std::to_string(h) + " slot " +
                                      std::to_string(i) + " job " + std::to_string(slot.jobNumber));
            }
    return running;
}

// The process ID of a child that has ended and been waited for: no process
// carries it now (unless the system hands it out again at once).
pid_t deadProcessId() {
    pid_t child = ::fork();
    if (child == 0) _exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

// A client closes its end right after the content-type line, in every mode
// and on the road to an answer as well as to a fatal page: the program goes
// on to its end and finishes the job it registered.
TEST(JobSlots, AClientThatHangsUpLeavesNoSlotRunning) {
    SequenceInstall db;
    ::unlink(db.inst.install().file("taxonomy/gencode.dmp").c_str());  // NA1 in frame 1 is fatal M12
    const std::string header = seqfetch_e2e::kHeader;
    struct Case {
        const char* what;
        RunRequest request;
        std::string headerLine;
    } cases[] = {
        {"command line, answer", db.commandLine({"SwissProt", "P12345", "all"}), header},
        {"GET, answer", db.get("SwissProt+P12345+seq"), header},
        {"command line, fatal page", db.commandLine({"Virus", "NA1", "seq", "1"}), header},
        {"GET, fatal page", db.get("Virus+NA1+seq+1"), header},
        {"POST, answer", db.post({"P12345"}), "Content-type: text/xml\n\n"},
        {"POST, error element", db.post({"NOSUCH", "P12345"}), "Content-type: text/xml\n\n"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.request.hangUpAfter = c.headerLine;
        const RunResult r = tarvex_test::runProgram(c.request);
        EXPECT_EQ(r.signal, 0) << "killed by signal " << r.signal;
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(runningSlots(db.inst.controlFilePath()), std::vector<std::string>{});
    }
    // Every run took a job.
    EXPECT_EQ(std::atoi(db.inst.install().read("data/seqfetch.job").c_str()), 106);
}

TEST(JobSlots, ATaxonomyClientThatHangsUpLeavesNoSlotRunning) {
    taxfetch_e2e::Installation inst;
    RunRequest command;
    command.program = tarvex_test::programPath("bv-taxfetch");
    command.arguments = {"4", "Proteins", "P1"};
    command.workingFolder = inst.install().cgiDir();
    command.hangUpAfter = "Content-type: text/html\n\n";
    RunRequest post = taxfetch_e2e::postRequest(inst.install().cgiDir(), {{"DB", "Proteins"}, {"ACCESSION", "P1"}});
    post.hangUpAfter = "Content-type: text/xml\n\n";
    for (const RunRequest* request : {&command, &post}) {
        const RunResult r = tarvex_test::runProgram(*request);
        EXPECT_EQ(r.signal, 0) << "killed by signal " << r.signal;
        EXPECT_EQ(runningSlots(inst.controlFilePath()), std::vector<std::string>{});
    }
}

// A half full of running slots: those of processes that no longer exist are
// taken again (one monitor-log line each), those of live processes never are.
TEST(JobSlots, SlotsOfDeadProcessesAreReclaimedAndLiveOnesKept) {
    struct Case {
        const char* what;
        bool dead;
    } cases[] = {{"dead processes", true}, {"live processes", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SequenceInstall db;
        const pid_t pid = c.dead ? deadProcessId() : ::getpid();
        db.inst.control().fillRunning(0, 0);
        for (int i = 0; i < brenvik::kJobSlotsPerHalf; ++i) {
            brenvik::JobSlot& slot = db.inst.control().half(0, 0).slots[i];
            slot.processId = pid;
            slot.nodeIndex = 0;
            // Slot 7 started first: it counts as the one that ended first.
            slot.startTime = i == 7 ? 1000 : 2000 + i;
        }
        db.inst.writeControlFile();
        const RunResult r = tarvex_test::runProgram(db.commandLine({"SwissProt", "P12345", "title"}));
        const std::string monitorLog = db.inst.install().read("logs/monitor.log");
        const int job = std::atoi(db.inst.install().read("data/seqfetch.job").c_str());
        ControlFileReader control(db.inst.controlFilePath());
        if (c.dead) {
            EXPECT_EQ(r.exitStatus, 0);
            EXPECT_EQ(r.standardOutput, std::string(seqfetch_e2e::kHeader) + ">P12345 Alpha protein\n");
            ASSERT_EQ(control.slotsOf(0, 0, job), std::vector<int>{7});
            EXPECT_EQ(control.slot(0, 0, 7).status, 2);
            EXPECT_NE(monitorLog.find(" - Job slot 7 of SwissProt reclaimed: process " + std::to_string(pid) +
                                      " of job 1007 no longer exists\n"),
                      std::string::npos)
                << monitorLog;
            EXPECT_EQ(std::count(monitorLog.begin(), monitorLog.end(), '\n'), 1) << monitorLog;
        } else {
            EXPECT_EQ(r.exitStatus, 52);
            EXPECT_NE(r.standardOutput.find("[M00051]"), std::string::npos) << r.standardOutput;
            EXPECT_TRUE(control.slotsOf(0, 0, job).empty());
            EXPECT_EQ(monitorLog.find("reclaimed"), std::string::npos) << monitorLog;
        }
    }
}

// With the error log out of reach, its entries reach the web server's error
// log through standard error, each once.
TEST(JobSlots, AnErrorLogThatCannotBeOpenedGoesToStandardError) {
    SequenceInstall db;
    std::string dat = seqfetch_e2e::tarvexDat();
    dat.replace(dat.find("../logs/errorlog.txt"), 20, "../nologs/errorlog.txt");
    db.inst.install().write("config/tarvex.dat", dat);
    const RunResult r = tarvex_test::runProgram(db.commandLine({"Nosuch", "P12345", "seq"}));
    EXPECT_EQ(r.exitStatus, 28);
    const std::string entry = "Error [M00027 - Job ";
    ASSERT_NE(r.standardError.find(entry), std::string::npos) << r.standardError;
    EXPECT_EQ(r.standardError.find(entry), r.standardError.rfind(entry)) << r.standardError;
    EXPECT_NE(r.standardError.find("   - Sorry, the database (Nosuch) is not currently available"), std::string::npos)
        << r.standardError;
}

}  // namespace
