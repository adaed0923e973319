#include "support/fake_monitor.h"

#include <limits.h>
#include <sys/stat.h>

#include <cstdlib>

namespace tarvex_test {

FakeMonitor::~FakeMonitor() { stop(); }

bool FakeMonitor::registerControlFile(const std::string& path, Owner owner) {
    return registerFile(path, true, owner);
}

bool FakeMonitor::registerDatabaseFile(const std::string& path, Owner owner) {
    return registerFile(path, false, owner);
}

bool FakeMonitor::registerFile(const std::string& path, bool readWrite, Owner owner) {
    if (owner == Owner::Live) {
        auto mapping = std::make_unique<CMmapFile>();
        int error = 0;
        // The owner needs no view of its own: the data stays in the file.
        if (!mapping->open(path, !readWrite, error, MMAP_OWNER | MMAP_NO_LOCK, 0, true)) return false;
        owned_.push_back(std::move(mapping));
        return true;
    }
    struct stat st;
    char* canonical = ::realpath(path.c_str(), nullptr);
    if (canonical == nullptr) return false;
    MmapMarker marker;
    marker.pid = 0;
    marker.readWrite = readWrite ? 1 : 0;
    marker.path = canonical;
    std::free(canonical);
    marker.size = ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
    std::string name = markerOf(path);
    if (!mmap_marker::writeMarker(name, marker, ::stat(path.c_str(), &st) == 0 ? st.st_mode : 0666)) return false;
    pidZeroMarkers_.push_back(name);
    return true;
}

void FakeMonitor::stop() {
    owned_.clear();
    for (const std::string& name : pidZeroMarkers_) mmap_marker::removeMarker(name);
    pidZeroMarkers_.clear();
}

}  // namespace tarvex_test
