// The programs as an administrator installs them: the packages the build
// scripts ask for, the install rules, the Debian package and its scripts
// (installed and removed by dpkg in a root of their own), and the
// web-server set-ups of deploy/ run for real
// (lighttpd with mod_cgi, Apache httpd with mod_cgid) against a server
// installation laid out by the install rules, answering through the URLs
// the server's pages call.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/mmapfile_marker.h"
#include "database/bv_controlfile.h"
#include "support/control_file_writer.h"
#include "support/fixture_install.h"
#include "support/program_runner.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using tarvex_test::RunRequest;
using tarvex_test::RunResult;
using tarvex_test::TempDir;

const std::string kBuild = TARVEX_BINARY_DIR;
const std::string kSource = TARVEX_SOURCE_DIR;

RunResult run(const std::string& program, std::vector<std::string> arguments,
              std::vector<std::pair<std::string, std::string>> environment = {},
              const std::string& folder = "") {
    RunRequest request;
    request.program = program;
    request.arguments = std::move(arguments);
    request.environment = std::move(environment);
    request.inheritEnvironment = true;
    request.workingFolder = folder;
    request.timeoutSeconds = 120;
    return tarvex_test::runProgram(request);
}

std::string describe(const RunResult& r) {
    return "status " + std::to_string(r.exitStatus) + "\nstdout:\n" + r.standardOutput + "\nstderr:\n" + r.standardError;
}

bool ok(const RunResult& r) { return r.exited && r.exitStatus == 0; }

// The demo installer registers the control file and the database files as
// markers of owner 0, which outlive it: removes those of every file under a
// folder when the test ends, passed or failed. Declare it after the folder's
// TempDir (the names come from the files' canonical paths).
class MarkerSweep {
public:
    explicit MarkerSweep(std::string folder) : folder_(std::move(folder)) {}
    ~MarkerSweep() {
        std::error_code error;
        for (auto it = fs::recursive_directory_iterator(folder_, error); !error && it != fs::recursive_directory_iterator();
             it.increment(error)) {
            if (it->is_regular_file(error) && !it->is_symlink(error))
                mmap_marker::removeMarker(mmap_marker::markerNameForFile(it->path().string()));
        }
    }
    MarkerSweep(const MarkerSweep&) = delete;
    MarkerSweep& operator=(const MarkerSweep&) = delete;

private:
    std::string folder_;
};

// The demo installation (demo/: two databases, a small NCBI taxonomy,
// registered control file) laid out at root, then the install rules run
// over it, as on a server whose data is already there.
void layOutServer(const std::string& root, const std::string& destdir = "") {
    const std::string target = destdir + root;
    ASSERT_TRUE(ok(run(kBuild + "/tests/demo_install", {kSource + "/demo", target})));
    std::vector<std::pair<std::string, std::string>> env;
    if (!destdir.empty()) env.emplace_back("DESTDIR", destdir);
    const RunResult installed = run("/usr/bin/cmake", {"--install", kBuild, "--prefix", root}, env);
    ASSERT_TRUE(ok(installed)) << describe(installed);
}

// "Version x.y.z.w" as the taxonomy program prints it (it needs no
// configuration for that).
std::string versionOf(const std::string& program) {
    const std::string out = run(program, {"--version"}).standardOutput;
    const size_t at = out.find(" - Version ");
    return at == std::string::npos ? out : out.substr(at + 11, out.find('\n', at) - at - 11);
}

int runningSlots(const std::string& controlFile) {
    tarvex_test::ControlFileReader control(controlFile);
    int running = 0;
    for (int e = 0; e < control.entryCount(); ++e)
        for (int h = 0; h < 2; ++h)
            for (int i = 0; i < brenvik::kJobSlotsPerHalf; ++i)
                if (control.slot(e, h, i).status == 1) ++running;
    return running;
}

// The installed programs answer from the installation, by the names the
// server's pages call.
void expectLookUps(const std::string& root) {
    const RunResult title = run(root + "/cgi/bv-seqfetch.exe", {"SwissProt", "P69905", "title"}, {}, root + "/cgi");
    EXPECT_EQ(title.standardOutput,
              "Content-type: text/plain\n\n>sp|P69905|HBA_HUMAN Hemoglobin subunit alpha OS=Homo sapiens OX=9606\n");
    const RunResult tax = run(root + "/cgi/bv-taxfetch.exe", {"1", "SwissProt", "P69905"}, {}, root + "/cgi");
    EXPECT_EQ(tax.standardOutput, "Content-type: text/html\n\nP69905 9606 Homo sapiens\n");
    EXPECT_EQ(runningSlots(root + "/data/tarvex.control"), 0);
}

