#pragma once
// The marker contract of mapped files, shared by CMmapFile, the monitor and
// the tests: the registration marker of a mapping is a POSIX shared-memory
// object "/tarvex.<name>" whose one line says who owns the mapping, whether
// it is writable and which file (device and inode) it stands for.
#include <sys/types.h>

#include <string>

// The parsed line of a marker:
// "BVMAP1 <owner pid> <rw 0/1> <st_dev> <st_ino> <size> <canonical path>\n".
// Owner pid 0 switches off the liveness check, dev/ino "0 0" the file-identity
// check (both for tests that register files without keeping a process alive).
struct MmapMarker {
    long pid = 0;
    int readWrite = 0;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    long long size = 0;
    std::string path;
};

namespace mmap_marker {

// "Global\" + canonical path with every "\" turned into "~" ("Global\"
// left out for a local name).
std::string mappingNameFor(const std::string& canonicalPath, bool localName);
// "/tarvex." + mapping name with "\" and "/" turned into "~"; over 255
// bytes: its first 230 bytes, ".", 16 lower-case hex digits of FNV-1a-64.
std::string markerNameFor(const std::string& mappingName);
// Marker name of an existing file (canonical path); empty when realpath fails.
std::string markerNameForFile(const std::string& path, bool localName = false);
std::string formatMarker(const MmapMarker& marker);
bool parseMarker(const std::string& text, MmapMarker& marker);
// Creates or replaces the marker, mode & 0666. False with errno set.
bool writeMarker(const std::string& markerName, const MmapMarker& marker, mode_t mode);
bool readMarker(const std::string& markerName, MmapMarker& marker);
bool removeMarker(const std::string& markerName);

}  // namespace mmap_marker
