// Session files under failure, through the real bv-seqfetch: a full file
// system, a missing sessions/ folder, a command-line session file left empty
// by an older release, and a broken security options file. Every failure
// names its cause with the path as configured, and nothing half-written
// stays behind for later requests.
#include <gtest/gtest.h>
#include <csignal>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "e2e/seqfetch_fixture.h"
#include "support/database_writer.h"
#include "security/bv_session.h"
#include "support/session_files.h"

namespace {

using seqfetch_e2e::Installation;
using seqfetch_e2e::kHeader;
using tarvex_test::RunResult;

const std::string kSequence = "MKVLAAGIVGLLLAHHHRKDEC";
const std::string kFound = std::string(kHeader) + "*" + kSequence + "\n>P12345 Alpha protein\n";

// One amino-acid database read from its files, security on.
class SecuredInstallation {
public:
    SecuredInstallation() {
        tarvex_test::DatabaseWriter protein("SwissProt", inst.install().file("sequence/SwissProt"));
        protein.setFasta(">P12345 Alpha protein\n" + kSequence + "\n").setParseRule(1);
        EXPECT_TRUE(protein.write()) << protein.error();
        protein.fillControlEntry(inst.control(), 0, false);
        inst.writeControlFile();
        inst.securityOn();
    }

    RunResult lookUp() { return inst.commandLine({"SwissProt", "P12345", "seq"}); }
    std::string sessions() { return inst.install().sessionsDir(); }
    std::string commandLineFile() { return sessions() + "/con_consoleaccessx"; }
    std::vector<std::string> sessionFiles() {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(sessions()))
            names.push_back(entry.path().filename().string());
        return names;
    }

    Installation inst;
};

void expectRefused(const RunResult& r, const std::string& cause, const std::string& root) {
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 186) << r.standardOutput;
    EXPECT_NE(r.standardOutput.find("[M00440]"), std::string::npos) << r.standardOutput;
    EXPECT_NE(r.standardOutput.find(cause), std::string::npos) << r.standardOutput;
    EXPECT_EQ(r.standardOutput.find(root), std::string::npos) << "server path shown: " << r.standardOutput;
}

// A small tmpfs over sessions/, seen only by this test process and the
// programs it starts; unmounted when the object goes.
class SmallFileSystem {
public:
    explicit SmallFileSystem(const std::string& folder) : folder_(folder) {
        mounted_ = ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   ::mount("tarvex-test", folder.c_str(), "tmpfs", 0, "size=64k,mode=0777") == 0;
    }
    ~SmallFileSystem() {
        if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }

    // Writes a file until the file system has no room left.
    void fill(const std::string& path) {
        std::ofstream out(path, std::ios::binary);
        const std::string block(4096, 'x');
        for (int i = 0; i < 1000 && out; ++i) out.write(block.data(), block.size()), out.flush();
    }

private:
    std::string folder_;
    bool mounted_ = false;
};

TEST(SessionFiles, FullFileSystemLeavesNoEmptySessionFile) {
    SecuredInstallation s;
    SmallFileSystem fs(s.sessions());
    if (!fs.mounted()) GTEST_SKIP() << "this test may not mount a file system";
    fs.fill(s.sessions() + "/filler");

    for (int attempt = 0; attempt < 2; ++attempt) {
        SCOPED_TRACE(attempt);
        expectRefused(s.lookUp(),
                      "Can't save the session file con_consoleaccessx. ../sessions/con_consoleaccessx: No space left "
                      "on device",
                      s.inst.install().root());
        EXPECT_EQ(s.sessionFiles(), std::vector<std::string>{"filler"});
    }

    std::filesystem::remove(s.sessions() + "/filler");
    RunResult r = s.lookUp();
    EXPECT_EQ(r.exitStatus, 0) << r.standardOutput;
    EXPECT_EQ(r.standardOutput, kFound);
    EXPECT_NE(s.inst.install().read("sessions/con_consoleaccessx").find("<bvs:userID>3</bvs:userID>"),
              std::string::npos);
    EXPECT_EQ(s.lookUp().standardOutput, kFound);
}