TEST(InstallRules, PutProgramsLinksAndSchemaInPlaceAndKeepTheServersFiles) {
    // Where the installed programs may load their modules.
    TempDir dir("install", tarvex_test::moduleSafeFolder());
    MarkerSweep sweep(dir.path());
    const std::string destdir = dir.file("root");
    const std::string prefix = "/srv/tarvex";
    const std::string root = destdir + prefix;
    ASSERT_TRUE(ok(run(kBuild + "/tests/demo_install", {kSource + "/demo", root})));
    const std::vector<std::string> serverFiles = {"config/tarvex.dat", "config/security_options.xml",
                                                  "data/tarvex.control", "sequence/SwissProt/SwissProt.fasta"};
    std::vector<std::string> before;
    for (const std::string& f : serverFiles) {
        tarvex_test::writeFile(root + "/" + f + ".mark", "");  // no stray file is removed either
        before.push_back(tarvex_test::readFile(root + "/" + f));
    }

    // Under an umask that lets the group write, as many administrators have.
    const RunResult installed = run("/bin/sh", {"-c", "umask 002 && exec /usr/bin/cmake --install \"$0\" --prefix \"$1\"",
                                                kBuild, prefix},
                                    {{"DESTDIR", destdir}});
    ASSERT_TRUE(ok(installed)) << describe(installed);

    for (const std::string program : {"bv-seqfetch", "bv-taxfetch"}) {
        const fs::path exe = root + "/cgi/" + program;
        EXPECT_TRUE(fs::is_regular_file(exe)) << exe;
        EXPECT_TRUE((fs::status(exe).permissions() & fs::perms::others_exec) != fs::perms::none) << exe;
        const fs::path link = root + "/cgi/" + program + ".exe";
        ASSERT_TRUE(fs::is_symlink(link)) << link;
        EXPECT_EQ(fs::read_symlink(link), fs::path(program));
    }
    EXPECT_EQ(tarvex_test::readFile(root + "/config/tarvex_security_1_0.xsd"),
              tarvex_test::readFile(kSource + "/config/tarvex_security_1_0.xsd"));
    for (const std::string folder : {"logs", "data", "sessions", "taxonomy", "sequence"})
        EXPECT_TRUE(fs::is_directory(root + "/" + folder)) << folder;
    // Whatever the programs load at run time is installed with them, where
    // no one but its owner may write (or the programs refuse it).
    const auto othersWrite = fs::perms::group_write | fs::perms::others_write;
    EXPECT_EQ(fs::status(root + "/lib/tarvex").permissions() & othersWrite, fs::perms::none);
    for (const auto& module : fs::directory_iterator(kBuild + "/lib/tarvex")) {
        if (module.path().extension() == ".so") {
            const std::string installedModule = root + "/lib/tarvex/" + module.path().filename().string();
            EXPECT_TRUE(fs::exists(installedModule)) << module.path();
            EXPECT_EQ(fs::status(installedModule).permissions() & othersWrite, fs::perms::none) << installedModule;
        }
    }
    for (size_t i = 0; i < serverFiles.size(); ++i) {
        EXPECT_EQ(tarvex_test::readFile(root + "/" + serverFiles[i]), before[i]) << serverFiles[i];
        EXPECT_TRUE(fs::exists(root + "/" + serverFiles[i] + ".mark"));
    }

    expectLookUps(root);

    // With security on, the command-line session is written through the
    // XML module, which comes from the installation.
    const std::string options = root + "/config/security_options.xml";
    std::string text = tarvex_test::readFile(options);
    const std::string off = "<bvs:securityEnabled>false</bvs:securityEnabled>";
    ASSERT_NE(text.find(off), std::string::npos) << text;
    text.replace(text.find(off), off.size(), "<bvs:securityEnabled>true</bvs:securityEnabled>");
    tarvex_test::writeFile(options, text);
    RunRequest traced;
    traced.program = root + "/cgi/bv-taxfetch.exe";
    traced.arguments = {"1", "SwissProt", "P69905"};
    traced.workingFolder = root + "/cgi";
    traced.environment = {{"LD_DEBUG", "files"}, {"LD_DEBUG_OUTPUT", dir.file("ld")}};
    const RunResult tax = tarvex_test::runProgram(traced);
    EXPECT_EQ(tax.standardOutput, "Content-type: text/html\n\nP69905 9606 Homo sapiens\n") << describe(tax);
    EXPECT_TRUE(fs::exists(root + "/sessions/con_consoleaccessx"));
    std::string loaderLog;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (entry.path().filename().string().rfind("ld.", 0) == 0) loaderLog += tarvex_test::readFile(entry.path());
    EXPECT_NE(loaderLog.find("libxerces-c"), std::string::npos) << "the XML module was not loaded";
}

std::string field(const std::string& deb, const std::string& name) {
    std::string value = run("/usr/bin/dpkg-deb", {"-f", deb, name}).standardOutput;
    while (!value.empty() && value.back() == '\n') value.pop_back();
    return value;
}

// The package as `cpack` builds it from this build: the build packs it
// once for all the tests (target tarvex_test_package), which only read it.
std::string builtPackage() {
    std::error_code error;
    std::string deb;
    for (const auto& entry : fs::directory_iterator(TARVEX_TEST_PACKAGE_DIR, error)) {
        if (entry.path().extension() != ".deb") continue;
        EXPECT_TRUE(deb.empty()) << "more than one package in " << TARVEX_TEST_PACKAGE_DIR;
        deb = entry.path();
    }
    EXPECT_FALSE(deb.empty()) << "no package in " << TARVEX_TEST_PACKAGE_DIR << " (" << error.message() << ")";
    return deb;
}

