#include "support/fixture_install.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace tarvex_test {

FixtureInstall::FixtureInstall(const std::string& tag) : dir_(tag) {
    for (const char* sub : {"cgi", "config", "data", "logs", "sessions", "taxonomy", "sequence"})
        std::filesystem::create_directories(dir_.file(sub));
}

void FixtureInstall::write(const std::string& relative, const std::string& content) const {
    writeFile(file(relative), content);
}

std::string FixtureInstall::read(const std::string& relative) const {
    std::string path = file(relative);
    return pathExists(path) ? readFile(path) : std::string();
}

WorkingFolder::WorkingFolder(const std::string& path) {
    char buf[4096];
    if (!getcwd(buf, sizeof buf)) throw std::runtime_error("getcwd failed");
    old_ = buf;
    if (chdir(path.c_str()) != 0) throw std::runtime_error("cannot enter " + path);
}

WorkingFolder::~WorkingFolder() {
    if (chdir(old_.c_str()) != 0) {
        // Nothing sensible is left to do in a destructor; the next test's
        // fixture sets its own folder.
    }
}

std::string moduleSafeFolder(std::string& why) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(TARVEX_BINARY_DIR) / "test-installs";
    fs::create_directories(folder);
    fs::permissions(folder, static_cast<fs::perms>(0755));
    for (fs::path p = fs::canonical(folder);; p = p.parent_path()) {
        struct stat st;
        if (::stat(p.c_str(), &st) != 0 || (st.st_uid != 0 && st.st_uid != ::geteuid()) ||
            (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            why = p.string() + " may be written by others than root and this user: the programs refuse modules "
                               "installed under it";
            return "";
        }
        if (p == p.parent_path()) break;
    }
    return fs::canonical(folder).string();
}

std::string ownGroup() {
    struct group* g = ::getgrgid(::getgid());
    return g ? g->gr_name : "root";
}

std::string fixtureOptionsSection(const std::string& extraLines) {
    return "Options\n"
           "ErrorLogFile\t../logs/errorlog.txt\n"
           "MonitorLogFile\t../logs/monitor.log\n"
           "TarvexControlFile\t../data/tarvex.control\n"
           "TarvexJobIdFile\t../data/tarvex.job\n"
           "SeqFetchJobIdFile\t../data/seqfetch.job\n"
           "UniqueJobStartNumber\t100\n"
           "EmailErrorsEnabled\t0\n"
           "EmailUsersEnabled\t0\n"
           "UnixWebUserGroup\t-1\n"
           "NTMonitorGroup\t" +
           ownGroup() + "\nNTIUserGroup\t" + ownGroup() + "\n" + extraLines + "end\n";
}

}  // namespace tarvex_test
