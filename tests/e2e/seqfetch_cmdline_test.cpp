// bv-seqfetch run as a program: command line and CGI GET against a fixture
// installation.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "e2e/seqfetch_fixture.h"
#include "support/database_writer.h"

namespace {

using seqfetch_e2e::Installation;
using seqfetch_e2e::kHeader;
using tarvex_test::RunResult;

const std::string kUsageTail =
    " must be \n"
    "   <db> \n"
    "   <accession>\n"
    "   <type>\n"
    "   <frame>\n"
    "   --sessionID session\n"
    "where, db is the name of the database 'family' - eg OWL\n"
    "       accession is the accession string - e.g. TNU23504\n"
    "       type is either seq, all, len, title or pI\n"
    "       frame (NA only) is 1 to 6 for a translation or 0 for untranslated\n"
    "       --sessionID is an optional session identifier.\n\n";

std::string usage(const std::string& name) {
    return std::string(kHeader) + "Command line parameter for " + name + kUsageTail;
}

void expectExit(const RunResult& r, int status, const std::string& context) {
    EXPECT_TRUE(r.exited) << context;
    EXPECT_EQ(r.exitStatus, status) << context << "\n" << r.standardOutput << r.standardError;
}

TEST(SeqfetchCommandLine, Version) {
    Installation inst;
    RunResult cmd = inst.commandLine({"--version"});
    expectExit(cmd, 0, "--version");
    EXPECT_EQ(cmd.standardOutput, std::string(kHeader) + tarvex_test::programPath("bv-seqfetch") +
                                      " - Version 2.7.0.3\n");

    for (const char* query : {"version", "--version"}) {
        RunResult get = inst.get(query);
        expectExit(get, 0, query);
        EXPECT_EQ(get.standardOutput, std::string(kHeader) + "bv-seqfetch.exe - Version 2.7.0.3\n");
    }
    // "version" is a version request only in GET mode; case matters.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"version"}, {"--Version"}}) {
        RunResult r = inst.commandLine(args);
        expectExit(r, 1, args[0]);
        EXPECT_EQ(r.standardOutput, usage(tarvex_test::programPath("bv-seqfetch")));
    }
    // The script name without ".exe" is the program's name on this platform.
    RunResult plain = inst.get("version", "/cgi/bv-seqfetch");
    expectExit(plain, 0, "plain script name");
    EXPECT_EQ(plain.standardOutput, std::string(kHeader) + "bv-seqfetch.exe - Version 2.7.0.3\n");
}

TEST(SeqfetchCommandLine, UsageForBadArguments) {
    Installation inst;
    const std::string own = tarvex_test::programPath("bv-seqfetch");
    const std::vector<std::vector<std::string>> bad = {
        {"SwissProt"},
        {"SwissProt", "P1"},
        {"SwissProt", "P1", "seq", "7"},
        {"SwissProt", "P1", "seq", "-1"},
        {"SwissProt", "P1", "seq", "01"},
        {"SwissProt", "P1", "seq", ""},
        {"SwissProt", "P1", "seq", "--sessionid", "abc"},
        {"SwissProt", "P1", "seq", "1", "--sessionId", "abc"},
        {"SwissProt", "P1", "seq", "x", "--sessionID", "abc"},
        {"SwissProt", "P1", "seq", "1", "--sessionID", "abc", "extra"},
    };
    for (const auto& args : bad) {
        std::string text;
        for (const auto& a : args) text += a + " ";
        auto [cmd, get] = inst.both(args);
        expectExit(cmd, 1, "cmd " + text);
        EXPECT_EQ(cmd.standardOutput, usage(own)) << text;
        expectExit(get, 1, "get " + text);
        EXPECT_EQ(get.standardOutput, usage("bv-seqfetch.exe")) << text;
    }

    // More arguments than the vector holds: nothing is accepted.
    std::vector<std::string> many(100, "x");
    RunResult r = inst.commandLine(many);
    expectExit(r, 1, "101 arguments");
    EXPECT_EQ(r.standardOutput, usage("bv-seqfetch.exe"));
    std::string query = "SwissProt+P1+seq";
    for (int i = 0; i < 120; ++i) query += "+x";
    RunResult g = inst.get(query);
    expectExit(g, 1, "long query");
    EXPECT_EQ(g.standardOutput, usage("bv-seqfetch.exe"));
}

// The real wait for the configuration: a tarvex.dat that appears while the
// program looks for it is found, and the request answered. (That the tries
// end in M403 after ten seconds is tested on the injected clock.)
TEST(SeqfetchCommandLine, ConfigurationThatAppearsDuringTheWaitIsFound) {
    Installation inst;
    const std::string config = inst.install().file("config/tarvex.dat");
    ASSERT_EQ(::rename(config.c_str(), inst.install().file("config/later.dat").c_str()), 0);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        ::rename(inst.install().file("config/later.dat").c_str(), config.c_str());
    });
    RunResult r = inst.get("version");
    writer.join();
    expectExit(r, 0, "tarvex.dat written during the wait");
    EXPECT_EQ(r.standardOutput, std::string(kHeader) + "bv-seqfetch.exe - Version 2.7.0.3\n");
}

