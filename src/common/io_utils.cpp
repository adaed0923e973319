#include "common/io_utils.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <unistd.h>

bool writeAll(int fd, const void* data, std::size_t length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        std::size_t piece = length > static_cast<std::size_t>(INT_MAX) ? static_cast<std::size_t>(INT_MAX) : length;
        ssize_t n = ::write(fd, p, piece);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string osPath(const std::string& path) {
    std::string p = path;
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

int moveOffStandardStreams(int fd) {
    if (fd < 0 || fd > 2) return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int saved = errno;
    ::close(fd);
    errno = saved;
    return moved;
}
