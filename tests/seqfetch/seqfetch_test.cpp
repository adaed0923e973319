#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "request/cmdline_request.h"
#include "seqfetch/seq_retrieval.h"
#include "seqfetch/seqfetch.h"
#include "support/fake_clock.h"
#include "support/fixture_install.h"

namespace {

using namespace seqfetch;

TEST(SeqfetchFrontEnd, OutputTypeKeywords) {
    struct Case {
        const char* type;
        unsigned parts;
    } cases[] = {
        {"title", PART_TITLE},
        {"TITLES", PART_TITLE},
        {"seq", PART_SEQUENCE | PART_TITLE},
        {"Sequence", PART_SEQUENCE | PART_TITLE},
        {"all", PART_SEQUENCE | PART_TITLE | PART_REFERENCE},
        {"len", PART_LENGTH},
        {"length", PART_LENGTH},
        {"pI", PART_PI},
        {"pi", PART_PI},
        {"PI", PART_PI},
        {"se", 0},
        {"", 0},
        {"reference", 0},
        {" seq", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(partsOfOutputType(c.type), c.parts) << c.type;
}

TEST(SeqfetchFrontEnd, TitleLineNamesTheAccession) {
    struct Case {
        std::string title;
        const char* accession;
        const char* line;
    } cases[] = {
        {">sp|P1|A first\x01sp|P2|B second\x01sp|P3|C third", "P2", ">sp|P2|B second\n"},
        {">sp|P1|A first\x01sp|P2|B second", "P1", ">sp|P1|A first\n"},
        {"no marker P7 here", "P7", ">no marker P7 here\n"},
        {">one\ntwo P9\rthree", "P9", ">two P9\n"},
        {">P5 upper", "p5", ">\n"},
        {">nothing", "P1", ">\n"},
        {"", "P1", ">\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(titleLineFor(c.title.data(), c.title.size(), c.accession), c.line) << c.title;
    EXPECT_EQ(titleLineFor(nullptr, 0, "P1"), ">\n");
    // The title's length bounds the search: bytes after it are not read.
    const char buffer[] = ">A P1 B";
    EXPECT_EQ(titleLineFor(buffer, 3, "P1"), ">\n");
}

class Environment {
public:
    Environment(const char* query, const char* script) {
        set("QUERY_STRING", query);
        set("SCRIPT_NAME", script);
    }
    ~Environment() {
        unsetenv("QUERY_STRING");
        unsetenv("SCRIPT_NAME");
    }

private:
    static void set(const char* name, const char* value) {
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
};

TEST(SeqfetchFrontEnd, ModeChoice) {
    struct Case {
        const char* query;
        const char* script;
        int argc;
        RunMode mode;
    } cases[] = {
        {"SwissProt+P1+seq", "/cgi/bv-seqfetch.exe", 1, RunMode::Get},
        {"SwissProt+P1+seq", "/cgi/bv-seqfetch", 1, RunMode::Get},
        {"", "/cgi/bv-seqfetch.exe", 4, RunMode::Post},
        {" \t\x1a\r\n", "/cgi/bv-seqfetch.exe", 4, RunMode::Post},
        {"x", "/cgi/BV-SEQFETCH.EXE", 4, RunMode::CommandLine},
        {"x", "/cgi/BV-SEQFETCH.EXE", 1, RunMode::Post},
        {"x", "/cgi/bv-taxfetch.exe", 2, RunMode::CommandLine},
        {nullptr, "/cgi/bv-seqfetch.exe", 2, RunMode::CommandLine},
        {"x", nullptr, 1, RunMode::Post},
        {nullptr, nullptr, 2, RunMode::CommandLine},
        {nullptr, nullptr, 1, RunMode::Post},
        {"x", "exe", 3, RunMode::CommandLine},
    };
    for (const Case& c : cases) {
        Environment env(c.query, c.script);
        EXPECT_EQ(chooseRunMode(c.argc, ownProgramName), c.mode)
            << (c.query ? c.query : "(unset)") << " / " << (c.script ? c.script : "(unset)") << " / " << c.argc;
    }
}

// Even the version request needs a valid configuration: without a
// tarvex.dat the tries (ten seconds of them on the injected clock) end in
// M403 and status 149 before any argument is read.
TEST(SeqfetchFrontEnd, InvalidConfigurationBeforeAnyArgument) {
    tarvex_test::FixtureInstall install("seqfetch-noconfig");
    const std::string output = install.file("stdout.txt");
    auto request = [&] {
        std::fflush(stdout);
        const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0 || chdir(install.cgiDir().c_str()) != 0) _exit(2);
        clearenv();
        setenv("QUERY_STRING", "version", 1);
        setenv("SCRIPT_NAME", "/tarvex/cgi/bv-seqfetch.exe", 1);
        setenv("REQUEST_METHOD", "GET", 1);
        setenv("REMOTE_ADDR", "127.0.0.1", 1);
        tarvex_test::FakeClock clock;
        const char* argv[] = {"bv-seqfetch", nullptr};
        _exit(runSequenceCommandLine(true, 1, argv));
    };
    EXPECT_EXIT(request(), ::testing::ExitedWithCode(149), "");
    const std::string out = tarvex_test::readFile(output);
    EXPECT_EQ(out.rfind("Content-type: text/plain\n\n", 0), 0u) << out;
    EXPECT_NE(out.find("[M00403]"), std::string::npos) << out;
    EXPECT_EQ(out.find("Version"), std::string::npos) << out;
}

}  // namespace
