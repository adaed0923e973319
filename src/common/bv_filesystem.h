#pragma once
// bv_filesystem: directory search (names sorted byte-wise) and path queries
// (existence, size, modification time, directory test), plus granting a
// user group access to a file. One object holds one search; the
// static queries keep no state. Not thread-safe per object.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace brenvik {

class bv_errs;

class bv_filesystem {
public:
    bv_filesystem() = default;
    ~bv_filesystem() { close(); }
    bv_filesystem(const bv_filesystem&) = delete;
    bv_filesystem& operator=(const bv_filesystem&) = delete;

    // Stores the folder and the wildcard pattern ("*" and "?"; "*.*" matches
    // every name); no search is open afterwards. Always true.
    bool setSearch(const std::string& directory, const std::string& pattern);
    // The next matching name (file name only; "." and ".." are left out).
    // The first call after setSearch starts the search. False at the end or
    // when nothing matches.
    bool next(std::string& name);
    // Ends the search; harmless when none is open.
    void close();

    static bool exists(const std::string& path);
    // Size from stat; 0 and message 258 on errs (when given) on failure.
    static int64_t getSize(const std::string& path, bv_errs* errs);
    // Last-write time in seconds since 1970 UTC; 0 and message 258 (with the
    // system text) on failure.
    static time_t getModificationTime(const std::string& path, bv_errs* errs);
    static bool isDirectory(const std::string& path);

    // Makes the open object owner read-write and gives the named group
    // read-write access (group owner + g+rw, g+rwx on a folder), all through
    // the descriptor; never takes access away. With compareFirst, an object
    // that already has that group and mode is left alone. Result: 0 done, 1
    // owner mode failed, 2 the object could not be examined, 3 the group
    // does not exist, 4 the new group or mode could not be set. The thread's
    // last error is cleared first and then holds the errno behind results 2
    // to 4, which lastError (when given) receives as well.
    static int grantGroupAccess(int fd, const std::string& group, bool compareFirst, int* lastError = nullptr);

    // grantGroupAccess with the configured group (NTIUserGroup), for the
    // object opened as path. A group that does not exist, or one this
    // process's user is not a member of, leaves every new file without the
    // group's access: the first time in a process, standard error (which a
    // web server keeps in its error log) says so, naming the group and the
    // file. Same result as grantGroupAccess.
    static int grantConfiguredGroupAccess(int fd, const std::string& path, bool compareFirst,
                                          int* lastError = nullptr);

private:
    bool searchOpen_ = false;
    std::vector<std::string> found_;
    size_t nextIndex_ = 0;
    std::string pattern_;
    std::string directory_;
};

}  // namespace brenvik
