#include "common/mmapfile_marker.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "common/io_utils.h"
#include "common/mmapfile_report.h"
#include "common/system_calls.h"
#include "pal/number_reader.h"

namespace {

// realpath resolves a path one component at a time, a readlink each (and a
// getcwd for a relative one); the kernel's name of the file opened by that
// path is the same text in three calls. realpath stays the answer whenever
// the kernel's name cannot be read or is not a plain path.
std::string kernelPathOf(const std::string& fsPath) {
    const int fd = systemCalls().open(fsPath.c_str(), O_PATH | O_CLOEXEC, 0);
    if (fd < 0) return std::string();
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(link, buffer, sizeof buffer);
    ::close(fd);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer || buffer[0] != '/') return std::string();
    std::string result(buffer, static_cast<size_t>(n));
    // The kernel marks a file removed since it was opened.
    constexpr std::string_view deleted = " (deleted)";
    if (result.size() >= deleted.size() && result.compare(result.size() - deleted.size(), deleted.size(), deleted) == 0)
        return std::string();
    return result;
}

// A number field of a marker line: the text up to the next blank (or the
// end) must be a whole decimal number of the field's type.
template <typename T>
bool parseField(const char*& p, T& value) {
    const char* blank = std::strchr(p, ' ');
    const std::string_view field(p, blank != nullptr ? static_cast<size_t>(blank - p) : std::strlen(p));
    const std::optional<T> parsed = brenvik::parseDecimal<T>(field);
    if (!parsed) return false;
    value = *parsed;
    p += field.size();
    return true;
}

bool skipBlank(const char*& p) {
    if (*p != ' ') return false;
    ++p;
    return true;
}

}  // namespace

std::string mmap_report::canonicalPath(const std::string& path) {
    const std::string fsPath = osPath(path);
    std::string kernelPath = kernelPathOf(fsPath);
    if (!kernelPath.empty()) return kernelPath;
    char* resolved = ::realpath(fsPath.c_str(), nullptr);
    if (resolved == nullptr) return std::string();
    std::string result(resolved);
    std::free(resolved);
    return result;
}

std::string mmap_marker::mappingNameFor(const std::string& canonicalPath, bool localName) {
    std::string name = localName ? std::string() : std::string("Global\\");
    for (char c : canonicalPath) name += (c == '\\') ? '~' : c;
    return name;
}

std::string mmap_marker::markerNameFor(const std::string& mappingName) {
    std::string name = "/tarvex.";
    for (char c : mappingName) name += (c == '\\' || c == '/') ? '~' : c;
    if (name.size() <= 255) return name;
    // shm names are limited to NAME_MAX; a hash keeps long paths apart.
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : name) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return name.substr(0, 230) + "." + hex;
}

std::string mmap_marker::markerNameForFile(const std::string& path, bool localName) {
    std::string canonical = mmap_report::canonicalPath(path);
    if (canonical.empty()) return std::string();
    return markerNameFor(mappingNameFor(canonical, localName));
}

std::string mmap_marker::formatMarker(const MmapMarker& marker) {
    char head[160];
    std::snprintf(head, sizeof head, "BVMAP1 %ld %d %llu %llu %lld ", marker.pid, marker.readWrite ? 1 : 0,
                  marker.device, marker.inode, marker.size);
    return std::string(head) + marker.path + "\n";
}

bool mmap_marker::parseMarker(const std::string& text, MmapMarker& marker) {
    size_t lineEnd = text.find('\n');
    if (lineEnd == std::string::npos || text.compare(0, 7, "BVMAP1 ") != 0) return false;
    std::string line = text.substr(0, lineEnd);
    if (line.find('\0') != std::string::npos) return false;
    const char* p = line.c_str() + 7;
    long long pid = 0, size = 0;
    unsigned long long rw = 0, device = 0, inode = 0;
    if (!parseField(p, pid) || pid < 0 || pid > INT_MAX || !skipBlank(p)) return false;
    if (!parseField(p, rw) || rw > 1 || !skipBlank(p)) return false;
    if (!parseField(p, device) || !skipBlank(p)) return false;
    if (!parseField(p, inode) || !skipBlank(p)) return false;
    if (!parseField(p, size) || size < 0 || !skipBlank(p)) return false;
    MmapMarker parsed;
    parsed.pid = static_cast<long>(pid);
    parsed.readWrite = static_cast<int>(rw);
    parsed.device = device;
    parsed.inode = inode;
    parsed.size = size;
    parsed.path = p;
    marker = parsed;
    return true;
}

bool mmap_marker::writeMarker(const std::string& markerName, const MmapMarker& marker, mode_t mode) {
    int fd = ::shm_open(markerName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, mode & 0666);
    if (fd < 0) return false;
    // shm_open applies the umask; the marker carries the file's own mode.
    (void)::fchmod(fd, mode & 0666);
    std::string line = formatMarker(marker);
    // Written over the old line, then cut: a reader never meets an empty marker.
    ssize_t written = systemCalls().pwrite(fd, line.data(), line.size(), 0);
    bool ok = written == static_cast<ssize_t>(line.size());
    int saved = ok ? 0 : (written < 0 ? errno : EIO);
    if (ok && systemCalls().ftruncate(fd, static_cast<off_t>(line.size())) != 0) {
        ok = false;
        saved = errno;
    }
    ::close(fd);
    errno = saved;
    return ok;
}

bool mmap_marker::readMarker(const std::string& markerName, MmapMarker& marker) {
    int fd = ::shm_open(markerName.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    char buffer[8192];
    ssize_t got;
    do {
        got = systemCalls().pread(fd, buffer, sizeof buffer, 0);
    } while (got < 0 && errno == EINTR);
    int saved = errno;
    ::close(fd);
    if (got < 0) {
        errno = saved;
        return false;
    }
    if (!parseMarker(std::string(buffer, static_cast<size_t>(got)), marker)) {
        errno = EINVAL;
        return false;
    }
    return true;
}

bool mmap_marker::removeMarker(const std::string& markerName) { return ::shm_unlink(markerName.c_str()) == 0; }

