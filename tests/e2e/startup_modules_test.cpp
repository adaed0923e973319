// What a process loads before and around its one request: the XML parser and
// the HTTP client come in through the programs' own modules, only for a
// request that reads an XML file or fetches a URL; a module that is missing
// or cannot be loaded is reported like any fatal error.
#include <gtest/gtest.h>

#include <dirent.h>
#include <elf.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/module_loader.h"
#include "e2e/taxfetch_fixture.h"
#include "support/scoped_environment.h"

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

// The programs open their modules through a descriptor of the checked file
// ("/proc/<pid>/fd/<n>").
int modulesOpened(const TracedRun& run) {
    int count = 0;
    std::size_t start = 0;
    for (std::size_t end; (end = run.loaderLog.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = run.loaderLog.substr(start, end - start);
        const std::size_t file = line.find("file=/proc/");
        if (file != std::string::npos && line.find("/fd/", file) != std::string::npos &&
            line.find("dynamically loaded by") != std::string::npos)
            ++count;
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
        EXPECT_EQ(modulesOpened(run), c.readsXml ? 1 : 0) << c.name;
        EXPECT_EQ(loaded(run, "libxerces-c"), c.readsXml) << c.name;
    }
    EXPECT_NE(inst.install().read("sessions/con_consoleaccessx").find("\r\n"), std::string::npos);
}

namespace fs = std::filesystem;

// Where a 64-bit ELF file's dynamic section starts; 0 when it has none.
uint64_t dynamicSectionOffset(const fs::path& file) {
    const std::string bytes = tarvex_test::readFile(file);
    Elf64_Ehdr header;
    if (bytes.size() < sizeof header) return 0;
    std::memcpy(&header, bytes.data(), sizeof header);
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment;
        const uint64_t at = header.e_phoff + uint64_t{i} * sizeof segment;
        if (at > bytes.size() || sizeof segment > bytes.size() - at) return 0;
        std::memcpy(&segment, bytes.data() + at, sizeof segment);
        if (segment.p_type == PT_DYNAMIC) return segment.p_offset;
    }
    return 0;
}

