// Files the programs write in the server's writable folders (data/, logs/,
// taxonomy/), through the real programs run as the test's user: a link
// planted in place of such a file is refused, never followed, and the
// request goes on as for any file that cannot be opened; new logs and caches
// get the configured group's access; an error log that cannot be opened says
// why on standard error.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/seqfetch_fixture.h"
#include "e2e/taxfetch_fixture.h"
#include "common/log_fixture.h"
#include "support/database_writer.h"

namespace {

using tarvex_test::RunResult;

const std::string kSequence = "MKVLAAGIVGLLLAHHHRKDEC";
const std::string kFound = std::string(seqfetch_e2e::kHeader) + "*" + kSequence + "\n>P12345 Alpha protein\n";
const char* const kVictimText = "precious\n";
const std::string kLinkRefused = "Too many levels of symbolic links";

// New files get 0666 under the umask: with 022 only the group grant makes
// them group-writable.
class Umask {
public:
    explicit Umask(mode_t mask) : saved_(::umask(mask)) {}
    ~Umask() { ::umask(saved_); }

private:
    mode_t saved_;
};

mode_t modeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// One amino-acid database and a file outside the writable folders that an
// attacker would like the programs to write.
class Site {
public:
    Site() {
        tarvex_test::DatabaseWriter protein("SwissProt", inst.install().file("sequence/SwissProt"));
        protein.setFasta(">P12345 Alpha protein\n" + kSequence + "\n").setParseRule(1);
        EXPECT_TRUE(protein.write()) << protein.error();
        protein.fillControlEntry(inst.control(), 0, false);
        inst.writeControlFile();
        tarvex_test::writeFile(victim(), kVictimText);
        EXPECT_EQ(::chmod(victim().c_str(), 0600), 0);
    }

    std::string victim() { return inst.install().file("victim"); }
    std::string file(const std::string& relative) { return inst.install().file(relative); }
    // A link in place of relative, to the victim or to a name that does not
    // exist yet.
    void plant(const std::string& relative, bool dangling = false) {
        std::filesystem::remove(file(relative));
        const std::string target = dangling ? file("nowhere") : victim();
        ASSERT_EQ(::symlink(target.c_str(), file(relative).c_str()), 0);
    }
    void expectVictimUntouched() {
        EXPECT_EQ(tarvex_test::readFile(victim()), kVictimText);
        EXPECT_EQ(modeOf(victim()), 0600u);
        EXPECT_FALSE(tarvex_test::pathExists(file("nowhere")));
    }
    RunResult lookUp() { return inst.commandLine({"SwissProt", "P12345", "seq"}); }
    // A relative file as messages name it: from the working folder, cgi/.
    std::string shown(const std::string& relative) {
        return std::filesystem::canonical(file("cgi")).string() + "/../" + relative;
    }
    // What a job-number file that cannot be opened ends a look-up with.
    std::string jobFileRefused() {
        return std::string(seqfetch_e2e::kHeader) + "The following serious error has occurred:<BR>\n" +
               "Can't open " + shown("data/seqfetch.job") + " for \"writing\". Error " + kLinkRefused +
               " [M00012]<BR>\nPlease try again later<BR>\n";
    }