TEST(SessionFiles, BrokenCommandLineSessionFileIsWrittenAnew) {
    for (const char* content : {"", "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\r\n<bvs:secu"}) {
        SCOPED_TRACE(content);
        SecuredInstallation s;
        tarvex_test::writeFile(s.commandLineFile(), content);
        RunResult r = s.lookUp();
        EXPECT_EQ(r.exitStatus, 0) << r.standardOutput;
        EXPECT_EQ(r.standardOutput, kFound);
        EXPECT_NE(s.inst.install().read("sessions/con_consoleaccessx").find("<bvs:userName>Commandline</bvs:userName>"),
                  std::string::npos);
        EXPECT_EQ(s.sessionFiles(), std::vector<std::string>{"con_consoleaccessx"});
    }
}

TEST(SessionFiles, MissingSessionsFolderIsNamed) {
    SecuredInstallation s;
    std::filesystem::remove_all(s.sessions());
    const std::string root = s.inst.install().root();
    // A given session (command line and GET), then the command-line session
    // that cannot be created.
    auto [cmd, get] = s.inst.both({"SwissProt", "P12345", "seq", "--sessionID", "alice"});
    for (const RunResult* r : {&cmd, &get})
        expectRefused(*r, "Can't find the session file requested. ../sessions/: No such file or directory", root);
    expectRefused(s.lookUp(),
                  "Can't save the session file con_consoleaccessx. ../sessions/con_consoleaccessx: No such file or "
                  "directory",
                  root);
    EXPECT_FALSE(std::filesystem::exists(s.sessions()));
}

TEST(SessionFiles, BrokenSecurityOptionsReachTheLogs) {
    SecuredInstallation s;
    s.inst.install().write("config/security_options.xml", "<bvs:security_options><unclosed>");
    for (const RunResult& r : {s.lookUp(), s.inst.get("SwissProt+P12345+seq")}) {
        expectRefused(r, "Failed to load the main security configuration files. XML library failure with error: "
                         "../config/security_options.xml: line 1",
                      s.inst.install().root());
        EXPECT_EQ(r.standardOutput.find("attempt has been made to save"), std::string::npos) << r.standardOutput;
    }
    const std::string errorLog = s.inst.install().read("logs/errorlog.txt");
    EXPECT_NE(errorLog.find("../config/security_options.xml: line 1"), std::string::npos) << errorLog;
    const std::string securityLog = s.inst.install().read("logs/security.log");
    EXPECT_NE(securityLog.find(",2049,1,"), std::string::npos) << securityLog;
    EXPECT_NE(securityLog.find(",4108,2,"), std::string::npos) << securityLog;
    EXPECT_TRUE(s.sessionFiles().empty());
}

// A command-line run killed while it writes its session: the file-size limit
// stops the writer between the temporary's creation and its rename. The
// temporary it leaves, even made complete, is no session anyone can use.
TEST(SessionFiles, AKilledSessionWriteLeavesNoUsableSession) {
    SecuredInstallation s;
    const RunResult whole = s.lookUp();
    ASSERT_EQ(whole.standardOutput, kFound);
    const std::string complete = s.inst.install().read("sessions/con_consoleaccessx");
    constexpr rlim_t kLimit = 512;
    ASSERT_GT(complete.size(), kLimit) << "the limit must fall inside the session's write";
    std::filesystem::remove(s.commandLineFile());

    // The child inherits the limit; this process has it only for the start.
    struct rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = kLimit;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const RunResult killed = s.lookUp();
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    ASSERT_EQ(killed.signal, SIGXFSZ) << killed.standardOutput << killed.standardError;
    const std::vector<std::string> left = s.sessionFiles();
    ASSERT_EQ(left.size(), 1u);
    const std::string leftover = left[0];
    EXPECT_EQ(leftover.rfind("con_consoleaccessx", 0), 0u) << leftover;

    // As if killed after the last byte: a whole session with every right.
    tarvex_test::writeFile(s.sessions() + "/" + leftover, complete);
    EXPECT_FALSE(brenvik::bv_session::isSafeSessionID(leftover)) << leftover;
    // Answered as a session that does not exist.
    auto [missingCmd, missingGet] = s.inst.both({"SwissProt", "P12345", "seq", "--sessionID", "nosuchsession"});
    auto [cmd, get] = s.inst.both({"SwissProt", "P12345", "seq", "--sessionID", leftover});
    EXPECT_EQ(cmd.standardOutput, missingCmd.standardOutput);
    EXPECT_EQ(cmd.exitStatus, missingCmd.exitStatus);
    EXPECT_EQ(get.standardOutput, missingGet.standardOutput);
    EXPECT_EQ(get.standardOutput.find(kSequence), std::string::npos) << get.standardOutput;
}

