// What a process loads before and around its one request: the XML parser and
// the HTTP client come in through the programs' own modules, only for a
// request that reads an XML file or fetches a URL; a module that is missing
// or cannot be loaded is reported like any fatal error.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/module_loader.h"
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

// The programs open their modules through a descriptor of the checked file.
int modulesOpened(const TracedRun& run) {
    int count = 0;
    for (std::size_t at = run.loaderLog.find("file=/proc/self/fd/"); at != std::string::npos;
         at = run.loaderLog.find("file=/proc/self/fd/", at + 1)) {
        const std::size_t end = run.loaderLog.find('\n', at);
        if (run.loaderLog.substr(at, end - at).find("dynamically loaded by") != std::string::npos) ++count;
    }
    return count;
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
        // The XML module, and never the HTTP module.
        EXPECT_EQ(modulesOpened(run), c.readsXml ? 1 : 0) << c.name;
        EXPECT_EQ(loaded(run, "libxerces-c"), c.readsXml) << c.name;
        // Debian's XML parser brings libcurl and its TLS libraries itself.
        EXPECT_EQ(loaded(run, "libcurl"), c.readsXml) << c.name;
        EXPECT_EQ(loaded(run, "libgnutls"), c.readsXml) << c.name;
    }
}

namespace fs = std::filesystem;