// The package version the install rules compute for a source folder.
std::string packageVersionOf(const std::string& sourceFolder, const std::string& programVersion) {
    const RunResult r = run("/usr/bin/cmake", {"-DTARVEX_VERSION=" + programVersion, "-DTARVEX_SOURCE_DIR=" + sourceFolder,
                                               "-P", kSource + "/cmake/TarvexPackageVersion.cmake"});
    EXPECT_TRUE(ok(r)) << describe(r);
    std::string version = r.standardOutput;
    while (!version.empty() && version.back() == '\n') version.pop_back();
    return version;
}

bool versionGreater(const std::string& a, const std::string& b) {
    return ok(run("/usr/bin/dpkg", {"--compare-versions", a, "gt", b}));
}

TEST(DebianPackage, CarriesTheProgramsVersionDependenciesAndFiles) {
    TempDir dir("package");
    MarkerSweep sweep(dir.path());
    const std::string deb = builtPackage();
    ASSERT_FALSE(deb.empty());

    const std::string programVersion = versionOf(kBuild + "/src/bv-taxfetch");
    EXPECT_EQ(field(deb, "Version"), packageVersionOf(kSource, programVersion));
    EXPECT_TRUE(field(deb, "Version").starts_with(programVersion + "+")) << field(deb, "Version");
    EXPECT_EQ(field(deb, "Package"), "tarvex-lookup");
    // The run-time packages of the libraries the programs link and load.
    const std::string depends = field(deb, "Depends");
    for (const std::string package : {"libc6", "libstdc++6", "zlib1g", "libxerces-c3.2", "libcurl"})
        EXPECT_NE(depends.find(package), std::string::npos) << package << " missing from: " << depends;
    // Only the programs, their modules and the schema's copy: nothing the
    // server or an administrator keeps, which removing the package would
    // delete.
    const std::string contents = run("/usr/bin/dpkg-deb", {"-c", deb}).standardOutput;
    for (const std::string absent : {"tarvex.dat", "config/", "data/", "logs/", "sessions/", "taxonomy/", "sequence/"})
        EXPECT_EQ(contents.find(absent), std::string::npos) << absent << " in:\n" << contents;

    // Unpacked over a server's data, the packaged programs answer.
    const std::string root = dir.file("unpacked/srv/tarvex");
    ASSERT_TRUE(ok(run(kBuild + "/tests/demo_install", {kSource + "/demo", root})));
    ASSERT_TRUE(ok(run("/usr/bin/dpkg-deb", {"-x", deb, dir.file("unpacked")})));
    EXPECT_EQ(versionOf(root + "/cgi/bv-taxfetch.exe"), programVersion);
    expectLookUps(root);
}

TEST(DebianPackage, VersionGrowsWithEveryCommit) {
    TempDir dir("package-version");
    const std::string repo = dir.file("repo");
    fs::create_directories(repo);
    // Each commit at a time of its own (given in another zone than UTC, to
    // show the version is read in UTC), as commits made in one second would
    // otherwise share one.
    auto git = [&](std::vector<std::string> arguments, const std::string& when = "") {
        arguments.insert(arguments.begin(), {"-c", "user.name=t", "-c", "user.email=t@localhost"});
        std::vector<std::pair<std::string, std::string>> environment;
        if (!when.empty()) environment = {{"GIT_COMMITTER_DATE", when}, {"GIT_AUTHOR_DATE", when}};
        const RunResult r = run("/usr/bin/git", arguments, environment, repo);
        EXPECT_TRUE(ok(r)) << describe(r);
    };
    const std::string program = versionOf(kBuild + "/src/bv-taxfetch");
    const std::string outside = packageVersionOf(repo, program);  // not a checkout (yet)
    git({"init", "-q"});
    git({"commit", "-q", "--allow-empty", "-m", "first"}, "2026-12-11T09:30:05+0200");
    const std::string first = packageVersionOf(repo, program);
    git({"commit", "-q", "--allow-empty", "-m", "second"}, "2026-12-11T07:30:06+0000");
    const std::string second = packageVersionOf(repo, program);
    // A folder inside a checkout is not that checkout.
    fs::create_directories(repo + "/unpacked");
    const std::string inside = packageVersionOf(repo + "/unpacked", program);
    // A clone of depth 1 (file://, or git ignores the depth) has one commit
    // whatever the history: its version is the full checkout's.
    const std::string shallow = dir.file("shallow");
    git({"clone", "-q", "--depth", "1", "file://" + repo, shallow});
    ASSERT_EQ(run("/usr/bin/git", {"-C", shallow, "rev-parse", "--is-shallow-repository"}).standardOutput, "true\n");

    EXPECT_EQ(outside, program + "+0");
    EXPECT_EQ(inside, program + "+0");
    EXPECT_EQ(first, program + "+20261211073005");
    EXPECT_EQ(second, program + "+20261211073006");
    EXPECT_EQ(packageVersionOf(shallow, program), second);
    EXPECT_TRUE(versionGreater(second, first)) << second << " " << first;
    EXPECT_TRUE(versionGreater(first, outside)) << first << " " << outside;
    // ... above the packages that carried the number of commits, and a
    // package that carried the bare program version before.
    EXPECT_TRUE(versionGreater(first, program + "+99999")) << first;
    EXPECT_TRUE(versionGreater(outside, program)) << outside << " " << program;
}

