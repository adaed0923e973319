#pragma once
// Pinning a mapped file through bv-memlock helper processes, and the ".lck"
// file through which the owner and its helpers talk: one record per chunk
// handed to a helper.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class CMmapFile;

// One record of a ".lck" file.
struct HelperLockRecord {
    uint32_t request;  // 1 keep the chunk locked, 0 release it (owner writes)
    uint32_t reserved1;
    uint32_t state;  // helper writes: 0 no answer yet, 4 locked, 1/5/6 gave up, 7 released
    uint32_t reserved2;
};
static_assert(sizeof(HelperLockRecord) == 16);

enum : uint32_t {
    HELPER_STATE_NONE = 0,
    HELPER_STATE_LOCKED = 4,
    HELPER_STATE_RELEASED = 7,
};

// Lets a caller close many helper-locked files first and wait for all their
// helpers afterwards (memlock_helpers::waitForHelperRelease on each entry).
class HelperLockDeferral {
public:
    // Records the three and asks every helper of the ".lck" file to release.
    void add(const std::string& lckPath, CMmapFile* object, void* view);

    std::vector<std::string> lckPaths;
    std::vector<CMmapFile*> objects;
    std::vector<std::pair<CMmapFile*, void*>> views;
};

namespace memlock_helpers {

// Writes a fresh ".lck" file for the size bytes of path and starts one
// helper per chunk of chunkMiB MiB (512 outside 2..2048). True when at least
// one helper locked its chunk; otherwise the ".lck" file is removed.
bool lockWithHelpers(const std::string& path, int64_t size, uint32_t chunkMiB);
// Asks every helper of path's ".lck" file to release; with a deferral the
// request is recorded there for the caller to wait on, else it is waited for.
void releaseHelperLocks(const std::string& path, HelperLockDeferral* deferral);
// Waits up to 10 s for every record of the ".lck" file to read "released";
// then (also after the time-out) closes and deletes object and clears the
// pointers; the ".lck" file is removed only when all were released.
void waitForHelperRelease(const std::string& lckPath, CMmapFile*& object, void*& view);

}  // namespace memlock_helpers
