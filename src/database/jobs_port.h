#pragma once
// What the control file and the job manager read from the process-wide
// Options, and how they report.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "config/global_options.h"

namespace jobs_port {

inline std::string controlFilePath(const brenvik::bv_options* options) {
    return (options != nullptr ? *options : brenvik::globalOptions()).getTarvexControlFile();
}
inline std::string tarvexJobIdFile() { return brenvik::globalOptions().getTarvexJobIdFile(); }
inline std::string seqFetchJobIdFile() { return brenvik::globalOptions().seqFetchJobIdFile(); }
inline int uniqueJobStartNumber() { return brenvik::globalOptions().getUniqueJobStartNumber(); }

template <class... Args>
inline void say(int number, int job, int line, const char* module, Args... args) {
    (void)number;
    (void)job;
    (void)line;
    (void)module;
    ((void)args, ...);
}

inline int lockRegion(int fd, long long offset, long long length, bool lock, const std::string& path) {
    (void)path;
    struct flock fl = {};
    fl.l_type = lock ? F_WRLCK : F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = length;
    for (int i = 0; i < 10; ++i) {
        if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return 0;
        if (!lock) return -1;
        ::sleep(1);
    }
    return -1;
}

using FatalCallback = void (*)(int);
inline FatalCallback& fatalCallbackSlot() {
    static FatalCallback slot = nullptr;
    return slot;
}

inline void grantAccess(const std::string& path) { (void)path; }

inline FILE* openStream(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

}  // namespace jobs_port
