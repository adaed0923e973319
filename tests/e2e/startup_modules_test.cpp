// What a process loads before and around its one request: the XML parser and
// the HTTP client come in through the programs' own modules, only for a
// request that reads an XML file or fetches a URL; a module that is missing
// or cannot be loaded is reported like any fatal error.
#include <gtest/gtest.h>

#include <dirent.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/taxfetch_fixture.h"

namespace {

using taxfetch_e2e::Installation;
using tarvex_test::RunResult;

struct TracedRun {
    RunResult result;
    std::string loaderLog;  // what the dynamic loader says it opened
};

// Runs program from the installation's cgi/ folder with the dynamic loader's
// file trace written beside the installation.
TracedRun runTraced(Installation& inst, const std::string& program, const std::vector<std::string>& arguments,
              const std::string& tag) {
    const std::string traceDir = inst.install().file("trace-" + tag);
    std::filesystem::create_directories(traceDir);
    tarvex_test::RunRequest request;
    request.program = program;
    request.arguments = arguments;
    request.workingFolder = inst.install().cgiDir();
    request.environment = {{"LD_DEBUG", "files"}, {"LD_DEBUG_OUTPUT", traceDir + "/ld"}};
    TracedRun run{tarvex_test::runProgram(request), ""};
    for (const auto& entry : std::filesystem::directory_iterator(traceDir))
        run.loaderLog += inst.install().read("trace-" + tag + "/" + entry.path().filename().string());
    return run;
}

bool loaded(const TracedRun& run, const std::string& library) {
    return run.loaderLog.find("file=" + library) != std::string::npos ||
           run.loaderLog.find("/" + library) != std::string::npos;
}

TEST(StartupModules, HeavyLibrariesComeOnlyWithTheRequestsThatNeedThem) {
    Installation inst;
    const std::string taxfetch = tarvex_test::programPath("bv-taxfetch");
    const std::string seqfetch = tarvex_test::programPath("bv-seqfetch");
    struct Case {
        const char* name;
        std::string program;
        std::vector<std::string> arguments;
        bool readsXml;
        bool securityOn = false;
    };
    const std::vector<Case> cases = {
        {"version", taxfetch, {"--version"}, false},
        {"usage", seqfetch, {"SwissProt"}, false},
        {"taxonomy ID look-up", taxfetch, {"7", "Proteins", "101"}, false},
        {"error page", taxfetch, {"1", "NoSuchDatabase", "P1"}, false},
        // An accession look-up opens the session, which reads the security
        // options file, in its plain form without the XML module.
        {"accession look-up, security off", taxfetch, {"1", "Proteins", "P1"}, false},
        // With security on the command-line session is written as an XML
        // file: the XML module and its parser come in, HTTP still does not.
        {"accession look-up, security on", taxfetch, {"1", "Proteins", "P1"}, true},
        // Once written, the session file is only read, in its plain form.
        {"accession look-up, security on, session written", taxfetch, {"1", "Proteins", "P1"}, false, true},
        {"sequence look-up, security on, session written", seqfetch, {"Proteins", "P1", "title"}, false, true},
    };
    int index = 0;
    for (const Case& c : cases) {
        if (c.readsXml || c.securityOn) {
            tarvex_test::SecurityOptionsSpec spec;
            spec.securityEnabled = "true";
            tarvex_test::writeSecurityOptions(inst.install().configDir(), spec);
        }
        const TracedRun run = runTraced(inst, c.program, c.arguments, std::to_string(index++));
        ASSERT_TRUE(run.result.exited) << c.name;
        if (c.securityOn) {
            EXPECT_EQ(run.result.exitStatus, 0) << c.name << "\n" << run.result.standardOutput;
            EXPECT_NE(run.result.standardOutput.find("P1"), std::string::npos) << c.name;
        }
        // The trace must exist, or the checks below prove nothing.
        ASSERT_TRUE(loaded(run, "libc.so")) << c.name << "\n" << run.loaderLog.substr(0, 2000);
        EXPECT_EQ(loaded(run, "libtarvex-xml.so"), c.readsXml) << c.name;
        EXPECT_EQ(loaded(run, "libxerces-c"), c.readsXml) << c.name;
        // Debian's XML parser brings libcurl and its TLS libraries itself.
        EXPECT_EQ(loaded(run, "libcurl"), c.readsXml) << c.name;
        EXPECT_EQ(loaded(run, "libgnutls"), c.readsXml) << c.name;
        EXPECT_FALSE(loaded(run, "libtarvex-http.so")) << c.name;
    }
}

// The security files as a server holds them: the options file with CR LF
// line ends, a user's session file written by the server (CR LF too), and
// the command-line session that the programs wrote themselves. Only the
// first run, which writes that session, needs the XML module.
TEST(StartupModules, SecurityFilesInTheServersFormAreReadWithoutTheXmlModule) {
    Installation inst;
    tarvex_test::SecurityOptionsSpec spec;
    spec.securityEnabled = "true";
    tarvex_test::writeSecurityOptions(inst.install().configDir(), spec);
    std::string options = tarvex_test::securityOptionsXml(spec);
    for (std::size_t at = 0; (at = options.find('\n', at)) != std::string::npos; at += 2) options.insert(at, "\r");
    inst.install().write("config/security_options.xml", options);
    const std::string session = tarvex_test::sessionFileXml(tarvex_test::userSession(20, {{10, 10, {"Proteins"}}}));
    ASSERT_NE(session.find("\r\n"), std::string::npos);
    inst.install().write("sessions/alice", session);

    const std::string taxfetch = tarvex_test::programPath("bv-taxfetch");
    const std::string seqfetch = tarvex_test::programPath("bv-seqfetch");
    struct Case {
        const char* name;
        std::string program;
        std::vector<std::string> arguments;
        bool readsXml;
    };
    const std::vector<Case> cases = {
        {"command-line session written", taxfetch, {"1", "Proteins", "P1"}, true},
        {"accession look-up, command-line session", taxfetch, {"1", "Proteins", "P1"}, false},
        {"sequence look-up, command-line session", seqfetch, {"Proteins", "P1", "title"}, false},
        {"sequence look-up, the server's session", seqfetch, {"Proteins", "P1", "title", "--sessionID", "alice"}, false},
    };
    int index = 0;
    for (const Case& c : cases) {
        const TracedRun run = runTraced(inst, c.program, c.arguments, "server-" + std::to_string(index++));
        ASSERT_TRUE(run.result.exited) << c.name;
        EXPECT_EQ(run.result.exitStatus, 0) << c.name << "\n" << run.result.standardOutput;
        EXPECT_NE(run.result.standardOutput.find("P1"), std::string::npos) << c.name;
        ASSERT_TRUE(loaded(run, "libc.so")) << c.name << "\n" << run.loaderLog.substr(0, 2000);
        EXPECT_EQ(loaded(run, "libtarvex-xml.so"), c.readsXml) << c.name;
        EXPECT_EQ(loaded(run, "libxerces-c"), c.readsXml) << c.name;
    }
    EXPECT_NE(inst.install().read("sessions/con_consoleaccessx").find("\r\n"), std::string::npos);
}

// A copy of the program in cgi/ with no module beside it (the installed
// lib/tarvex/ folder does not exist), or with a module that is no shared
// object: the request that needs XML (security on: the command-line session
// file is written) ends with the fatal open error on the page and in the
// error log.
TEST(StartupModules, AMissingOrBrokenModuleIsAFatalError) {
    struct Case {
        const char* name;
        const char* moduleContent;  // null: no module file
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"missing", nullptr, "cannot open shared object file: No such file or directory"},
        {"not a shared object", "not a library\n", "file too short"},
    };
    for (const Case& c : cases) {
        Installation inst;
        tarvex_test::SecurityOptionsSpec spec;
        spec.securityEnabled = "true";
        tarvex_test::writeSecurityOptions(inst.install().configDir(), spec);
        const std::string program = inst.install().file("cgi/bv-taxfetch");
        std::filesystem::copy_file(tarvex_test::programPath("bv-taxfetch"), program);
        std::string modulePath = inst.install().root() + "/cgi/../lib/tarvex/libtarvex-xml.so";
        if (c.moduleContent != nullptr) {
            inst.install().write("cgi/libtarvex-xml.so", c.moduleContent);
            modulePath = inst.install().file("cgi/libtarvex-xml.so");
        }
        tarvex_test::RunRequest request;
        request.program = program;
        request.arguments = {"1", "Proteins", "P1"};
        request.workingFolder = inst.install().cgiDir();
        const RunResult r = tarvex_test::runProgram(request);

        const std::string text = "Can't open " + modulePath + " for \"loading\". Error ";
        EXPECT_TRUE(r.exited) << c.name;
        EXPECT_EQ(r.exitStatus, 13) << c.name << "\n" << r.standardOutput;
        EXPECT_NE(r.standardOutput.find("The following serious error has occurred:"), std::string::npos) << c.name;
        EXPECT_NE(r.standardOutput.find(text), std::string::npos) << c.name << "\n" << r.standardOutput;
        EXPECT_NE(r.standardOutput.find(c.reason), std::string::npos) << c.name << "\n" << r.standardOutput;
        const std::string log = inst.install().read("logs/errorlog.txt");
        EXPECT_NE(log.find("[M00012 - "), std::string::npos) << c.name << "\n" << log;
        EXPECT_NE(log.find(text), std::string::npos) << c.name << "\n" << log;
    }
}

}  // namespace