TEST(SeqfetchCommandLine, FatalStatusesOfTheRetrieval) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int status;
        const char* message;
    };
    {
        // No monitor: the control file's mapping is missing.
        Installation inst(false);
        inst.control().addEntry("SwissProt");
        inst.writeControlFile();
        auto [cmd, get] = inst.both({"SwissProt", "P1", "seq"});
        for (const RunResult* r : {&cmd, &get}) {
            expectExit(*r, 73, "no monitor");
            EXPECT_NE(r->standardOutput.find("[M00327]"), std::string::npos) << r->standardOutput;
        }
    }
    {
        Installation inst;
        // A database the control file does not list; a prefix of a listed
        // name is not expanded.
        for (const char* db : {"Nothing", "Swiss"}) {
            auto [cmd, get] = inst.both({db, "P1", "seq"});
            for (const RunResult* r : {&cmd, &get}) {
                expectExit(*r, 28, db);
                EXPECT_NE(r->standardOutput.find("[M00027]"), std::string::npos) << r->standardOutput;
            }
        }
    }
    {
        Installation inst;
        inst.securityOn();
        // An unknown session, with and without a frame before it; then a
        // user who may search nothing.
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"SwissProt", "P1", "seq", "--sessionID", "nosuchsession"},
              {"SwissProt", "P1", "seq", "2", "--sessionID", "nosuchsession"}}) {
            auto [cmd, get] = inst.both(args);
            for (const RunResult* r : {&cmd, &get}) {
                expectExit(*r, 186, "invalid session, " + std::to_string(args.size()) + " arguments");
                EXPECT_NE(r->standardOutput.find("[M00440]"), std::string::npos) << r->standardOutput;
            }
        }
        tarvex_test::writeSessionFile(inst.install().sessionsDir(), "carol", tarvex_test::userSession(8));
        auto [cmd2, get2] = inst.both({"SwissProt", "P1", "seq", "--sessionID", "carol"});
        for (const RunResult* r : {&cmd2, &get2}) {
            expectExit(*r, 189, "not permitted");
            EXPECT_NE(r->standardOutput.find("[M00443]"), std::string::npos) << r->standardOutput;
            EXPECT_NE(r->standardOutput.find("Test User [8]"), std::string::npos) << r->standardOutput;
        }
    }
}

TEST(SeqfetchCommandLine, EmptyAccessionTakesNoJob) {
    Installation inst;
    auto [cmd, get] = inst.both({"SwissProt", "", "seq"});
    for (const RunResult* r : {&cmd, &get}) {
        expectExit(*r, 0, "empty accession");
        EXPECT_EQ(r->standardOutput, kHeader);
    }
    EXPECT_EQ(inst.install().read("data/seqfetch.job"), "");
}

}  // namespace

namespace {

TEST(SeqfetchCommandLine, JobNumberAndFinishedSlot) {
    Installation inst;
    tarvex_test::DatabaseWriter db("SwissProt", inst.install().file("sequence/SwissProt"));
    ASSERT_TRUE(db.setFasta(">P1 one\nMKV\n").write()) << db.error();
    db.fillControlEntry(inst.control(), 0, false);
    inst.writeControlFile();
    RunResult cmd = inst.commandLine({"SwissProt", "NOSUCHACC", "seq"});
    expectExit(cmd, 0, "not found, command line");
    EXPECT_EQ(cmd.standardOutput, kHeader);
    EXPECT_EQ(inst.install().read("data/seqfetch.job").substr(0, 3), "101");
    RunResult get = inst.get("SwissProt+NOSUCHACC+title");
    expectExit(get, 0, "not found, GET");
    EXPECT_EQ(get.standardOutput, kHeader);
    EXPECT_EQ(inst.install().read("data/seqfetch.job").substr(0, 3), "102");

    tarvex_test::ControlFileReader control(inst.controlFilePath());
    for (int job : {101, 102}) {
        std::vector<int> slots = control.slotsOf(0, 0, job);
        ASSERT_EQ(slots.size(), 1u) << job;
        const brenvik::JobSlot& slot = control.slot(0, 0, slots[0]);
        EXPECT_EQ(slot.status, 2) << job;
        EXPECT_NE(slot.endTime, 0u) << job;
        EXPECT_EQ(brenvik::fieldText(slot.task), "SEQFETCH");
        EXPECT_EQ(brenvik::fieldText(slot.description), "Getting sequence");
        EXPECT_EQ(brenvik::fieldText(slot.requestKind), "GET");
    }
    // The other database's entry is untouched.
    EXPECT_TRUE(control.slotsOf(1, 0, 101).empty());
}

}  // namespace
