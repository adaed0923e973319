#include "common/bv_filesystem.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <fnmatch.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/bv_errs.h"
#include "common/file_utils.h"
#include "common/io_utils.h"
#include "common/reporter_platform.h"
#include "common/system_calls.h"
#include "pal/last_error.h"

namespace brenvik {

bool bv_filesystem::setSearch(const std::string& directory, const std::string& pattern) {
    close();
    directory_ = directory;
    pattern_ = pattern;
    return true;
}

bool bv_filesystem::next(std::string& name) {
    if (!searchOpen_) {
        found_.clear();
        nextIndex_ = 0;
        DIR* dir = opendir(directory_.empty() ? "." : osPath(directory_).c_str());
        if (!dir) {
            NARROW_CHAR_PAL::captureLastError();
            return false;
        }
        // "*.*" is the traditional "every file" pattern, dot or not.
        std::string pattern = pattern_ == "*.*" ? "*" : pattern_;
        while (struct dirent* entry = readdir(dir)) {
            std::string n = entry->d_name;
            if (n == "." || n == "..") continue;
            if (fnmatch(pattern.c_str(), n.c_str(), 0) == 0) found_.push_back(n);
        }
        closedir(dir);
        if (found_.empty()) return false;
        std::sort(found_.begin(), found_.end());
        searchOpen_ = true;
    }
    if (nextIndex_ >= found_.size()) return false;
    name = found_[nextIndex_++];
    return true;
}

void bv_filesystem::close() {
    searchOpen_ = false;
    found_.clear();
    nextIndex_ = 0;
}

bool bv_filesystem::exists(const std::string& path) {
    struct stat st;
    if (systemCalls().stat(osPath(path).c_str(), &st) == 0) return true;
    NARROW_CHAR_PAL::captureLastError();
    return false;
}

int64_t bv_filesystem::getSize(const std::string& path, bv_errs* errs) {
    struct stat st;
    if (systemCalls().stat(osPath(path).c_str(), &st) == 0) return static_cast<int64_t>(st.st_size);
    NARROW_CHAR_PAL::captureLastError();
    if (errs) errs->setError(258, path);
    return 0;
}

time_t bv_filesystem::getModificationTime(const std::string& path, bv_errs* errs) {
    struct stat st;
    if (systemCalls().stat(osPath(path).c_str(), &st) == 0) return st.st_mtime;
    NARROW_CHAR_PAL::captureLastError();
    if (errs) errs->setSystemError(258, path);
    return 0;
}

bool bv_filesystem::isDirectory(const std::string& path) {
    struct stat st;
    if (systemCalls().stat(osPath(path).c_str(), &st) != 0) {
        NARROW_CHAR_PAL::captureLastError();
        return false;
    }
    return S_ISDIR(st.st_mode);
}

int bv_filesystem::grantGroupAccess(int fd, const std::string& groupName, bool compareFirst, int* lastError) {
    NARROW_CHAR_PAL::setLastError(0);
    int err = 0;
    bool chmodFailed = false, readFailed = false, writeFailed = false;

    // Everything goes through the descriptor: a name can be swapped for a
    // link between two calls, the open file cannot.
    struct stat st;
    bool haveMode = systemCalls().fstat(fd, &st) == 0;
    bool ownerRw = haveMode && (st.st_mode & (S_IRUSR | S_IWUSR)) == (S_IRUSR | S_IWUSR);
    if (!haveMode || (!ownerRw && fchmod(fd, (st.st_mode & 07777) | S_IRUSR | S_IWUSR) != 0)) {
        NARROW_CHAR_PAL::captureLastError();
        chmodFailed = true;
    }
    if (!haveMode || systemCalls().fstat(fd, &st) != 0) {
        err = errno;
        readFailed = true;
    }

    errno = 0;
    struct group* gr = getgrnam(groupName.c_str());
    if (!gr) {
        err = errno ? errno : ENOENT;
        NARROW_CHAR_PAL::setLastError(static_cast<uint32_t>(err));
        if (lastError) *lastError = err;
        return 3;
    }
    gid_t gid = gr->gr_gid;

    if (readFailed) {
        // Nothing known to compare with: set the group owner only.
        if (fchown(fd, static_cast<uid_t>(-1), gid) != 0) {
            err = errno;
            writeFailed = true;
        }
    } else {
        mode_t wanted = (st.st_mode & 07777) | S_IRGRP | S_IWGRP | (S_ISDIR(st.st_mode) ? S_IXGRP : 0);
        bool same = st.st_gid == gid && (st.st_mode & 07777) == wanted;
        if (!(compareFirst && same)) {
            // chown before chmod: a chown may clear set-id bits, the chmod
            // then states the whole mode again.
            if (fchown(fd, static_cast<uid_t>(-1), gid) != 0 || fchmod(fd, wanted) != 0) {
                err = errno;
                writeFailed = true;
            }
        }
    }
    if (err) NARROW_CHAR_PAL::setLastError(static_cast<uint32_t>(err));
    if (lastError) *lastError = err;
    if (writeFailed) return 4;
    if (readFailed) return 2;
    if (chmodFailed) return 1;
    return 0;
}

namespace {

// Why the configured group could not be given to a file when the fault is
// the configuration's or the installation's (empty otherwise). Root may give
// any group, so only another user meets a group it is not in.
std::string whyGroupNotGiven(int result, int error, const std::string& groupName) {
    if (result == 3) return "no such group";
    if (result != 4 || error != EPERM || ::geteuid() == 0) return "";
    const struct group* gr = ::getgrnam(groupName.c_str());
    if (!gr) return "";
    const gid_t gid = gr->gr_gid;
    std::vector<gid_t> groups(static_cast<size_t>(std::max(::getgroups(0, nullptr), 0)));
    groups.resize(static_cast<size_t>(std::max(::getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
    if (::getegid() == gid || std::find(groups.begin(), groups.end(), gid) != groups.end()) return "";
    const struct passwd* pw = ::getpwuid(::geteuid());
    return "user " + (pw ? std::string(pw->pw_name) : std::to_string(::geteuid())) + " is not a member of the group";
}

}  // namespace

int bv_filesystem::grantConfiguredGroupAccess(int fd, const std::string& path, bool compareFirst, int* lastError) {
    const std::string groupName = reporter_platform::settings().userGroup;
    int error = 0;
    const int result = grantGroupAccess(fd, groupName, compareFirst, &error);
    if (lastError) *lastError = error;
    if (result == 0) return 0;
    // Said once a process (a forked child is a process of its own): every
    // new file meets the same group.
    static std::atomic<pid_t> saidBy{0};
    const int savedErrno = errno;
    const uint32_t savedLastError = NARROW_CHAR_PAL::getLastError();
    if (saidBy.load() != ::getpid()) {
        const std::string why = whyGroupNotGiven(result, error, groupName);
        if (!why.empty() && saidBy.exchange(::getpid()) != ::getpid()) {
            (void)fileWriteAll(STDERR_FILENO, "cannot give group " + groupName + " (NTIUserGroup) access to " +
                                              pathInMessages(path) + ": " + why + "\n");
        }
    }
    NARROW_CHAR_PAL::setLastError(savedLastError);
    errno = savedErrno;
    return result;
}

}  // namespace brenvik
