#include "support/fixture_install.h"

#include <grp.h>
#include <sys/stat.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include <gtest/gtest.h>

#include "common/module_loader.h"

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

void FixtureInstall::giveTo(int uid, int gid) const {
    auto give = [&](const std::filesystem::path& path) {
        if (::lchown(path.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0)
            throw std::runtime_error("cannot hand over " + path.string());
    };
    give(root());
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root())) give(entry.path());
}

bool systemUser(const char* name, SystemUser& user, std::string& why) {
    if (::geteuid() != 0) {
        why = std::string("switching to the user ") + name + " needs root";
        return false;
    }
    const struct passwd* entry = ::getpwnam(name);
    if (entry == nullptr) {
        why = std::string("no user ") + name + " on this system";
        return false;
    }
    user.uid = static_cast<int>(entry->pw_uid);
    user.gid = static_cast<int>(entry->pw_gid);
    return true;
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

std::string moduleSafeFolder() {
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(TARVEX_BINARY_DIR) / "test-installs";
    fs::create_directories(folder);
    fs::permissions(folder, static_cast<fs::perms>(0755));
    const std::string path = fs::canonical(folder).string();
    // The programs copied into the installations are this user's.
    if (auto fault = brenvik::moduleFolderFault(path, ::geteuid()))
        ADD_FAILURE() << "the programs refuse modules under " << path << ", the build's own among them: " << *fault;
    return path;
}

std::string ownGroup() {
    struct group* g = ::getgrgid(::getgid());
    return g ? g->gr_name : "root";
}

std::string fixtureClusterAndOptions(const std::string& extraLines) {
    return "Cluster\n"
           "Enabled\t0\n"
           "end\n"
           "\n"
           "Options\n"
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