// A module file, or a folder from it up to "/", that someone else could
// have written, a link, a file cut short, or a module that is not this
// build's XML module: the request that needs XML (security on: the
// command-line session file is written) ends with the fatal open error on
// the page and in the error log, reported with the tool's ID, and nothing of
// the module runs. The programs and the modules are copied into the
// installation (cgi/, lib/tarvex/), so that each case changes only its own
// copies; "@" in a reason stands for the installation's folder.
TEST(StartupModules, OnlyThisBuildsModulesFromASafeLibFolderAreLoaded) {
    const std::string base = tarvex_test::moduleSafeFolder();
    const fs::path buildModules = fs::path(tarvex_test::programPath("bv-taxfetch")).parent_path() / "../lib/tarvex";
    const fs::path xmlModule = buildModules / "libtarvex-xml.so";
    // A module whose declared build identity differs by one byte (every copy
    // of the text changed, its note and debugging data included).
    auto otherBuild = [&](const fs::path& target) {
        std::string bytes = tarvex_test::readFile(xmlModule);
        const std::string identity = brenvik::kBuildIdentity;
        ASSERT_NE(bytes.find(identity), std::string::npos) << "the module does not hold the build identity";
        for (std::size_t at = bytes.find(identity); at != std::string::npos; at = bytes.find(identity, at + 1))
            bytes[at + identity.size() - 1] = identity.back() == 'x' ? 'y' : 'x';
        tarvex_test::writeFile(target, bytes);
    };
    // lib/tarvex moved to folder (under the installation) and a link to it
    // put in its place.
    auto linkedTo = [](const fs::path& lib, const std::string& folder) {
        const fs::path target = lib.parent_path().parent_path() / folder;
        fs::create_directories(target.parent_path());
        fs::rename(lib, target);
        fs::create_directory_symlink("../" + folder, lib);
    };
    struct Case {
        const char* name;
        const char* program;
        std::function<void(const fs::path& lib)> change;  // of the sound lib/tarvex/
        std::string reason;                               // "" for the sound installation
    };
    const std::string writable = " is writable by its group or others (chmod go-w ";
    std::vector<Case> cases = {
        {"sound installation", "bv-taxfetch", [](const fs::path&) {}, ""},
        {"lib/tarvex a link to a safe folder", "bv-taxfetch",
         [&](const fs::path& lib) { linkedTo(lib, "modules/tarvex"); }, ""},
        {"module beside the program, lib/tarvex missing", "bv-taxfetch",
         [&](const fs::path& lib) {
             fs::copy_file(xmlModule, lib / "../../cgi/libtarvex-xml.so");
             fs::remove_all(lib);
         },
         "No such file or directory"},
        {"module missing, sequence tool", "bv-seqfetch", [](const fs::path& lib) { fs::remove(lib / "libtarvex-xml.so"); },
         "No such file or directory"},
        {"folder writable by all", "bv-taxfetch", [](const fs::path& lib) { fs::permissions(lib, fs::perms::all); },
         "the folder @/lib/tarvex" + writable + "@/lib/tarvex)"},
        {"folder writable by its group", "bv-taxfetch",
         [](const fs::path& lib) { fs::permissions(lib, fs::perms::group_write, fs::perm_options::add); },
         "the folder @/lib/tarvex" + writable + "@/lib/tarvex)"},
        {"lib/ writable by all", "bv-taxfetch",
         [](const fs::path& lib) { fs::permissions(lib.parent_path(), fs::perms::all); },
         "the folder @/lib" + writable + "@/lib)"},
        {"lib/ writable by its group", "bv-taxfetch",
         [](const fs::path& lib) { fs::permissions(lib.parent_path(), fs::perms::group_write, fs::perm_options::add); },
         "the folder @/lib" + writable + "@/lib)"},
        {"installation writable by its group", "bv-seqfetch",
         [](const fs::path& lib) {
             fs::permissions(lib.parent_path().parent_path(), fs::perms::group_write, fs::perm_options::add);
         },
         "the folder @" + writable + "@)"},
        // What a user who may write lib/ could do: put a link to another
        // folder in the place of lib/tarvex.
        {"lib/tarvex a link to a folder others may write", "bv-taxfetch",
         [&](const fs::path& lib) {
             linkedTo(lib, "shared/tarvex");
             fs::permissions(lib.parent_path().parent_path() / "shared", fs::perms::all);
         },
         "the folder @/shared" + writable + "@/shared)"},
        // A sticky folder others may write, as /tmp: no one else may rename
        // or remove an entry of root's or the owner's in it.
        {"lib/ sticky and writable by all", "bv-taxfetch",
         [](const fs::path& lib) { fs::permissions(lib.parent_path(), static_cast<fs::perms>(01777)); }, ""},
        {"lib/tarvex a link into a sticky folder all may write", "bv-taxfetch",
         [&](const fs::path& lib) {
             linkedTo(lib, "shared/tarvex");
             fs::permissions(lib.parent_path().parent_path() / "shared", static_cast<fs::perms>(01777));
         },
         ""},
        // But others may put files into it.
        {"lib/tarvex sticky and writable by all", "bv-taxfetch",
         [](const fs::path& lib) { fs::permissions(lib, static_cast<fs::perms>(01777)); },
         "the folder @/lib/tarvex" + writable + "@/lib/tarvex)"},
        {"module writable by all", "bv-taxfetch",
         [](const fs::path& lib) {
             fs::permissions(lib / "libtarvex-xml.so", static_cast<fs::perms>(0666));
         },
         "the file" + writable + "@/lib/tarvex/libtarvex-xml.so)"},
        {"module a link", "bv-taxfetch",
         [&](const fs::path& lib) {
             fs::remove(lib / "libtarvex-xml.so");
             fs::create_symlink(fs::canonical(xmlModule), lib / "libtarvex-xml.so");
         },
         "Too many levels of symbolic links"},
        // Cut where its dynamic section starts, inside what the loader maps
        // (a cut in the debugging sections behind them would still load).
        {"module cut short", "bv-taxfetch",
         [](const fs::path& lib) {
             const uint64_t cut = dynamicSectionOffset(lib / "libtarvex-xml.so");
             ASSERT_NE(cut, 0u);
             fs::resize_file(lib / "libtarvex-xml.so", cut);
         },
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
        // Refused before its constructor runs, which would leave the mark.
        {"module of another build that leaves a mark", "bv-taxfetch",
         [](const fs::path& lib) {
             fs::copy_file(TARVEX_MARKING_MODULE, lib / "libtarvex-xml.so", fs::copy_options::overwrite_existing);
         },
         "a module of another build (tarvex-another-build), the program is of build " +
             std::string(brenvik::kBuildIdentity)},
    };
    // Only root can give a file away.
    if (::geteuid() == 0) {
        cases.push_back({"module of another user", "bv-taxfetch",
                         [](const fs::path& lib) { ::chown((lib / "libtarvex-xml.so").c_str(), 12345, -1); },
                         "the file belongs to user 12345, neither root nor the program's owner"});
        cases.push_back({"lib/ of the web server's user", "bv-taxfetch",
                         [](const fs::path& lib) { ::chown(lib.parent_path().c_str(), 33, -1); },
                         "the folder @/lib belongs to user 33, neither root nor the program's owner"});
        // Whoever may write a sticky folder may swap an entry of their own.
        cases.push_back({"lib/ sticky, lib/tarvex of the web server's user", "bv-taxfetch",
                         [](const fs::path& lib) {
                             fs::permissions(lib.parent_path(), static_cast<fs::perms>(01777));
                             ::chown(lib.c_str(), 33, -1);
                         },
                         "the folder @/lib" + writable + "@/lib)"});
        cases.push_back({"sticky folder, lib/ of nobody", "bv-seqfetch",
                         [](const fs::path& lib) {
                             fs::permissions(lib.parent_path().parent_path(), static_cast<fs::perms>(01777));
                             ::chown(lib.parent_path().c_str(), 65534, -1);
                         },
                         "the folder @" + writable + "@)"});
        cases.push_back({"installation of the web server's user", "bv-seqfetch",
                         [](const fs::path& lib) { ::chown(lib.parent_path().parent_path().c_str(), 33, -1); },
                         "the folder @ belongs to user 33, neither root nor the program's owner"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<Installation> made;
        {
            tarvex_test::ScopedEnvironment under("TMPDIR", base);
            made.emplace();
        }
        Installation& inst = *made;
        tarvex_test::SecurityOptionsSpec spec;
        spec.securityEnabled = "true";
        tarvex_test::writeSecurityOptions(inst.install().configDir(), spec);
        const std::string program = inst.install().file(std::string("cgi/") + c.program);
        fs::copy_file(tarvex_test::programPath(c.program), program);
        const fs::path lib = inst.install().file("lib/tarvex");
        fs::create_directories(lib);
        for (const fs::path& folder : {lib, lib.parent_path()}) fs::permissions(folder, static_cast<fs::perms>(0755));
        for (const char* module : {"libtarvex-xml.so", "libtarvex-http.so"}) {
            fs::copy_file(buildModules / module, lib / module);
            fs::permissions(lib / module, static_cast<fs::perms>(0755));
        }
        c.change(lib);
        if (HasFatalFailure()) return;

        const std::string mark = inst.install().file("mark");
        tarvex_test::RunRequest request;
        request.program = program;
        request.arguments = std::string(c.program) == "bv-taxfetch" ? std::vector<std::string>{"1", "Proteins", "P1"}
                                                                    : std::vector<std::string>{"Proteins", "P1", "title"};
        request.workingFolder = inst.install().cgiDir();
        request.environment = {{"TARVEX_TEST_MODULE_MARK", mark}};
        const RunResult r = tarvex_test::runProgram(request);
        ASSERT_TRUE(r.exited) << "signal " << r.signal;
        EXPECT_FALSE(fs::exists(mark)) << "the module's code ran";
        const std::string log = inst.install().read("logs/errorlog.txt");
        if (c.reason.empty()) {
            EXPECT_EQ(r.exitStatus, 0) << r.standardOutput;
            EXPECT_NE(r.standardOutput.find("P1"), std::string::npos) << r.standardOutput;
            EXPECT_EQ(log.find("M00012"), std::string::npos) << log;
            continue;
        }
        std::string reason = c.reason;
        for (std::size_t at; (at = reason.find('@')) != std::string::npos;) reason.replace(at, 1, inst.install().root());
        const std::string text = "Can't open " + inst.install().root() + "/cgi/../lib/tarvex/libtarvex-xml.so" +
                                 " for \"loading\". Error ";
        EXPECT_EQ(r.exitStatus, 13) << r.standardOutput;
        EXPECT_NE(r.standardOutput.find("The following serious error has occurred:"), std::string::npos);
        EXPECT_NE(r.standardOutput.find(text), std::string::npos) << r.standardOutput;
        EXPECT_NE(r.standardOutput.find(reason), std::string::npos) << r.standardOutput;
        const std::string job = std::string(c.program) == "bv-taxfetch" ? "-14" : "-13";
        EXPECT_NE(log.find("[M00012 - Job " + job + " - X00061:module_loader] - "), std::string::npos) << log;
        EXPECT_NE(log.find(text), std::string::npos) << log;
        EXPECT_NE(log.find(reason), std::string::npos) << log;
    }
}

// The defined or undefined symbols of a binary's dynamic table, demangled;
// versioned ones (the system libraries') start with "@".
std::set<std::string> dynamicSymbols(const std::string& binary, bool defined) {
    tarvex_test::RunRequest request;
    request.program = "/usr/bin/nm";
    request.arguments = {"-D", "-C", defined ? "--defined-only" : "--undefined-only", binary};
    const RunResult r = tarvex_test::runProgram(request);
    std::set<std::string> names;
    std::size_t start = 0;
    for (std::size_t end; (end = r.standardOutput.find('\n', start)) != std::string::npos; start = end + 1) {
        // "<16 hex digits or blanks> <type> <name>"
        if (end - start <= 19) continue;
        std::string line = r.standardOutput.substr(start + 19, end - start - 19);
        if (line.find('@') != std::string::npos) line = "@" + line;  // a versioned library symbol
        names.insert(line);
    }
    return names;
}

// The class whose type information or vtable a symbol names, or the scope of
// a member ("a::b::f(int)" -> "a::b"); "" for a name in no class.
std::string scopeOf(const std::string& name) {
    for (const char* prefix : {"typeinfo for ", "typeinfo name for ", "vtable for "})
        if (name.rfind(prefix, 0) == 0) return name.substr(std::strlen(prefix));
    const std::string head = name.substr(0, name.find_first_of("(<"));
    const std::size_t colons = head.rfind("::");
    return colons == std::string::npos ? std::string() : head.substr(0, colons);
}

// What the linker exports of its own accord: copies of library templates
// (std::, also after a return type) and the runtime's reserved names
// ("__", the sanitizers' variables).
bool isLibraryCopy(const std::string& name) {
    const std::string head = name.substr(0, name.find('('));
    return head.rfind("__", 0) == 0 || head.rfind("std::", 0) == 0 || head.find(" std::") != std::string::npos ||
           head.rfind("__gnu_cxx::", 0) == 0;
}

// The programs export the symbols their modules bind to, and the members
// of the classes the modules derive from or construct; not the rest of the
// program (which every module could otherwise bind to or interpose).
TEST(StartupModules, TheProgramsExportOnlyWhatTheModulesBindTo) {
    if (!fs::exists("/usr/bin/nm")) GTEST_SKIP() << "nm is not installed";
    const fs::path modules = fs::path(tarvex_test::programPath("bv-taxfetch")).parent_path() / "../lib/tarvex";
    std::set<std::string> needed;
    for (const char* module : {"libtarvex-xml.so", "libtarvex-http.so"})
        for (const std::string& name : dynamicSymbols(modules / module, false)) needed.insert(name);
    ASSERT_TRUE(needed.count("typeinfo for brenvik::bv_errs")) << "nm gave no usable list";
    // Classes the modules construct, derive from or take the type of.
    std::set<std::string> classes;
    for (const std::string& name : needed) {
        const std::string scope = scopeOf(name);
        const std::string last = scope.substr(scope.rfind(':') == std::string::npos ? 0 : scope.rfind(':') + 1);
        if (name.rfind("typeinfo", 0) == 0 || name.rfind("vtable", 0) == 0 || name.rfind(scope + "::" + last + "(", 0) == 0)
            classes.insert(scope);
    }
    for (const char* program : {"bv-taxfetch", "bv-seqfetch"}) {
        std::vector<std::string> extra;
        for (const std::string& name : dynamicSymbols(tarvex_test::programPath(program), true)) {
            if (name[0] == '@' || isLibraryCopy(name)) continue;
            if (!needed.count(name) && !classes.count(scopeOf(name))) extra.push_back(name);
        }
        EXPECT_TRUE(extra.empty()) << program << " exports " << extra.size() << " symbols no module binds to, "
                                   << "the first: " << extra.front();
    }
}

// A module exports its entry point alone: nothing of it can take the place
// of a program's or a library's symbol, nor be bound to by another module.
TEST(StartupModules, EachModuleExportsItsEntryPointAlone) {
    if (!fs::exists("/usr/bin/nm")) GTEST_SKIP() << "nm is not installed";
    const fs::path modules = fs::path(tarvex_test::programPath("bv-taxfetch")).parent_path() / "../lib/tarvex";
    for (const char* module : {"libtarvex-xml.so", "libtarvex-http.so"}) {
        ASSERT_FALSE(dynamicSymbols(modules / module, false).empty()) << "nm gave no usable list for " << module;
        const std::set<std::string> exported = dynamicSymbols(modules / module, true);
        EXPECT_EQ(exported, std::set<std::string>{brenvik::kModuleEntryPoint})
            << module << " exports " << exported.size() << " symbols, the first: " << *exported.begin();
    }
}

}  // namespace