// A dpkg database of its own under a folder: the package is installed and
// removed there for real, its scripts run without chroot and with DPKG_ROOT
// set to the folder, as dpkg does for a root of its own.
class PackageRoot {
public:
    explicit PackageRoot(std::string root) : root_(std::move(root)) {
        fs::create_directories(root_ + "/var/lib/dpkg/info");
        fs::create_directories(root_ + "/var/lib/dpkg/updates");
        tarvex_test::writeFile(root_ + "/var/lib/dpkg/status", "");
    }
    RunResult dpkg(std::vector<std::string> arguments) const {
        // The dependencies are the machine's, not this root's.
        arguments.insert(arguments.begin(), {"--root=" + root_, "--force-script-chrootless", "--force-depends", "--log=/dev/null"});
        return run("/usr/bin/dpkg", arguments);
    }
    bool knows(const std::string& package) const {
        return ok(run("/usr/bin/dpkg-query", {"--admindir=" + root_ + "/var/lib/dpkg", "-W", package}));
    }
    std::string server() const { return root_ + "/srv/tarvex"; }

private:
    std::string root_;
};

struct Ownership {
    uid_t uid;
    gid_t gid;
    mode_t mode;
    bool operator==(const Ownership&) const = default;
};

Ownership ownershipOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return {st.st_uid, st.st_gid, st.st_mode & 07777};
}

// The package's scripts hand folders to the web server's user and check
// what it can write: they need root and that user.
bool canRunPackageScripts(std::string& why) {
    if (::geteuid() != 0) why = "needs root";
    else if (::getpwnam("www-data") == nullptr || ::getgrnam("www-data") == nullptr) why = "no user www-data";
    else if (!fs::exists("/usr/sbin/runuser") && !fs::exists("/sbin/runuser")) why = "no runuser";
    return why.empty();
}

class PackageScripts : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!canRunPackageScripts(why)) GTEST_SKIP() << why;
        // The web server's user must reach the installation to be asked.
        ::chmod(dir_.path().c_str(), 0755);
        deb_ = builtPackage();
        ASSERT_FALSE(deb_.empty());
    }

    // Where the installed programs may load their modules (a look-up
    // below needs the XML module).
    TempDir dir_{"package-scripts", tarvex_test::moduleSafeFolder()};
    MarkerSweep sweep_{dir_.path()};
    PackageRoot root_{dir_.file("root")};
    std::string deb_;
};

const std::vector<std::string> kWritten = {"logs", "data", "sessions", "taxonomy"};