// Whoever can write sessions/ may plant a link to a session file with every
// right (or to any file): a named session is a file that cannot be opened,
// the command-line session is written anew, and the file the link names is
// neither read nor touched nor replaced.
TEST(SessionFiles, ALinkInPlaceOfASessionFileIsRefused) {
    SecuredInstallation s;
    ASSERT_EQ(s.lookUp().standardOutput, kFound);
    const std::string kept = s.inst.install().file("kept-session");
    std::filesystem::rename(s.commandLineFile(), kept);
    const std::string complete = tarvex_test::readFile(kept);
    const std::time_t old = std::time(nullptr) - 7200;
    tarvex_test::setModificationTime(kept, old);
    const std::string root = s.inst.install().root();
    const std::string linkRefused = ": Too many levels of symbolic links";

    ASSERT_EQ(::symlink(kept.c_str(), (s.sessions() + "/linked").c_str()), 0);
    auto [cmd, get] = s.inst.both({"SwissProt", "P12345", "seq", "--sessionID", "linked"});
    for (const RunResult* r : {&cmd, &get}) {
        expectRefused(*r, "../sessions/linked" + linkRefused, root);
        EXPECT_EQ(r->standardOutput.find(kSequence), std::string::npos) << r->standardOutput;
    }

    // The command-line run replaces a link in place of its own session by a
    // file of its own.
    ASSERT_EQ(::symlink(kept.c_str(), s.commandLineFile().c_str()), 0);
    EXPECT_EQ(s.lookUp().standardOutput, kFound);
    EXPECT_FALSE(std::filesystem::is_symlink(s.commandLineFile()));

    EXPECT_EQ(tarvex_test::readFile(kept), complete);
    struct stat st;
    ASSERT_EQ(::stat(kept.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, old);
}

// Whoever can write sessions/ must not lock the administrator's command line
// out: whatever stands in place of the command-line session file is
// replaced by a fresh file renamed into place; a folder (no file can be
// renamed over it) is moved aside with what it holds, neither removed nor
// searched.
TEST(SessionFiles, WhateverStandsInPlaceOfTheCommandLineSessionIsReplaced) {
    tarvex_test::SystemUser web;
    std::string why;
    if (!tarvex_test::systemUser("www-data", web, why)) GTEST_SKIP() << why;
    for (const char* planted : {"FIFO", "socket", "empty folder", "folder with a file"}) {
        SCOPED_TRACE(planted);
        SecuredInstallation s;
        const std::string place = s.commandLineFile();
        const std::string kind = planted;
        if (kind == "FIFO") {
            ASSERT_EQ(::mkfifo(place.c_str(), 0666), 0);
        }
        if (kind == "socket") {
            ASSERT_EQ(::mknod(place.c_str(), S_IFSOCK | 0666, 0), 0);
        }
        if (kind.find("folder") != std::string::npos) {
            ASSERT_TRUE(std::filesystem::create_directory(place));
        }
        if (kind == "folder with a file") tarvex_test::writeFile(place + "/inside", "kept\n");
        ASSERT_EQ(::lchown(place.c_str(), static_cast<uid_t>(web.uid), static_cast<gid_t>(web.gid)), 0);

        for (int run = 0; run < 2; ++run) {
            SCOPED_TRACE(run);
            RunResult r = s.lookUp();
            EXPECT_EQ(r.exitStatus, 0) << r.standardOutput;
            EXPECT_EQ(r.standardOutput, kFound);
        }
        EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(place)));
        EXPECT_NE(s.inst.install().read("sessions/con_consoleaccessx").find("<bvs:userName>Commandline</bvs:userName>"),
                  std::string::npos);
        std::vector<std::string> names = s.sessionFiles();
        std::sort(names.begin(), names.end());
        if (kind.find("folder") == std::string::npos) {
            EXPECT_EQ(names, std::vector<std::string>{"con_consoleaccessx"});
            continue;
        }
        ASSERT_EQ(names.size(), 2u);
        const std::string aside = names[1];
        EXPECT_EQ(aside.rfind("con_consoleaccessx\\folder", 0), 0u) << aside;
        EXPECT_FALSE(brenvik::bv_session::isSafeSessionID(aside));
        if (kind == "folder with a file") {
            EXPECT_EQ(tarvex_test::readFile(s.sessions() + "/" + aside + "/inside"), "kept\n");
        }
    }
}

