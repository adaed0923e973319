#pragma once
// A temporary server installation: cgi/ (the programs run from here),
// config/, data/, logs/, sessions/, taxonomy/ and sequence/ under one
// folder that is removed with the object. Writers for the files in it come
// with the features that need them.
#include <string>

#include "support/temp_dir.h"

namespace tarvex_test {

class FixtureInstall {
public:
    explicit FixtureInstall(const std::string& tag = "install");

    const std::string& root() const { return dir_.path(); }
    // root() + "/" + relative
    std::string file(const std::string& relative) const { return dir_.file(relative); }
    std::string cgiDir() const { return file("cgi"); }
    std::string configDir() const { return file("config"); }
    std::string dataDir() const { return file("data"); }
    std::string logsDir() const { return file("logs"); }
    std::string sessionsDir() const { return file("sessions"); }
    std::string taxonomyDir() const { return file("taxonomy"); }
    std::string sequenceDir() const { return file("sequence"); }

    // Writes relative (under root) with content, creating folders.
    void write(const std::string& relative, const std::string& content) const;
    // The content of relative, or "" when it does not exist.
    std::string read(const std::string& relative) const;
    // Hands the installation and everything in it to the user and group, as
    // a server's writable folders belong to the web server's user's group,
    // so that a program run as that user can do its work here.
    void giveTo(int uid, int gid) const;

private:
    TempDir dir_;
};

// The last sections of the fixtures' tarvex.dat: the cluster switched off,
// and the Options with logs and job files in the installation's own folders,
// no mail, new files given the user's own group. extraLines (whole lines)
// come before the Options' end line.
std::string fixtureClusterAndOptions(const std::string& extraLines = "");
// The group of this user: the one the programs can give new files.
std::string ownGroup();

// A folder for installations that carry their own programs and modules:
// "test-installs" in the build folder (without links), where the programs
// take modules from whenever they take them from the build folder ($TMPDIR
// may lie anywhere). Fails the test when the programs would refuse it.
std::string moduleSafeFolder();

// A user of the system for a test run as root to switch to (www-data, the
// web server's; nobody, a user no file of the installation belongs to).
struct SystemUser {
    int uid = -1;
    int gid = -1;
};
// False, with the reason a test gives when it skips, when the test does not
// run as root or the user does not exist.
bool systemUser(const char* name, SystemUser& user, std::string& why);

// Makes a folder the working folder for its lifetime (the programs resolve
// "../config/..." and the like from there), and restores the old one.
class WorkingFolder {
public:
    explicit WorkingFolder(const std::string& path);
    ~WorkingFolder();
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;

private:
    std::string old_;
};

}  // namespace tarvex_test