// A server laid out before the package (the administrator's folders, a
// control file only root can write, a schema of the administrator's own):
// the package leaves all of it as it was, says what www-data cannot write,
// and removing the package leaves it too.
TEST_F(PackageScripts, InstallOverALaidOutServerTouchesNothingAndSaysWhatIsLeftToDo) {
    const std::string server = root_.server();
    ASSERT_TRUE(ok(run(kBuild + "/tests/demo_install", {kSource + "/demo", server})));
    const std::string schema = server + "/config/tarvex_security_1_0.xsd";
    tarvex_test::writeFile(schema, tarvex_test::readFile(kSource + "/config/tarvex_security_1_0.xsd") + "<!-- kept -->\n");
    ::chmod((server + "/data/tarvex.control").c_str(), 0644);
    std::vector<std::string> kept = {server + "/data/tarvex.control", schema};
    for (const std::string& folder : kWritten) kept.push_back(server + "/" + folder);
    std::vector<Ownership> before;
    for (const std::string& path : kept) before.push_back(ownershipOf(path));
    const std::string ownSchema = tarvex_test::readFile(schema);

    const RunResult installed = root_.dpkg({"-i", deb_});
    ASSERT_TRUE(ok(installed)) << describe(installed);
    for (size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(ownershipOf(kept[i]), before[i]) << kept[i];
    EXPECT_EQ(tarvex_test::readFile(schema), ownSchema);
    const std::string& said = installed.standardOutput;
    EXPECT_NE(said.find("www-data cannot write"), std::string::npos) << said;
    EXPECT_NE(said.find("  " + server + "/data/tarvex.control\n"), std::string::npos) << said;
    EXPECT_NE(said.find("chgrp -R www-data " + server + "/logs"), std::string::npos) << said;
    // The administrator's schema is not the shipped one: the look-ups read
    // the security files through the installed XML module.
    expectLookUps(server);

    const RunResult removed = root_.dpkg({"-r", "tarvex-lookup"});
    ASSERT_TRUE(ok(removed)) << describe(removed);
    EXPECT_FALSE(fs::exists(server + "/cgi/bv-seqfetch"));
    EXPECT_FALSE(fs::exists(server + "/lib/tarvex/libtarvex-xml.so"));
    for (size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(ownershipOf(kept[i]), before[i]) << kept[i];
    EXPECT_EQ(tarvex_test::readFile(schema), ownSchema);
    EXPECT_TRUE(fs::exists(server + "/sequence/SwissProt/SwissProt.fasta"));
    // Removing removed all the package owns: nothing is left to purge.
    EXPECT_FALSE(root_.knows("tarvex-lookup"));
}

// On an empty machine the package lays out the folders for the web server
// and the schema, and has nothing to ask; on a reinstall it leaves the
// folders as the administrator has since set them, and says what that
// means. Removing it keeps what its script laid out.
TEST_F(PackageScripts, FreshInstallLaysOutTheFoldersOnceAndKeepsThemOnRemoval) {
    const std::string server = root_.server();
    const struct group* web = ::getgrnam("www-data");
    ASSERT_NE(web, nullptr);
    const gid_t webGroup = web->gr_gid;

    const RunResult installed = root_.dpkg({"-i", deb_});
    ASSERT_TRUE(ok(installed)) << describe(installed);
    for (const std::string& folder : kWritten)
        EXPECT_EQ(ownershipOf(server + "/" + folder), (Ownership{0, webGroup, 02775})) << folder;
    EXPECT_TRUE(fs::is_directory(server + "/sequence"));
    EXPECT_EQ(tarvex_test::readFile(server + "/config/tarvex_security_1_0.xsd"),
              tarvex_test::readFile(kSource + "/config/tarvex_security_1_0.xsd"));
    EXPECT_EQ(installed.standardOutput.find("cannot write"), std::string::npos) << installed.standardOutput;
    // Nor anything to say about the folders above lib/tarvex, the machine's
    // among them (the build folder's, /tmp for a build there).
    EXPECT_EQ(installed.standardOutput.find("load no module"), std::string::npos) << installed.standardOutput;

    // A data folder the web server cannot write, and a lib/ its group may
    // write (the programs would refuse their modules under it). Sticky
    // folders all may write above it: one whose entry on the way is root's
    // (no one else may swap it), and one whose entry, lib/, is www-data's.
    ::chmod((server + "/data").c_str(), 0755);
    ::chmod((server + "/lib").c_str(), 0775);
    const std::string above = fs::path(server).parent_path().string();
    ::chmod(above.c_str(), 01777);
    ::chmod(server.c_str(), 01777);
    ASSERT_EQ(::chown((server + "/lib").c_str(), ::getpwnam("www-data")->pw_uid, -1), 0);
    const RunResult again = root_.dpkg({"-i", deb_});
    ASSERT_TRUE(ok(again)) << describe(again);
    EXPECT_EQ(ownershipOf(server + "/data"), (Ownership{0, webGroup, 0755}));
    EXPECT_NE(again.standardOutput.find("www-data cannot write 1 of"), std::string::npos) << again.standardOutput;
    EXPECT_NE(again.standardOutput.find("  " + server + "/data\n"), std::string::npos) << again.standardOutput;
    const std::size_t modules = again.standardOutput.find("the programs load no module from " + server + "/lib/tarvex");
    ASSERT_NE(modules, std::string::npos) << again.standardOutput;
    EXPECT_NE(again.standardOutput.find("  " + server + "/lib\n", modules), std::string::npos) << again.standardOutput;
    EXPECT_NE(again.standardOutput.find("  " + server + "\n", modules), std::string::npos) << again.standardOutput;
    EXPECT_EQ(again.standardOutput.find("  " + server + "/lib/tarvex\n"), std::string::npos) << again.standardOutput;
    EXPECT_EQ(again.standardOutput.find("  " + above + "\n"), std::string::npos) << again.standardOutput;
    EXPECT_NE(again.standardOutput.find("chmod go-w <folder>", modules), std::string::npos) << again.standardOutput;

    const RunResult removed = root_.dpkg({"-r", "tarvex-lookup"});
    ASSERT_TRUE(ok(removed)) << describe(removed);
    EXPECT_FALSE(fs::exists(server + "/cgi"));
    for (const std::string& folder : kWritten) EXPECT_TRUE(fs::is_directory(server + "/" + folder)) << folder;
    EXPECT_TRUE(fs::exists(server + "/config/tarvex_security_1_0.xsd"));
    EXPECT_FALSE(root_.knows("tarvex-lookup"));
}

// The fix the package prints, applied as printed over a server laid out
// before it: the web server's user may then write all the programs write,
// the taxonomy caches included, while the dumps stay the administrator's
// (they feed every answer and every run as root).
TEST_F(PackageScripts, ThePrintedFixLeavesTheTaxonomyDumpsTheAdministrators) {
    const std::string server = root_.server();
    ASSERT_TRUE(ok(run(kBuild + "/tests/demo_install", {kSource + "/demo", server})));
    const std::string taxonomy = server + "/taxonomy";
    const std::string cache = taxonomy + "/names.dmp.cdb";
    tarvex_test::writeFile(cache, "a cache the programs built");
    ::chmod(cache.c_str(), 0644);
    std::vector<std::pair<std::string, Ownership>> dumps;
    for (const auto& entry : fs::recursive_directory_iterator(taxonomy))
        if (entry.is_regular_file() && entry.path().extension() != ".cdb")
            dumps.emplace_back(entry.path().string(), ownershipOf(entry.path().string()));
    ASSERT_FALSE(dumps.empty());

    const RunResult installed = root_.dpkg({"-i", deb_});
    ASSERT_TRUE(ok(installed)) << describe(installed);
    const std::string& said = installed.standardOutput;
    const size_t from = said.find("As root:\n");
    const size_t to = said.find("and let", from);
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos) << said;
    const RunResult fixed = run("/bin/sh", {"-ec", said.substr(from + 9, to - from - 9)});
    ASSERT_TRUE(ok(fixed)) << describe(fixed);

    for (const auto& [dump, before] : dumps) EXPECT_EQ(ownershipOf(dump), before) << dump;
    const struct group* web = ::getgrnam("www-data");
    ASSERT_NE(web, nullptr);
    for (const std::string& shared : {taxonomy, cache}) {
        EXPECT_EQ(ownershipOf(shared).gid, web->gr_gid) << shared;
        EXPECT_NE(ownershipOf(shared).mode & 020, 0u) << shared;
    }
    const RunResult again = root_.dpkg({"-i", deb_});
    ASSERT_TRUE(ok(again)) << describe(again);
    EXPECT_EQ(again.standardOutput.find("cannot write"), std::string::npos) << again.standardOutput;
}

// --- the build scripts -------------------------------------------------------

// scripts/build on a server asks apt-get for what building needs and for no
// tool or library only the tests use; the test set asks for those too.
TEST(InstallDeps, BuildingAsksForNoTestPackage) {
    TempDir dir("install-deps");
    const std::string bin = dir.file("bin");
    fs::create_directories(bin);
    auto stub = [&](const std::string& name, const std::string& body) {
        tarvex_test::writeFile(bin + "/" + name, "#!/bin/sh\n" + body + "\n");
        ::chmod((bin + "/" + name).c_str(), 0755);
    };
    const std::string asked = dir.file("apt-get.log");
    stub("dpkg-query", "exit 1");  // nothing is installed
    stub("apt-get", "echo \"$*\" >>'" + asked + "'");
    stub("sudo", "exec \"$@\"");
    stub("cmake", "exit 0");  // the build itself is not the point here
    const char* path = std::getenv("PATH");
    const std::vector<std::pair<std::string, std::string>> env = {
        {"PATH", bin + ":" + (path != nullptr ? path : "/usr/bin:/bin")}};

    const std::vector<std::string> buildSet = {"cmake", "g++", "ninja-build", "libxerces-c-dev", "zlib1g-dev",
                                               "libboost-dev", "libcurl4-openssl-dev", "dpkg-dev", "git"};
    const std::vector<std::string> testSet = {"libgtest-dev", "libgmock-dev", "libbenchmark-dev", "apache2",
                                              "lighttpd", "clang", "seqkit", "python3-biopython", "tinycdb",
                                              "curl", "libxml2-utils"};
    // The packages of the "install" call, one per word.
    auto installed = [&](const std::string& log) {
        std::vector<std::string> words;
        const size_t at = log.find(" install ");
        if (at == std::string::npos) return words;
        std::istringstream line(log.substr(at, log.find('\n', at) - at));
        for (std::string word; line >> word;) words.push_back(word);
        return words;
    };
    auto has = [](const std::vector<std::string>& words, const std::string& p) {
        return std::find(words.begin(), words.end(), p) != words.end();
    };

    struct Case {
        std::string script;
        std::vector<std::string> arguments;
        bool tests;
    };
    const std::vector<Case> cases = {
        {kSource + "/scripts/build", {"build-server", "-DBUILD_TESTING=OFF"}, false},
        {kSource + "/scripts/install-deps", {}, false},
        {kSource + "/scripts/install-deps", {"test"}, true},
    };
    for (const Case& c : cases) {
        fs::remove(asked);
        const RunResult r = run(c.script, c.arguments, env);
        ASSERT_TRUE(ok(r)) << c.script << "\n" << describe(r);
        const std::vector<std::string> words = installed(tarvex_test::readFile(asked));
        for (const std::string& p : buildSet) EXPECT_TRUE(has(words, p)) << c.script << " does not ask for " << p;
        for (const std::string& p : testSet)
            EXPECT_EQ(has(words, p), c.tests) << c.script << (c.tests ? " does not ask for " : " asks for ") << p;
    }
}

// --- web servers -----------------------------------------------------------

int freePort() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int port = 20000 + static_cast<int>((::getpid() * 7919 + attempt * 104729) % 30000);
        const RunResult probe = run("/usr/bin/curl", {"-s", "-o", "/dev/null", "--max-time", "1", "http://127.0.0.1:" + std::to_string(port) + "/"});
        if (probe.exitStatus == 7) return port;  // nothing listens there
    }
    return 0;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