// A module file or folder that someone else could have written, a link, a
// file cut short, or a module that is not this build's XML module: the
// request that needs XML (security on: the command-line session file is
// written) ends with the fatal open error on the page and in the error log,
// reported with the tool's ID, and nothing of the module runs. The programs
// and the modules are copied into the installation (cgi/, lib/tarvex/), so
// that each case changes only its own copies.
TEST(StartupModules, OnlyThisBuildsModulesFromASafeLibFolderAreLoaded) {
    const fs::path buildModules = fs::path(tarvex_test::programPath("bv-taxfetch")).parent_path() / "../lib/tarvex";
    const fs::path xmlModule = buildModules / "libtarvex-xml.so";
    // A module whose declared build identity differs by one byte.
    auto otherBuild = [&](const fs::path& target) {
        std::string bytes = tarvex_test::readFile(xmlModule);
        const std::size_t at = bytes.find(brenvik::kBuildIdentity);
        ASSERT_NE(at, std::string::npos) << "the module does not hold the build identity";
        char& last = bytes[at + std::strlen(brenvik::kBuildIdentity) - 1];
        last = last == 'x' ? 'y' : 'x';
        tarvex_test::writeFile(target, bytes);
    };
    struct Case {
        const char* name;
        const char* program;
        std::function<void(const fs::path& lib)> change;  // of the sound lib/tarvex/
        const char* reason;                               // "" for the sound installation
    };
    std::vector<Case> cases = {
        {"sound installation", "bv-taxfetch", [](const fs::path&) {}, ""},
        {"module beside the program, lib/tarvex missing", "bv-taxfetch",
         [&](const fs::path& lib) {
             fs::copy_file(xmlModule, lib / "../../cgi/libtarvex-xml.so");
             fs::remove_all(lib);
         },
         "No such file or directory"},
        {"module missing, sequence tool", "bv-seqfetch", [](const fs::path& lib) { fs::remove(lib / "libtarvex-xml.so"); },
         "No such file or directory"},
        {"folder writable by all", "bv-taxfetch", [](const fs::path& lib) { fs::permissions(lib, fs::perms::all); },
         "its folder is writable by others"},
        {"folder writable by its group", "bv-taxfetch",
         [](const fs::path& lib) { fs::permissions(lib, fs::perms::group_write, fs::perm_options::add); },
         "its folder is writable by others"},
        {"module writable by all", "bv-taxfetch",
         [](const fs::path& lib) {
             fs::permissions(lib / "libtarvex-xml.so", static_cast<fs::perms>(0666));
         },
         "the file is writable by others"},
        {"module a link", "bv-taxfetch",
         [&](const fs::path& lib) {
             fs::remove(lib / "libtarvex-xml.so");
             fs::create_symlink(fs::canonical(xmlModule), lib / "libtarvex-xml.so");
         },
         "Too many levels of symbolic links"},
        {"module cut short", "bv-taxfetch",
         [](const fs::path& lib) { fs::resize_file(lib / "libtarvex-xml.so", fs::file_size(lib / "libtarvex-xml.so") / 2); },
         "cut short"},
        {"not a shared object", "bv-taxfetch",
         [](const fs::path& lib) { tarvex_test::writeFile(lib / "libtarvex-xml.so", "not a library\n"); },
         "not an ELF shared object"},
        {"HTTP module under the XML module's name", "bv-taxfetch",
         [](const fs::path& lib) {
             fs::copy_file(lib / "libtarvex-http.so", lib / "libtarvex-xml.so", fs::copy_options::overwrite_existing);
         },
         "a module of kind http, the program needs kind xml"},
        {"module of another build", "bv-taxfetch", [&](const fs::path& lib) { otherBuild(lib / "libtarvex-xml.so"); },
         "a module of another build"},
    };
    // Only root can give a file away.
    if (::geteuid() == 0)
        cases.push_back({"module of another user", "bv-taxfetch",
                         [](const fs::path& lib) { ::chown((lib / "libtarvex-xml.so").c_str(), 12345, -1); },
                         "the file belongs to user 12345, neither root nor the program's owner"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Installation inst;
        tarvex_test::SecurityOptionsSpec spec;
        spec.securityEnabled = "true";
        tarvex_test::writeSecurityOptions(inst.install().configDir(), spec);
        const std::string program = inst.install().file(std::string("cgi/") + c.program);
        fs::copy_file(tarvex_test::programPath(c.program), program);
        const fs::path lib = inst.install().file("lib/tarvex");
        fs::create_directories(lib);
        fs::permissions(lib, static_cast<fs::perms>(0755));
        for (const char* module : {"libtarvex-xml.so", "libtarvex-http.so"}) {
            fs::copy_file(buildModules / module, lib / module);
            fs::permissions(lib / module, static_cast<fs::perms>(0755));
        }
        c.change(lib);
        if (HasFatalFailure()) return;

        tarvex_test::RunRequest request;
        request.program = program;
        request.arguments = std::string(c.program) == "bv-taxfetch" ? std::vector<std::string>{"1", "Proteins", "P1"}
                                                                    : std::vector<std::string>{"Proteins", "P1", "title"};
        request.workingFolder = inst.install().cgiDir();
        const RunResult r = tarvex_test::runProgram(request);
        ASSERT_TRUE(r.exited) << "signal " << r.signal;
        const std::string log = inst.install().read("logs/errorlog.txt");
        if (*c.reason == '\0') {
            EXPECT_EQ(r.exitStatus, 0) << r.standardOutput;
            EXPECT_NE(r.standardOutput.find("P1"), std::string::npos) << r.standardOutput;
            EXPECT_EQ(log.find("M00012"), std::string::npos) << log;
            continue;
        }
        const std::string text = "Can't open " + inst.install().root() + "/cgi/../lib/tarvex/libtarvex-xml.so" +
                                 " for \"loading\". Error ";
        EXPECT_EQ(r.exitStatus, 13) << r.standardOutput;
        EXPECT_NE(r.standardOutput.find("The following serious error has occurred:"), std::string::npos);
        EXPECT_NE(r.standardOutput.find(text), std::string::npos) << r.standardOutput;
        EXPECT_NE(r.standardOutput.find(c.reason), std::string::npos) << r.standardOutput;
        const std::string job = std::string(c.program) == "bv-taxfetch" ? "-14" : "-13";
        EXPECT_NE(log.find("[M00012 - Job " + job + " - X00061:module_loader] - "), std::string::npos) << log;
        EXPECT_NE(log.find(text), std::string::npos) << log;
        EXPECT_NE(log.find(c.reason), std::string::npos) << log;
    }
}

}  // namespace
