#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/bv_filesystem.h"
#include "common/reporter_platform.h"
#include "support/temp_dir.h"

using brenvik::bv_filesystem;
using tarvex_test::TempDir;
using tarvex_test::writeFile;

namespace {
std::vector<std::string> listAll(bv_filesystem& fs) {
    std::vector<std::string> names;
    std::string n;
    while (fs.next(n)) names.push_back(n);
    return names;
}

// A group other than the file's current one that this user may hand files
// to: any group when running as root, else a supplementary group.
const struct group* otherGroup() {
    gid_t mine = getegid();
    if (geteuid() == 0) {
        for (const char* name : {"users", "nogroup", "daemon", "adm"})
            if (const struct group* g = getgrnam(name); g && g->gr_gid != mine) return g;
        return nullptr;
    }
    gid_t groups[64];
    int n = getgroups(64, groups);
    for (int i = 0; i < n; ++i)
        if (groups[i] != mine) return getgrgid(groups[i]);
    return nullptr;
}
}  // namespace

TEST(FileSystemSearch, SortedMatchesAndRestart) {
    TempDir dir("fs");
    for (const char* n : {"b.dmp", "a.dmp", "B.dmp", "c.txt", "noext"}) writeFile(dir.file(n), "x");
    bv_filesystem fs;
    EXPECT_TRUE(fs.setSearch(dir.path(), "*.dmp"));
    EXPECT_EQ(listAll(fs), (std::vector<std::string>{"B.dmp", "a.dmp", "b.dmp"}));
    fs.close();
    fs.setSearch(dir.path(), "*.*");
    EXPECT_EQ(listAll(fs).size(), 5u) << "*.* matches names without a dot too";
    fs.setSearch(dir.path(), "?.txt");
    EXPECT_EQ(listAll(fs), (std::vector<std::string>{"c.txt"}));
    fs.setSearch(dir.path(), "*.none");
    EXPECT_EQ(listAll(fs).size(), 0u);
    fs.setSearch(dir.file("missing"), "*");
    std::string n;
    EXPECT_FALSE(fs.next(n));
    fs.close();
    fs.close();
}

TEST(FileSystemQueries, ExistsAndDirectory) {
    TempDir dir("fs");
    writeFile(dir.file("f"), "abc");
    EXPECT_TRUE(bv_filesystem::exists(dir.file("f")));
    EXPECT_TRUE(bv_filesystem::exists(dir.path()));
    EXPECT_FALSE(bv_filesystem::exists(dir.file("g")));
    EXPECT_TRUE(bv_filesystem::isDirectory(dir.path()));
    EXPECT_FALSE(bv_filesystem::isDirectory(dir.file("f")));
    EXPECT_FALSE(bv_filesystem::isDirectory(dir.file("g")));
}

// Opens for the grant: read-only suffices to set group and mode.
static int openForGrant(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }

TEST(GrantGroupAccess, ExistingGroupMissingGroupAndCompareFirst) {
    const struct group* g = otherGroup();
    if (!g) GTEST_SKIP() << "no second group available to this user";
    std::string groupName = g->gr_name;
    gid_t gid = g->gr_gid;
    TempDir dir("acl");
    std::string path = dir.file("jobid");
    writeFile(path, "1");
    const int fd = openForGrant(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(chmod(path.c_str(), 0400), 0);

    int err = -1;
    EXPECT_EQ(bv_filesystem::grantGroupAccess(fd, groupName, false, &err), 0);
    EXPECT_EQ(err, 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, gid);
    EXPECT_EQ(st.st_mode & 0777, 0660u) << "owner read-write added, group read-write given";

    // Access is added, never taken away; folders get traversal as well.
    std::string sub = dir.file("sub");
    ASSERT_EQ(mkdir(sub.c_str(), 0705), 0);
    const int subFd = openForGrant(sub);
    ASSERT_GE(subFd, 0);
    EXPECT_EQ(bv_filesystem::grantGroupAccess(subFd, groupName, false), 0);
    ::close(subFd);
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0775u);

    // Compare-first leaves an object that already has the access untouched.
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    struct timespec before = st.st_ctim;
    usleep(20000);
    EXPECT_EQ(bv_filesystem::grantGroupAccess(fd, groupName, true), 0);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(st.st_ctim.tv_sec == before.tv_sec && st.st_ctim.tv_nsec == before.tv_nsec);
    EXPECT_EQ(bv_filesystem::grantGroupAccess(fd, groupName, false), 0);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_FALSE(st.st_ctim.tv_sec == before.tv_sec && st.st_ctim.tv_nsec == before.tv_nsec)
        << "without compare-first the access is written again";

    // A group that does not exist; a descriptor that is not open.
    EXPECT_EQ(bv_filesystem::grantGroupAccess(fd, "tarvex-no-such-group", false, &err), 3);
    EXPECT_NE(err, 0);
    EXPECT_EQ(bv_filesystem::grantGroupAccess(-1, groupName, false, &err), 4);
    EXPECT_EQ(err, EBADF);
    ::close(fd);
}