struct WebServer {
    const char* name;
    const char* binary;
    const char* deployFile;
};

void PrintTo(const WebServer& server, std::ostream* out) { *out << server.name; }

class WebServers : public ::testing::TestWithParam<WebServer> {};

// One whole multipart body as the server's pages post it.
std::vector<std::string> formArguments(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::vector<std::string> arguments;
    for (const auto& [name, value] : fields) {
        arguments.push_back("--form-string");
        arguments.push_back(name + "=" + value);
    }
    return arguments;
}

std::string withoutJobNumber(const std::string& document) {
    return std::regex_replace(document, std::regex("jobid=\"[0-9]+\""), "jobid=\"N\"");
}

TEST_P(WebServers, AnswerGetAndPostThroughTheExeUrls) {
    const WebServer server = GetParam();
    if (!fs::exists(server.binary) || !fs::exists("/usr/bin/curl")) {
        if (std::getenv("CI")) FAIL() << server.binary << " is not installed";
        GTEST_SKIP() << server.binary << " is not installed";
    }
    TempDir dir(std::string("web-") + server.name);
    MarkerSweep sweep(dir.path());
    const std::string root = dir.file("srv/tarvex");
    layOutServer(root);
    if (HasFatalFailure()) return;

    // Apache never serves as root; run as www-data and give it the folders
    // the README names, as an administrator does.
    const bool dropToWebUser = ::geteuid() == 0 && std::string(server.name) == "apache";
    if (dropToWebUser) {
        struct passwd* web = ::getpwnam("www-data");
        ASSERT_NE(web, nullptr);
        for (fs::path p = root; p != fs::path(dir.path()).parent_path(); p = p.parent_path())
            ::chmod(p.c_str(), 0755);
        // New files are handed to the groups tarvex.dat names: one the web
        // server's user is in.
        const std::string dat = root + "/config/tarvex.dat";
        tarvex_test::writeFile(dat, std::regex_replace(tarvex_test::readFile(dat),
                                                       std::regex("(NTMonitorGroup|NTIUserGroup)\t[^\n]*"), "$1\twww-data"));
        for (const std::string folder : {"logs", "data", "sessions", "taxonomy"}) {
            ::chown((root + "/" + folder).c_str(), web->pw_uid, web->pw_gid);
            for (const auto& entry : fs::recursive_directory_iterator(root + "/" + folder))
                ::lchown(entry.path().c_str(), web->pw_uid, web->pw_gid);
        }
    }

    const int port = freePort();
    ASSERT_NE(port, 0);
    const std::string deploy = replaceAll(tarvex_test::readFile(kSource + "/deploy/" + server.deployFile), "/srv/tarvex", root);
    tarvex_test::writeFile(dir.file("tarvex.conf"), deploy);
    fs::create_directories(dir.file("htdocs"));
    std::string config;
    std::vector<std::string> arguments;
    if (std::string(server.name) == "lighttpd") {
        config = "server.document-root = \"" + dir.file("htdocs") + "\"\n"
                 "server.port = " + std::to_string(port) + "\n"
                 "server.bind = \"127.0.0.1\"\n"
                 "server.errorlog = \"" + dir.file("server-error.log") + "\"\n"
                 "include \"" + dir.file("tarvex.conf") + "\"\n";
        arguments = {"-D", "-f", dir.file("server.conf")};
    } else {
        const std::string modules = "/usr/lib/apache2/modules/";
        config = "LoadModule mpm_event_module " + modules + "mod_mpm_event.so\n"
                 "LoadModule authz_core_module " + modules + "mod_authz_core.so\n"
                 "LoadModule alias_module " + modules + "mod_alias.so\n"
                 "LoadModule cgid_module " + modules + "mod_cgid.so\n"
                 "ServerName localhost\n"
                 "Listen 127.0.0.1:" + std::to_string(port) + "\n"
                 "DefaultRuntimeDir " + dir.path() + "\n"
                 "PidFile " + dir.file("server.pid") + "\n"
                 "ScriptSock " + dir.file("cgid.sock") + "\n"
                 "ErrorLog " + dir.file("server-error.log") + "\n"
                 "DocumentRoot " + dir.file("htdocs") + "\n" +
                 (dropToWebUser ? "User www-data\nGroup www-data\n" : "") +
                 "Include " + dir.file("tarvex.conf") + "\n";
        arguments = {"-f", dir.file("server.conf"), "-DFOREGROUND"};
    }
    tarvex_test::writeFile(dir.file("server.conf"), config);

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::vector<char*> argv{const_cast<char*>(server.binary)};
        for (std::string& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(server.binary, argv.data());
        ::_exit(127);
    }
    struct Stop {
        pid_t pid;
        ~Stop() {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    } stop{pid};

    const std::string base = "http://127.0.0.1:" + std::to_string(port) + "/tarvex/cgi/";
    auto fetch = [&](std::vector<std::string> curlArguments, const std::string& url) {
        curlArguments.insert(curlArguments.begin(), {"-s", "--max-time", "30"});
        curlArguments.push_back(base + url);
        return run("/usr/bin/curl", curlArguments);
    };
    bool listening = false;
    for (int attempt = 0; attempt < 100 && !listening; ++attempt) {
        listening = fetch({}, "bv-seqfetch.exe?version").exitStatus == 0;
        if (!listening) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(listening) << tarvex_test::readFile(dir.file("server-error.log"));

    struct Case {
        std::string url;
        std::string body;
    };
    const std::vector<Case> gets = {
        {"bv-seqfetch.exe?version", "bv-seqfetch.exe - Version "},
        {"bv-seqfetch.exe?SwissProt+P69905+title",
         ">sp|P69905|HBA_HUMAN Hemoglobin subunit alpha OS=Homo sapiens OX=9606\n"},
        {"bv-seqfetch.exe?SwissProt%20P69905%20len", "142\n"},
        {"bv-taxfetch.exe?1+SwissProt+P69905", "P69905 9606 Homo sapiens\n"},
    };
    for (const Case& c : gets) {
        const RunResult reply = fetch({}, c.url);
        EXPECT_EQ(reply.exitStatus, 0) << c.url;
        if (c.url.ends_with("version"))
            EXPECT_TRUE(reply.standardOutput.starts_with(c.body)) << reply.standardOutput;
        else
            EXPECT_EQ(reply.standardOutput, c.body) << c.url;
    }
    const RunResult viaServer = fetch({}, "bv-taxfetch.exe?4+SwissProt+P69905");

    // Nothing else under the programs' URL is served or run: not the
    // programs by their own names (a download of the executable), not the
    // folder, not a file left in it.
    tarvex_test::writeFile(root + "/cgi/notes.txt", "left here\n");
    for (const std::string url : {"bv-seqfetch", "bv-taxfetch", "bv-seqfetch?version", "", "notes.txt",
                                  "bv-seqfetch.exe.old"}) {
        const RunResult reply = fetch({"-o", "/dev/null", "-w", "%{http_code}"}, url);
        EXPECT_EQ(reply.standardOutput, "403") << "/tarvex/cgi/" << url;
    }

    const RunResult seqPost = fetch(formArguments({{"DB", "SwissProt"}, {"SHOWTITLE", "1"}, {"SHOWLEN", "1"},
                                                   {"ACCESSION", "\"P69905\" \"NOSUCHACC\""}}),
                                    "bv-seqfetch.exe");
    EXPECT_EQ(withoutJobNumber(seqPost.standardOutput),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n"
              "<bvsq:bv_seqfetch_out xmlns:bvsq=\"http://www.tarvex.example/xmlns/schema/bvseqfetch_1\"\n"
              "                    majorVersion=\"1\" minorVersion=\"0\"\n"
              "                    xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
              "                    xsi:schemaLocation=\"http://www.tarvex.example/xmlns/schema/bvseqfetch_1 bvseqfetch_1.xsd\">\n"
              "  <bvsq:all_errors>\n"
              "    <bvsq:error code=\"461\">\n"
              "      <bvsq:err_description>Sequence not found</bvsq:err_description>\n"
              "      <bvsq:err_param name=\"accession\">NOSUCHACC</bvsq:err_param>\n"
              "    </bvsq:error>\n"
              "  </bvsq:all_errors>\n"
              "  <bvsq:all_proteins jobid=\"N\">\n"
              "    <bvsq:protein>\n"
              "      <bvsq:accession>P69905</bvsq:accession>\n"
              "      <bvsq:db>SwissProt</bvsq:db>\n"
              "      <bvsq:prot_title>&gt;sp|P69905|HBA_HUMAN Hemoglobin subunit alpha OS=Homo sapiens OX=9606</bvsq:prot_title>\n"
              "      <bvsq:prot_len>142</bvsq:prot_len>\n"
              "    </bvsq:protein>\n"
              "  </bvsq:all_proteins>\n"
              "</bvsq:bv_seqfetch_out>\n");

    // The taxonomy POST answers as the program does when started directly.
    const std::vector<std::pair<std::string, std::string>> taxFields = {
        {"DB", "SwissProt"}, {"SHOWSYNONYMS", "1"}, {"SHOWTAXTREE", "1"}, {"ACCESSION", "\"P69905\""}, {"TAXID", "562"}};
    const RunResult taxPost = fetch(formArguments(taxFields), "bv-taxfetch.exe");
    EXPECT_NE(taxPost.standardOutput.find("<bvtx:"), std::string::npos) << taxPost.standardOutput;
    EXPECT_EQ(taxPost.standardOutput.find("<bvtx:error"), std::string::npos) << taxPost.standardOutput;
    EXPECT_NE(taxPost.standardOutput.find("Homo sapiens"), std::string::npos) << taxPost.standardOutput;
    EXPECT_NE(taxPost.standardOutput.find("Escherichia coli"), std::string::npos) << taxPost.standardOutput;

    EXPECT_EQ(runningSlots(root + "/data/tarvex.control"), 0);
    // The error log holds the missing accession and, from the first request
    // that builds the taxonomy caches, their "missing cache" note; nothing
    // else (a refused write or lock would show here).
    const std::string log = tarvex_test::readFile(root + "/logs/errorlog.txt");
    EXPECT_NE(log.find("cannot find accession NOSUCHACC"), std::string::npos) << log;
    const std::regex entry("Error \\[M(\\d+) ");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), entry); it != std::sregex_iterator(); ++it)
        EXPECT_TRUE((*it)[1] == "00461" || (*it)[1] == "00539") << log;

    // The GET answer is what the same program prints on the command line
    // (run last: as root it would leave files the web user cannot write).
    const RunResult direct = run(root + "/cgi/bv-taxfetch", {"4", "SwissProt", "P69905"}, {}, root + "/cgi");
    EXPECT_EQ("Content-type: text/html\n\n" + viaServer.standardOutput, direct.standardOutput);
}

INSTANTIATE_TEST_SUITE_P(Deploy, WebServers,
                         ::testing::Values(WebServer{"lighttpd", "/usr/sbin/lighttpd", "lighttpd-tarvex.conf"},
                                           WebServer{"apache", "/usr/sbin/apache2", "apache-tarvex.conf"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