// A session file far larger than any real one is refused before it is read,
// and one holding a NUL byte is no document, for whatever followed it:
// the request is refused as for a file that cannot be read, named with its
// reason, on the command line (root) and through the web server (www-data).
TEST(SessionFiles, AnOversizedSessionOrOneWithANulIsInvalid) {
    tarvex_test::SystemUser web;
    std::string why;
    if (!tarvex_test::systemUser("www-data", web, why)) GTEST_SKIP() << why;
    const std::string granting =
        tarvex_test::sessionFileXml(tarvex_test::userSession(7, {{10, 10, {"SwissProt"}}}));
    struct Case {
        const char* name;
        std::string content;
        off_t sparseSize;  // the file's size, made with a hole; 0: as written
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"granting session", granting, 0, nullptr},
        {"padded to 5 MiB", granting + std::string(std::size_t{5} << 20, '\n'), 0, "File too large"},
        {"sparse 10 GB", granting, off_t{10} << 30, "File too large"},
        {"NUL and junk after it", granting + std::string("\0junk<x>", 9), 0, "File contains a NUL byte"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SecuredInstallation s;
        s.inst.runAs(web);
        const std::string path = s.sessions() + "/alice";
        tarvex_test::writeFile(path, c.content);
        if (c.sparseSize > 0) {
            ASSERT_EQ(::truncate(path.c_str(), c.sparseSize), 0);
        }
        ASSERT_EQ(::chown(path.c_str(), static_cast<uid_t>(web.uid), static_cast<gid_t>(web.gid)), 0);
        const std::vector<std::string> arguments = {"SwissProt", "P12345", "seq", "--sessionID", "alice"};

        tarvex_test::RunRequest asRoot;
        asRoot.program = tarvex_test::programPath("bv-seqfetch");
        asRoot.arguments = arguments;
        asRoot.workingFolder = s.inst.install().cgiDir();
        // The web server's run first: it creates the job-number file as it
        // would on a server, where root's runs then use it.
        const RunResult get = s.inst.get("SwissProt+P12345+seq+--sessionID+alice");
        const RunResult cmd = tarvex_test::runProgram(asRoot);
        for (const RunResult* r : {&cmd, &get}) {
            if (c.reason == nullptr) {
                EXPECT_EQ(r->standardOutput, kFound);
                continue;
            }
            expectRefused(*r, "../sessions/alice: " + std::string(c.reason), s.inst.install().root());
            EXPECT_EQ(r->standardOutput.find(kSequence), std::string::npos) << r->standardOutput;
        }
    }
}

// The GET road decodes "%00" like any byte: a session ID that holds one is
// refused as the cookie road refuses it, not cut short to the session
// before the NUL; so is the POST road's.
TEST(SessionFiles, ANulInTheSessionIdIsRefusedOnEveryRoad) {
    SecuredInstallation s;
    tarvex_test::writeSessionFile(s.sessions(), "good", tarvex_test::userSession(7, {{10, 10, {"SwissProt"}}}));
    ASSERT_EQ(s.inst.get("SwissProt+P12345+seq+--sessionID+good").standardOutput, kFound);
    const RunResult missing = s.inst.get("SwissProt+P12345+seq+--sessionID+nosuchsession");
    const RunResult withNul = s.inst.get("SwissProt+P12345+seq+--sessionID+good%00junk");
    EXPECT_EQ(withNul.standardOutput, missing.standardOutput);
    EXPECT_EQ(withNul.exitStatus, missing.exitStatus);

    auto post = [&](const std::string& id) {
        auto part = [](const std::string& name, const std::string& value) {
            return "--XX\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
        };
        return s.inst.post(part("DB", "SwissProt") + part("ACCESSION", "\"P12345\"") + part("SESSIONID", id) +
                           "--XX--\r\n");
    };
    // The job number aside, which each request takes anew.
    auto answer = [&](const std::string& id) {
        return std::regex_replace(post(id).standardOutput, std::regex("jobid=\"[0-9]+\""), "jobid");
    };
    const std::string postGood = answer("good");
    ASSERT_EQ(postGood.find("<bvsq:all_errors>"), std::string::npos) << postGood;
    // Refused, as the body then holds a NUL.
    EXPECT_NE(answer(std::string("good\0junk", 9)).find("<bvsq:all_errors>"), std::string::npos);
}

}  // namespace