TEST(GrantGroupAccess, WhatTheNameNowNamesIsLeftAlone) {
    // The grant follows the open file: a name swapped for another file (or a
    // link to one) after the open changes nothing there.
    TempDir dir("swap");
    const std::string path = dir.file("jobid");
    writeFile(path, "1");
    const int fd = openForGrant(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    ASSERT_EQ(rename(path.c_str(), dir.file("moved").c_str()), 0);
    writeFile(dir.file("victim"), "v");
    ASSERT_EQ(chmod(dir.file("victim").c_str(), 0600), 0);
    ASSERT_EQ(symlink("victim", path.c_str()), 0);

    struct group* own = getgrgid(getgid());
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(bv_filesystem::grantGroupAccess(fd, own->gr_name, false), 0);
    ::close(fd);
    struct stat st;
    ASSERT_EQ(stat(dir.file("moved").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    ASSERT_EQ(stat(dir.file("victim").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

namespace {

// Gives the configured group to two new files (mode 0644) in a forked child,
// as the user nobody when asNobody. Returns what the child wrote on standard
// error; results gets the two grant results.
std::string grantTwoFilesInChild(const TempDir& dir, const std::string& group, bool asNobody, int results[2]) {
    const struct passwd* nobody = getpwnam("nobody");
    const std::string files[2] = {dir.file("a"), dir.file("b")};
    for (const std::string& file : files) {
        writeFile(file, "x");
        EXPECT_EQ(chmod(file.c_str(), 0644), 0);
        if (asNobody) {
            EXPECT_EQ(chown(file.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        }
    }
    const std::string stderrFile = dir.file("stderr.txt");
    const pid_t child = fork();
    if (child == 0) {
        const int out = ::open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int fds[2] = {openForGrant(files[0]), openForGrant(files[1])};
        if (out < 0 || fds[0] < 0 || fds[1] < 0 || dup2(out, STDERR_FILENO) < 0) _exit(100);
        reporter_platform::Settings settings;
        settings.userGroup = group;
        reporter_platform::publishSettings(settings);
        if (asNobody && (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0))
            _exit(101);
        const int first = bv_filesystem::grantConfiguredGroupAccess(fds[0], files[0], false);
        const int second = bv_filesystem::grantConfiguredGroupAccess(fds[1], files[1], false);
        _exit(first * 8 + second);
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) < 64) << "child setup failed: " << status;
    results[0] = WEXITSTATUS(status) / 8;
    results[1] = WEXITSTATUS(status) % 8;
    for (const std::string& file : files) {
        struct stat st;
        EXPECT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u) << file << " keeps its mode";
    }
    return tarvex_test::readFile(stderrFile);
}

}  // namespace

// Every new file meets the same group: the first failure in a process says
// why, once, naming the group and the file; the grants fail all the same.
TEST(GrantConfiguredGroupAccess, AMissingGroupIsSaidOncePerProcess) {
    TempDir dir("nogroup");
    int results[2] = {};
    EXPECT_EQ(grantTwoFilesInChild(dir, "tarvex-no-such-group", false, results),
              "cannot give group tarvex-no-such-group (NTIUserGroup) access to " + dir.file("a") +
                  ": no such group\n");
    EXPECT_EQ(results[0], 3);
    EXPECT_EQ(results[1], 3);
}

TEST(GrantConfiguredGroupAccess, AGroupTheUserIsNotInIsSaidOncePerProcess) {
    if (geteuid() != 0 || !getpwnam("nobody")) GTEST_SKIP() << "needs root to run a child as nobody";
    const struct group* root = getgrgid(0);
    ASSERT_NE(root, nullptr);
    const std::string group = root->gr_name;
    TempDir dir("notmember");
    int results[2] = {};
    EXPECT_EQ(grantTwoFilesInChild(dir, group, true, results),
              "cannot give group " + group + " (NTIUserGroup) access to " + dir.file("a") +
                  ": user nobody is not a member of the group\n");
    EXPECT_EQ(results[0], 4);
    EXPECT_EQ(results[1], 4);
}
