// Files the programs write in the server's writable folders (data/, logs/,
// taxonomy/), through the real programs run as the test's user: a link
// planted in place of such a file is refused, never followed, and the
// request goes on as for any file that cannot be opened; new logs and caches
// get the configured group's access (and a group that cannot be given is
// said on standard error); an error log that cannot be opened says why on
// standard error. Files planted by the web server's user, where the
// programs read or append as root: only root's links are followed, only
// regular files are opened, and zeros in a dump end its reading.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
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
const std::string kNotRegular = "Not a regular file";
const std::string kLinkRefused = "Too many levels of symbolic links";
const std::string kHardLinkRefused = "File has more than one link (a hard link)";
const std::string kOtherOwnerRefused = "File belongs to another user";
// Messages name a relative file from the working folder (cgi/) it was
// resolved from; the cases below name it as configured.
std::string asConfigured(std::string text, const std::string& cgi) {
    const std::string from = std::filesystem::canonical(cgi).string() + "/";
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) text.erase(at, from.size());
    return text;
}

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
    std::string jobFileRefused(const std::string& reason = kLinkRefused) {
        return std::string(seqfetch_e2e::kHeader) + "The following serious error has occurred:<BR>\n" +
               "Can't open " + shown("data/seqfetch.job") + " for \"writing\". Error " + reason +
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

// Where the kernel lets anyone hard-link any file of the file system
// (fs.protected_hardlinks=0), whoever can write data/ or logs/ can give a
// file they cannot write a second name there, or move in a file of another
// user. Such a file is refused like a link wherever it is written in place,
// and stays as it was. Root plays the attacker's result (the kernel of the
// test machine may refuse the attacker the link itself); the file of
// another user (nobody) is refused to a root run and to the web server's.
TEST(PlantedFiles, AHardLinkOrAnotherUsersFileIsNotWrittenInPlace) {
    tarvex_test::SystemUser nobody, web;
    std::string why;
    if (!tarvex_test::systemUser("nobody", nobody, why) || !tarvex_test::systemUser("www-data", web, why))
        GTEST_SKIP() << why;
    for (const char* planted : {"data/seqfetch.job", "logs/errorlog.txt", "data/tarvex.control"}) {
        for (const char* how : {"hard link", "nobody's file", "nobody's file, run as www-data"}) {
            SCOPED_TRACE(std::string(planted) + ", " + how);
            const bool hardLink = how == std::string("hard link");
            Site site;
            if (std::string(how).find("www-data") != std::string::npos) site.inst.runAs(web);
            const std::string place = site.file(planted);
            // A file of the form the programs expect, so that only what it
            // is can refuse it.
            const bool control = place == site.inst.controlFilePath();
            const std::string victim = hardLink ? site.victim() : place;
            if (!control) tarvex_test::writeFile(victim, kVictimText);
            else if (hardLink) std::filesystem::copy_file(place, victim, std::filesystem::copy_options::overwrite_existing);
            if (hardLink) {
                std::filesystem::remove(place);
                ASSERT_EQ(::link(victim.c_str(), place.c_str()), 0);
                ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
            } else {
                ASSERT_EQ(::chown(victim.c_str(), static_cast<uid_t>(nobody.uid), static_cast<gid_t>(nobody.gid)), 0);
                ASSERT_EQ(::chmod(victim.c_str(), 0666), 0);
            }
            const std::string before = tarvex_test::readFile(victim);
            // A link in place of the job-number file gives the error log an entry.
            if (planted == std::string("logs/errorlog.txt")) site.plant("data/seqfetch.job");
            const std::string reason = hardLink ? kHardLinkRefused : kOtherOwnerRefused;

            RunResult r = site.lookUp();
            const std::string log = site.inst.install().read("logs/errorlog.txt");
            if (planted == std::string("data/seqfetch.job")) {
                EXPECT_EQ(r.standardOutput, site.jobFileRefused(reason)) << r.standardError;
            } else if (planted == std::string("logs/errorlog.txt")) {
                EXPECT_EQ(r.standardError.rfind("cannot append to " + site.shown("logs/errorlog.txt") + ": " + reason + "\n", 0), 0u)
                    << r.standardError;
            } else {
                EXPECT_NE(r.standardOutput.find("[M00327]"), std::string::npos) << r.standardOutput;
                EXPECT_NE(log.find(site.shown("data/tarvex.control") + ". Error " + reason), std::string::npos) << log;
            }
            EXPECT_EQ(tarvex_test::readFile(victim), before);
        }
    }
}

// Anything but a file in place of the control file is refused as the file
// it is not, and the page, on the command line and through GET, and the log
// say which file and why, besides the page's "not running"; a POST's XML
// error keeps its text, and its messages carry the reason.
TEST(PlantedFiles, AnythingButAFileInPlaceOfTheControlFileIsNamedWithItsReason) {
    const struct {
        const char* planted;
        std::string reason;
    } cases[] = {
        {"FIFO", kNotRegular},
        {"socket", kNotRegular},
        {"folder", "Is a directory"},
        {"link", kLinkRefused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.planted);
        Site site;
        const std::string place = site.inst.controlFilePath();
        // A control file of the right form elsewhere, for the link to name.
        std::filesystem::copy_file(place, site.victim(), std::filesystem::copy_options::overwrite_existing);
        std::filesystem::remove(place);
        const std::string kind = c.planted;
        if (kind == "FIFO") {
            ASSERT_EQ(::mkfifo(place.c_str(), 0666), 0);
        } else if (kind == "socket") {
            ASSERT_EQ(::mknod(place.c_str(), S_IFSOCK | 0666, 0), 0);
        } else if (kind == "folder") {
            ASSERT_TRUE(std::filesystem::create_directory(place));
        } else {
            ASSERT_EQ(::symlink(site.victim().c_str(), place.c_str()), 0);
        }
        const std::string named = site.shown("data/tarvex.control") + ". Error " + c.reason;
        const std::string page = std::string(seqfetch_e2e::kHeader) + "Cannot map the control file " + named +
                                 "<BR>\nThe following serious error has occurred:<BR>\n"
                                 "The bv-watcher daemon/service is not running, please start it. (Sub Cluster 0) "
                                 "[M00327]<BR>\nPlease try again later<BR>\n";
        const auto [command, get] = site.inst.both({"SwissProt", "P12345", "seq"});
        for (const RunResult& r : {command, get}) {
            EXPECT_EQ(r.exitStatus, 73) << r.standardOutput;
            EXPECT_EQ(r.standardOutput, page);
        }
        const std::string log = site.inst.install().read("logs/errorlog.txt");
        EXPECT_NE(log.find("Failed to create memory map ** for " + named), std::string::npos) << log;
        EXPECT_EQ(log.find("Cannot map"), std::string::npos) << log;

        const RunResult post = site.inst.post(
            "--XX\r\nContent-Disposition: form-data; name=\"DB\"\r\n\r\nSwissProt\r\n"
            "--XX\r\nContent-Disposition: form-data; name=\"ACCESSION\"\r\n\r\n\"P12345\"\r\n--XX--\r\n");
        EXPECT_EQ(post.exitStatus, 0);
        EXPECT_NE(post.standardOutput.find("<bvsq:error code=\"327\">\n      <bvsq:err_description>Monitor is not "
                                           "running</bvsq:err_description>\n      <bvsq:err_param name=\"messages\">"
                                           "Failed to create memory map ** for " + named +
                                           "; The bv-watcher daemon/service is not running"),
                  std::string::npos)
            << post.standardOutput;
        EXPECT_EQ(post.standardOutput.find("Cannot map"), std::string::npos) << post.standardOutput;
    }
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

TEST(GroupAccess, AMissingGroupIsSaidOnceOnStandardError) {
    Umask mask(022);
    taxfetch_e2e::Installation inst;
    std::string config = inst.install().read("config/tarvex.dat");
    const std::string own = "NTIUserGroup\t" + tarvex_test::ownGroup() + "\n";
    ASSERT_NE(config.find(own), std::string::npos);
    config.replace(config.find(own), own.size(), "NTIUserGroup\ttarvex-no-such-group\n");
    inst.install().write("config/tarvex.dat", config);
    // The first look-up creates the job-number file, both caches and the
    // error log (which records that the caches had to be built).
    RunResult r = inst.commandLine({"7", "Proteins", "101"});
    EXPECT_EQ(r.exitStatus, 0) << r.standardOutput;
    EXPECT_EQ(r.standardError, "cannot give group tarvex-no-such-group (NTIUserGroup) access to " +
                                   inst.install().cgiDir() + "/../data/seqfetch.job: no such group\n");
    for (const char* file : {"data/seqfetch.job", "logs/errorlog.txt", "taxonomy/small_names.dmp.cdb",
                             "taxonomy/small_nodes.dmp.cdb"})
        EXPECT_EQ(modeOf(inst.install().file(file)), 0644u) << file;
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

// The web server's user, who owns the shared folders and plants files there
// as an attacker holding it would; the programs run as root.
struct WebUser {
    uid_t uid = 0;
    gid_t gid = 0;
};

std::optional<WebUser> webUser(std::string& why) {
    const struct passwd* web = ::getpwnam("www-data");
    if (::geteuid() != 0)
        why = "needs root, to plant files as www-data and run the programs as root";
    else if (web == nullptr)
        why = "no user www-data";
    else
        return WebUser{web->pw_uid, web->pw_gid};
    return std::nullopt;
}

// Runs plant as that user in a forked child; true when it said it worked.
bool asWebUser(const WebUser& user, const std::function<bool()>& plant) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const bool dropped = ::setgroups(0, nullptr) == 0 && ::setgid(user.gid) == 0 && ::setuid(user.uid) == 0;
        ::_exit(dropped && plant() ? 0 : 1);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Gives the four shared folders to the web server's user, as the package
// does (the files already in them stay root's), and lets it reach them.
void shareFolders(const tarvex_test::FixtureInstall& install, const WebUser& user) {
    ASSERT_EQ(::chmod(install.root().c_str(), 0755), 0);
    for (const char* folder : {"data", "logs", "sessions", "taxonomy"})
        ASSERT_EQ(::chown(install.file(folder).c_str(), user.uid, user.gid), 0) << folder;
}

bool replaceBy(const std::string& path, const std::function<bool(const std::string&)>& make) {
    return (::unlink(path.c_str()) == 0 || errno == ENOENT) && make(path);
}
bool linkTo(const std::string& target, const std::string& path) { return ::symlink(target.c_str(), path.c_str()) == 0; }
bool fifoAt(const std::string& path) { return ::mkfifo(path.c_str(), 0666) == 0; }
// 10 GB of zeros that take no room.
bool sparseAt(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool made = fd >= 0 && ::ftruncate(fd, int64_t{10} << 30) == 0;
    if (fd >= 0) ::close(fd);
    return made;
}

const std::string kSecret = "Top secret of root";

// What stands in place of a taxonomy file that a root look-up reads, and by
// whom it was put there.
struct TaxonomyPlant {
    const char* name;
    const char* file;  // in taxonomy/
    bool byWebUser;
    // Makes the thing at the path; secret is a root-only file in the dump's
    // shape, in a folder only root can enter.
    std::function<bool(const std::string& path, const std::string& secret)> make;
    // Text the run's answer or error log holds; empty: the answer is the one
    // of the untouched installation.
    std::string said;
};

TEST(PlantedFiles, TaxonomyFilesAreReadOnlyWhenRegularAndReachedThroughRootsLinks) {
    std::string why;
    const std::optional<WebUser> user = webUser(why);
    if (!user) GTEST_SKIP() << why;
    const std::string linkRefused = "Can't open ../taxonomy/small_names.dmp for \"reading\". Error " + kLinkRefused;
    const std::string notRegular = "Can't open ../taxonomy/small_names.dmp for \"reading\". Error " + kNotRegular;
    const std::vector<TaxonomyPlant> plants = {
        {"a link of www-data to a root-only file", "small_names.dmp", true,
         [](const std::string& p, const std::string& secret) { return linkTo(secret, p); }, linkRefused},
        {"root's own link to the dump kept elsewhere", "small_names.dmp", false,
         [](const std::string& p, const std::string&) { return linkTo(p + ".kept", p); }, ""},
        {"root's link to /dev/zero", "small_names.dmp", false,
         [](const std::string& p, const std::string&) { return linkTo("/dev/zero", p); }, notRegular},
        {"a FIFO in place of the names dump", "small_names.dmp", true,
         [](const std::string& p, const std::string&) { return fifoAt(p); }, notRegular},
        {"a FIFO in place of the names cache", "small_names.dmp.cdb", true,
         [](const std::string& p, const std::string&) { return fifoAt(p); }, ""},
        {"a sparse 10 GB names dump", "small_names.dmp", true,
         [](const std::string& p, const std::string&) { return sparseAt(p); },
         "The taxonomy node file [../taxonomy/small_names.dmp] is missing or empty"},
        {"a sparse 10 GB nodes dump", "small_nodes.dmp", true,
         [](const std::string& p, const std::string&) { return sparseAt(p); },
         "The taxonomy node file [../taxonomy/small_nodes.dmp] is missing, empty or cannot be opened"},
    };
    const std::vector<std::string> arguments = {"7", "Proteins", "101"};
    std::string untouched;
    {
        taxfetch_e2e::Installation inst;
        const RunResult r = inst.commandLine(arguments);
        ASSERT_EQ(r.exitStatus, 0) << r.standardOutput;
        untouched = r.standardOutput;
    }
    for (const TaxonomyPlant& plant : plants) {
        SCOPED_TRACE(plant.name);
        taxfetch_e2e::Installation inst;
        shareFolders(inst.install(), *user);
        const std::string vault = inst.install().file("vault");
        ASSERT_EQ(::mkdir(vault.c_str(), 0700), 0);
        const std::string secret = vault + "/secret.dmp";
        tarvex_test::writeFile(secret, taxfetch_e2e::nameLine(101, kSecret, "scientific name"));
        ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
        const std::string path = inst.install().file(std::string("taxonomy/") + plant.file);
        std::filesystem::copy_file(path.substr(0, path.find(".cdb")), path + ".kept");
        const auto make = [&] { return replaceBy(path, [&](const std::string& p) { return plant.make(p, secret); }); };
        ASSERT_TRUE(plant.byWebUser ? asWebUser(*user, make) : make());

        const RunResult r = inst.commandLine(arguments);
        EXPECT_FALSE(r.timedOut);
        const std::string log = inst.install().read("logs/errorlog.txt");
        if (plant.said.empty()) {
            EXPECT_EQ(r.standardOutput, untouched);
        } else {
            const std::string said = asConfigured(r.standardOutput + log, inst.install().cgiDir());
            EXPECT_NE(said.find(plant.said), std::string::npos) << r.standardOutput << log;
        }
        EXPECT_EQ(r.standardOutput.find(kSecret), std::string::npos);
        for (const auto& entry : std::filesystem::directory_iterator(inst.install().taxonomyDir()))
            if (entry.is_regular_file() && entry.path().extension() == ".cdb") {
                EXPECT_EQ(tarvex_test::readFile(entry.path()).find(kSecret), std::string::npos) << entry.path();
            }
    }
}

// A FIFO of the web server's user in place of a log a root run appends to:
// the run goes on, and says on standard error why the log could not take
// the entry.
TEST(PlantedFiles, AFifoInPlaceOfALogDoesNotStopTheRun) {
    std::string why;
    const std::optional<WebUser> user = webUser(why);
    if (!user) GTEST_SKIP() << why;
    for (const char* log : {"logs/errorlog.txt", "logs/security.log"}) {
        SCOPED_TRACE(log);
        Site site;
        shareFolders(site.inst.install(), *user);
        // Entries for both logs: a job-number file that cannot be opened, and
        // a broken security options file.
        site.plant("data/seqfetch.job");
        site.inst.securityOn();
        site.inst.install().write("config/security_options.xml", "<bvs:security_options><unclosed>");
        const std::string path = site.file(log);
        ASSERT_TRUE(asWebUser(*user, [&] { return replaceBy(path, fifoAt); }));
        const RunResult r = site.lookUp();
        EXPECT_FALSE(r.timedOut);
        EXPECT_TRUE(r.exited);
        const std::string said = std::string("cannot append to ../") + log + ": " + kNotRegular;
        if (std::string(log) == "logs/errorlog.txt")
            EXPECT_NE(asConfigured(r.standardError, site.inst.install().cgiDir()).find(said), std::string::npos)
                << r.standardError;
        else
            EXPECT_NE(site.inst.install().read("logs/errorlog.txt").find("../config/security_options.xml: line 1"),
                      std::string::npos);
        struct stat st;
        EXPECT_TRUE(::lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    }
}

}  // namespace
