#include "common/io_utils.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <string_view>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

std::string osPath(const std::string& path) {
    std::string p = path;
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

std::string pathInMessages(const std::string& path) {
    if (path.empty() || osPath(path)[0] == '/') return path;
    char folder[PATH_MAX];
    if (::getcwd(folder, sizeof folder) == nullptr) return path;
    std::string_view rest(path);
    while (rest.size() > 2 && rest[0] == '.' && (rest[1] == '/' || rest[1] == '\\')) rest.remove_prefix(2);
    std::string shown(folder);
    if (shown.back() != '/') shown += '/';
    return shown.append(rest);
}

int moveOffStandardStreams(int fd) {
    if (fd < 0 || fd > 2) return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int saved = errno;
    ::close(fd);
    errno = saved;
    return moved;
}

void preferHugePages(void* data, std::size_t bytes) {
    constexpr uintptr_t huge = uintptr_t{2} << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + huge - 1) & ~(huge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(huge - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}