    seqfetch_e2e::Installation inst;
};

TEST(PlantedLinks, ALinkInPlaceOfTheJobNumberFileIsAnOpenFailure) {
    for (bool dangling : {false, true}) {
        SCOPED_TRACE(dangling ? "dangling link" : "link to a file");
        Site site;
        site.plant("data/seqfetch.job", dangling);
        RunResult r = site.lookUp();
        EXPECT_EQ(r.exitStatus, 13) << r.standardOutput << r.standardError;
        EXPECT_EQ(r.standardOutput, site.jobFileRefused());
        const std::string log = site.inst.install().read("logs/errorlog.txt");
        EXPECT_NE(log.find("Can't open " + site.shown("data/seqfetch.job") + " for \"writing\". Error " + kLinkRefused), std::string::npos)
            << log;
        EXPECT_TRUE(std::filesystem::is_symlink(site.file("data/seqfetch.job")));
        site.expectVictimUntouched();
    }
}

TEST(PlantedLinks, ALinkInPlaceOfTheErrorLogSendsTheEntryToStandardError) {
    for (bool dangling : {false, true}) {
        SCOPED_TRACE(dangling ? "dangling link" : "link to a file");
        Site site;
        // The job-number file's open failure is the entry to be logged.
        site.plant("data/seqfetch.job", dangling);
        site.plant("logs/errorlog.txt", dangling);
        RunResult r = site.lookUp();
        EXPECT_EQ(r.standardOutput, site.jobFileRefused());
        EXPECT_EQ(r.standardError.rfind("cannot append to " + site.shown("logs/errorlog.txt") + ": " + kLinkRefused + "\nError [M00012", 0),
                  0u)
            << r.standardError;
        site.expectVictimUntouched();
    }
}

TEST(PlantedLinks, ALinkInPlaceOfTheSecurityLogIsNotFollowed) {
    Site site;
    site.inst.securityOn();
    // A broken options file: its failure goes to the security log.
    site.inst.install().write("config/security_options.xml", "<bvs:security_options><unclosed>");
    site.plant("logs/security.log");
    site.lookUp();
    EXPECT_NE(site.inst.install().read("logs/errorlog.txt").find("../config/security_options.xml: line 1"),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::is_symlink(site.file("logs/security.log")));
    site.expectVictimUntouched();
}

// The control file is written through its mapping only when it is the file
// the monitor registered: a link planted in its place, to a file of the same
// form, is the mapping that is missing, and the file it names is not written.
TEST(PlantedLinks, ALinkInPlaceOfTheControlFileIsNotWrittenThrough) {
    Site site;
    // A live registration carries the file's device and inode.
    site.inst.monitor().stop();
    ASSERT_TRUE(site.inst.monitor().registerControlFile(site.inst.controlFilePath()));
    ASSERT_EQ(site.lookUp().standardOutput, kFound);
    const std::string copy = site.file("control-copy");
    std::filesystem::copy_file(site.inst.controlFilePath(), copy);
    const std::string before = tarvex_test::readFile(copy);
    std::filesystem::rename(site.inst.controlFilePath(), site.file("data/tarvex.control.real"));
    ASSERT_EQ(::symlink(copy.c_str(), site.inst.controlFilePath().c_str()), 0);

    RunResult r = site.lookUp();
    EXPECT_NE(r.standardOutput.find("[M00327]"), std::string::npos) << r.standardOutput;
    EXPECT_EQ(r.standardOutput.find(kSequence), std::string::npos) << r.standardOutput;
    EXPECT_EQ(tarvex_test::readFile(copy), before);
    EXPECT_TRUE(std::filesystem::is_symlink(site.inst.controlFilePath()));
}

TEST(PlantedLinks, FoldersMayBeLinks) {
    // An administrator who wants the logs and data elsewhere links the folder.
    Site site;
    const std::string elsewhere = site.file("elsewhere");
    for (const char* folder : {"data", "logs"}) {
        std::filesystem::rename(site.file(folder), elsewhere + "-" + folder);
        std::filesystem::create_directory_symlink(elsewhere + "-" + folder, site.file(folder));
    }
    // The control file's marker names its real place.
    ASSERT_TRUE(site.inst.monitor().registerControlFile(site.inst.controlFilePath(),
                                                        tarvex_test::FakeMonitor::Owner::PidZero));
    RunResult r = site.lookUp();
    EXPECT_EQ(r.standardOutput, kFound);
    EXPECT_EQ(r.standardError, "");
    EXPECT_EQ(site.inst.install().read("elsewhere-data/seqfetch.job").substr(0, 3), "101");
}

TEST(ErrorLog, OneLineSaysWhyTheLogCannotBeOpened) {
    Site site;
    std::filesystem::create_directory(site.file("logs/errorlog.txt"));
    // A link in place of the job-number file gives an entry to log.
    site.plant("data/seqfetch.job");
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        RunResult r = site.lookUp();
        EXPECT_EQ(r.standardOutput, site.jobFileRefused());
        EXPECT_EQ(tarvex_test::maskTimes(r.standardError),
                  "cannot append to " + site.shown("logs/errorlog.txt") + ": Is a directory\n"
                  "Error [M00012 - Job -1 - X01266:bv_job] - <time>\n"
                  "   - Can't open " + site.shown("data/seqfetch.job") + " for \"writing\". Error " + kLinkRefused + "\n\n");
    }
}

TEST(GroupAccess, NewLogsAndCachesAreGroupWritable) {
    Umask mask(022);
    {
        Site site;
        site.plant("data/seqfetch.job");  // an entry for the error log
        site.lookUp();
        EXPECT_EQ(modeOf(site.file("logs/errorlog.txt")), 0664u);
    }
    taxfetch_e2e::Installation inst;
    RunResult r = inst.commandLine({"7", "Proteins", "101"});
    EXPECT_EQ(r.exitStatus, 0) << r.standardOutput;
    for (const char* cache : {"taxonomy/small_names.dmp.cdb", "taxonomy/small_nodes.dmp.cdb"})
        EXPECT_EQ(modeOf(inst.install().file(cache)), 0664u) << cache;
}

TEST(PlantedLinks, ALinkInPlaceOfACacheIsReplacedByARealCache) {
    taxfetch_e2e::Installation inst;
    const std::vector<std::string> arguments = {"7", "Proteins", "101"};
    const RunResult first = inst.commandLine(arguments);
    ASSERT_EQ(first.exitStatus, 0) << first.standardOutput;
    // A valid cache kept elsewhere, linked in place of the real one.
    const std::string cache = inst.install().file("taxonomy/small_nodes.dmp.cdb");
    const std::string elsewhere = inst.install().file("elsewhere.cdb");
    std::filesystem::rename(cache, elsewhere);
    ASSERT_EQ(::chmod(elsewhere.c_str(), 0600), 0);
    const std::string kept = tarvex_test::readFile(elsewhere);
    ASSERT_EQ(::symlink(elsewhere.c_str(), cache.c_str()), 0);

    const RunResult second = inst.commandLine(arguments);
    EXPECT_EQ(second.standardOutput, first.standardOutput);
    EXPECT_FALSE(std::filesystem::is_symlink(cache)) << "the link is not read as the cache";
    EXPECT_NE(tarvex_test::readFile(cache), "");
    EXPECT_EQ(tarvex_test::readFile(elsewhere), kept);
    EXPECT_EQ(modeOf(elsewhere), 0600u);
}

}  // namespace
