#include "common/mmapfile_helpers.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include "common/file_utils.h"
#include "common/io_utils.h"
#include "common/mmapfile.h"
#include "common/mmapfile_report.h"
#include "common/system_calls.h"

extern char** environ;

namespace {

constexpr uint64_t kMiB = 1024ull * 1024ull;
const char* const kMemLockProgram = "bv-memlock";

// Report positions of this module.
constexpr int kLineLckOpen = 1101;      // M47, new: the ".lck" file
constexpr int kLineHelperStart = 1134;  // M42
constexpr int kLineHelperRelease = 1289;  // M283

std::string errnoText(int code) { return mmap_report::systemText(code); }

uint32_t loadState(const HelperLockRecord* record) {
    return __atomic_load_n(&record->state, __ATOMIC_ACQUIRE);
}

void storeRequest(HelperLockRecord* record, uint32_t value) {
    __atomic_store_n(&record->request, value, __ATOMIC_RELEASE);
}

// Helpers started by lockWithHelpers are our children; reap those that ended
// so that none stays a zombie in a long-lived owner.
std::vector<pid_t>& helperChildren() {
    static std::vector<pid_t>* children = new std::vector<pid_t>();
    return *children;
}

void reapHelpers() {
    auto& children = helperChildren();
    children.erase(std::remove_if(children.begin(), children.end(),
                                  [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) != 0; }),
                   children.end());
}

// Monotonic whole seconds and the pauses of the helper waits, through the
// table tests replace.
long long nowSeconds() { return systemCalls().monotonicMilliseconds() / 1000; }

void pause10ms() { systemCalls().sleepMilliseconds(10); }

}  // namespace


bool memlock_helpers::lockWithHelpers(const std::string& path, int64_t fileSize, uint32_t chunkMiB) {
    bool locked = false;
    const uint64_t chunk = (chunkMiB >= 2 && chunkMiB <= 2048 ? chunkMiB : 512u) * kMiB;
    const uint64_t size = fileSize > 0 ? static_cast<uint64_t>(fileSize) : 0;
    const uint64_t records = size / chunk + 1;
    const std::string lckPath = osPath(path) + ".lck";

    // The folder may be writable by others: a link planted under the name
    // must not make us write through it.
    const int fd = fileOpenInPlace(lckPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0) {
        mmap_report::say(47, kLineLckOpen, mmap_report::shown(lckPath).c_str(), errnoText(errno).c_str());
        return false;
    }
    const std::vector<HelperLockRecord> table(static_cast<size_t>(records), HelperLockRecord{1, 0, 0, 0});
    const size_t bytes = table.size() * sizeof(HelperLockRecord);
    bool written = fileWriteAll(fd, table.data(), bytes);
    written = ::close(fd) == 0 && written;

    if (written) {
        CMmapFile lck;
        int error = 0;
        lck.open(lckPath, false, error, MMAP_OWNER, static_cast<uint32_t>(records * sizeof(HelperLockRecord)), true);
        auto* table = static_cast<HelperLockRecord*>(lck.getView(0, records * sizeof(HelperLockRecord)));
        const std::string fsPath = osPath(path);
        const std::string program = std::string("./") + kMemLockProgram;
        for (uint64_t i = 0; table != nullptr && i < records; ++i) {
            uint64_t start = i * chunk;
            uint64_t length = std::min(chunk, size - start);
            char startText[32], lengthText[32], indexText[32];
            std::snprintf(startText, sizeof startText, "%.0f", static_cast<double>(start));
            std::snprintf(lengthText, sizeof lengthText, "%.0f", static_cast<double>(length));
            std::snprintf(indexText, sizeof indexText, "%d", static_cast<int>(i));
            char* argv[] = {const_cast<char*>(kMemLockProgram), const_cast<char*>("-f"),
                            const_cast<char*>(fsPath.c_str()),   const_cast<char*>("-s"),
                            startText,                           const_cast<char*>("-l"),
                            lengthText,                          const_cast<char*>("-o"),
                            indexText,                           nullptr};
            pid_t child = 0;
            int spawned = ::posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, environ);
            if (spawned == 0) helperChildren().push_back(child);

            // The helper answers through its state word; the owner only polls.
            long long begin = nowSeconds();
            while (loadState(&table[i]) == HELPER_STATE_NONE && nowSeconds() - begin < 10) pause10ms();
            uint32_t state = loadState(&table[i]);
            if (state == HELPER_STATE_NONE) {
                std::string why = spawned == 0 ? std::string("no answer within 10 seconds") : errnoText(spawned);
                mmap_report::say(42, kLineHelperStart, kMemLockProgram, why.c_str());
                continue;
            }
            begin = nowSeconds();
            while (nowSeconds() - begin < 60) {
                state = loadState(&table[i]);
                if (state == HELPER_STATE_LOCKED) {
                    locked = true;
                    break;
                }
                if (state == 1 || state == 5 || state == 6) break;
                pause10ms();
            }
            if (loadState(&table[i]) == HELPER_STATE_LOCKED) locked = true;
        }
        lck.close();
        reapHelpers();
    }
    if (!locked) ::unlink(lckPath.c_str());
    return locked;
}

void memlock_helpers::releaseHelperLocks(const std::string& path, HelperLockDeferral* deferral) {
    const std::string lckPath = osPath(path) + ".lck";
    struct stat st;
    if (systemCalls().stat(lckPath.c_str(), &st) != 0) return;
    // The records live in the file, so the release maps it directly (as its
    // owner for the time of the wait) rather than through a name that the
    // locking call no longer registers.
    auto* object = new CMmapFile();
    int error = 0;
    object->open(lckPath, false, error, MMAP_OWNER, static_cast<uint32_t>(std::min<off_t>(st.st_size, UINT32_MAX / 2)),
                 true);
    void* view = object->getSize() > 0 ? object->getView(0, static_cast<uint64_t>(object->getSize())) : nullptr;
    if (deferral != nullptr && view != nullptr) {
        deferral->add(lckPath, object, view);
        return;
    }
    if (view != nullptr) {
        auto* table = static_cast<HelperLockRecord*>(view);
        for (int64_t i = 0; i < object->getSize() / 16; ++i) storeRequest(&table[i], 0);
    }
    waitForHelperRelease(lckPath, object, view);
}

void memlock_helpers::waitForHelperRelease(const std::string& lckPath, CMmapFile*& object, void*& view) {
    const int64_t count = (object != nullptr && view != nullptr) ? object->getSize() / 16 : 0;
    bool released = true;
    if (count > 0) {
        auto* table = static_cast<const HelperLockRecord*>(view);
        long long begin = nowSeconds();
        for (;;) {
            bool all = true;
            for (int64_t i = 0; i < count && all; ++i) all = loadState(&table[i]) == HELPER_STATE_RELEASED;
            if (all) break;
            if (nowSeconds() - begin >= 10) {
                mmap_report::say(283, kLineHelperRelease);
                released = false;
                break;
            }
            systemCalls().sleepMilliseconds(1000);
        }
    }
    delete object;  // closes it, also after a time-out
    object = nullptr;
    view = nullptr;
    if (released) ::unlink(osPath(lckPath).c_str());
    reapHelpers();
}

void HelperLockDeferral::add(const std::string& lckPath, CMmapFile* object, void* view) {
    lckPaths.push_back(lckPath);
    objects.push_back(object);
    views.emplace_back(object, view);
    if (object == nullptr || view == nullptr) return;
    auto* table = static_cast<HelperLockRecord*>(view);
    for (int64_t i = 0; i < object->getSize() / 16; ++i) storeRequest(&table[i], 0);
}
