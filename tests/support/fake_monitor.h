#pragma once
// Stands in for the monitor service: registers the control file (read-write)
// and database files (read-only) as named mappings through the owner side of
// CMmapFile, so that the code under test can open them by name. A live
// registration names this process and lasts as long as the object; a pid-0
// registration (dev/ino "0 0") also serves child processes started after the
// test process is gone, and is removed by the destructor. Register a file
// after writing it: a live registration names the file's inode, so a file
// replaced afterwards (written to a temporary and renamed) no longer opens.
#include <memory>
#include <string>
#include <vector>

#include "common/mmapfile.h"
#include "common/mmapfile_marker.h"

namespace tarvex_test {

class FakeMonitor {
public:
    enum class Owner { Live, PidZero };

    FakeMonitor() = default;
    ~FakeMonitor();
    FakeMonitor(const FakeMonitor&) = delete;
    FakeMonitor& operator=(const FakeMonitor&) = delete;

    // True when the marker is in place.
    bool registerControlFile(const std::string& path, Owner owner = Owner::Live);
    bool registerDatabaseFile(const std::string& path, Owner owner = Owner::Live);
    bool registerFile(const std::string& path, bool readWrite, Owner owner);
    // Ends every registration (markers removed).
    void stop();

    static std::string markerOf(const std::string& path) { return mmap_marker::markerNameForFile(path); }

private:
    std::vector<std::unique_ptr<CMmapFile>> owned_;
    std::vector<std::string> pidZeroMarkers_;
};

}  // namespace tarvex_test
