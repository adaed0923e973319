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
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
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
// right (or to any file): it is a file that cannot be opened, whether named
// or the command-line session, and the file it names is neither read nor
// touched nor replaced.
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

    ASSERT_EQ(::symlink(kept.c_str(), s.commandLineFile().c_str()), 0);
    expectRefused(s.lookUp(), "../sessions/con_consoleaccessx" + linkRefused, root);
    EXPECT_TRUE(std::filesystem::is_symlink(s.commandLineFile()));

    EXPECT_EQ(tarvex_test::readFile(kept), complete);
    struct stat st;
    ASSERT_EQ(::stat(kept.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, old);
}

}  // namespace
