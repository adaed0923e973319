#include "database/bv_job.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/bv_filesystem.h"
#include "common/error_reporter.h"
#include "common/file_utils.h"
#include "common/io_utils.h"
#include "common/process_startup.h"
#include "config/global_options.h"
#include "pal/system_text.h"

namespace brenvik {

namespace {

const char* const kModule = "bv_job";

std::string errnoText(int code) { return getSystemErrorText(static_cast<uint32_t>(code)); }

uint32_t nowSeconds() { return static_cast<uint32_t>(std::time(nullptr)); }

// Zero-fills the whole field first: no byte of an earlier job stays behind
// the new text's zero.
template <size_t N>
void putText(char (&field)[N], const std::string& text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), text.size() < N ? text.size() : N - 1);
}

bool isGetKind(const JobSlot& slot) { return ::strnlen(slot.requestKind, 4) == 3 && std::memcmp(slot.requestKind, "GET", 3) == 0; }

CJobManager* activeManager = nullptr;
CErrorReporter::FatalCallback previousCallback = nullptr;

}  // namespace

// ---------------------------------------------------------------------------
// Job-number files

bool createJobNumberFile(const std::string& path, int number) {
    // An unset path names no file; the temporary would land in the working folder.
    if (path.empty()) return false;
    const std::string target = osPath(path);
    std::string temp = target + ".tmp" + std::to_string(::getpid());
    FILE* file = fileOpenStream(temp.c_str(), "w", true);
    if (file == nullptr) return bv_filesystem::exists(path);
    bool written = std::fprintf(file, "%d", number) > 0;
    written = (std::fclose(file) == 0) && written;
    if (written) setFileAccess(temp.c_str(), true, false);
    // link() never replaces: when another process created the file first,
    // its number stands and ours goes.
    bool linked = written && ::link(temp.c_str(), target.c_str()) == 0;
    ::unlink(temp.c_str());
    return linked || bv_filesystem::exists(path);
}

int getNextJobNumber(bool shortFile) {
    const int start = globalOptions().getUniqueJobStartNumber();
    // Used whole: a path cut to a fixed buffer would name another file.
    const std::string path = shortFile ? globalOptions().seqFetchJobIdFile() : globalOptions().getTarvexJobIdFile();

    if (!bv_filesystem::exists(path)) createJobNumberFile(path, start);

    int fd = moveOffStandardStreams(::open(osPath(path).c_str(), O_RDWR | O_CLOEXEC));
    if (fd < 0) {
        std::string text = errnoText(errno);
        errorReporter.report(12, -1, 1266, kModule, path.c_str(), "writing", text.c_str());
        return start;
    }
    // The number is taken even when the lock cannot be had.
    bool locked = lockFileRegion(fd, 0, 4, path.c_str(), false) == 0;

    char buffer[20] = {};
    ssize_t got;
    do {
        got = ::pread(fd, buffer, 19, 0);
    } while (got < 0 && errno == EINTR);
    int number = got > 0 ? std::atoi(buffer) : start;
    number += 1;

    char text[32];
    if (shortFile && number >= 1000) {
        std::snprintf(text, sizeof text, "1    ");
        number = 1;
    } else {
        std::snprintf(text, sizeof text, "%d", number);
    }
    // Written over the start without truncation, as the other readers expect.
    (void)!::pwrite(fd, text, std::strlen(text), 0);

    if (locked) unlockFileRegion(fd, 0, 4, path.c_str(), false);
    ::close(fd);
    return number;
}

CTarvexJobIdFile::CTarvexJobIdFile(const std::string& path) : path_(path) {}

CTarvexJobIdFile::~CTarvexJobIdFile() { close(); }

bool CTarvexJobIdFile::lock() {
    if (locked_) return true;
    if (fd_ < 0) {
        fd_ = moveOffStandardStreams(::open(osPath(path_).c_str(), O_RDWR | O_CLOEXEC));
        // A missing main file starts at UniqueJobStartNumber: the server's
        // own jobs take their numbers from it, and "1" would reuse numbers.
        if (fd_ < 0 && !bv_filesystem::exists(path_) && createJobNumberFile(path_, globalOptions().getUniqueJobStartNumber()))
            fd_ = moveOffStandardStreams(::open(osPath(path_).c_str(), O_RDWR | O_CLOEXEC));
    }
    if (fd_ >= 0) locked_ = lockFileRegion(fd_, 0, 1, path_.c_str(), false) == 0;
    return locked_;
}

void CTarvexJobIdFile::close() {
    if (locked_) unlockFileRegion(fd_, 0, 1, path_.c_str(), false);
    locked_ = false;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

// ---------------------------------------------------------------------------
// The job manager

CJobManager::CJobManager(int toolId) : jobNumber_(toolId), cursor_(jobs_.end()) {}

CJobManager::~CJobManager() { watchFatalExit(false); }

void CJobManager::clearJobs() {
    watchFatalExit(false);
    jobs_.clear();
    cursor_ = jobs_.end();
    noJob_ = true;
}

bool CJobManager::newJob(bool shortFile) {
    clearJobs();
    jobNumber_ = getNextJobNumber(shortFile);
    managerText_.clear();
    return true;
}

void CJobManager::setControlFile(bv_controlfile* controlFile) {
    clearJobs();
    controlFile_ = controlFile;
}

bool CJobManager::registerJob(const std::vector<std::string>& names, int node, const std::string& task,
                              const std::string& taskText, const std::string& userIdText,
                              const std::string& description, const std::string& kind, int callerNumber,
                              bool report) {
    clearJobs();
    if (!collectDatabases(node, task, names, report)) return false;
    if (!addJobSlots(node, task, taskText, std::atoi(userIdText.c_str()), description, kind, callerNumber))
        return false;
    cursor_ = jobs_.begin();
    watchFatalExit(true);
    return true;
}

bool CJobManager::collectDatabases(int node, const std::string& task, const std::vector<std::string>& names,
                                   bool report) {
    if (controlFile_ == nullptr) return false;
    std::map<std::string, Element> collected;
    for (const std::string& name : names) {
        int entry = controlFile_->findDatabase(name, true);
        ControlFileRecord* half0 = controlFile_->getRecord(entry, 0);
        ControlFileRecord* half1 = controlFile_->getRecord(entry, 1);
        // An empty entry is no database: no slot may be claimed in it.
        if (entry < 0 || entry >= controlFile_->getEntryCount() || half0 == nullptr || half1 == nullptr ||
            name.empty() || fieldText(half0->name).empty()) {
            errorReporter.report(27, jobNumber_, 835, kModule, name.c_str());
            return false;
        }
        ControlFileRecord* chosen = nullptr;
        if (task == "Monitor Test DB 0") {
            chosen = half0;
        } else if (task == "Monitor Test DB 1") {
            chosen = half1;
        } else {
            int32_t s0 = 0, s1 = 0, c0 = 0, c1 = 0;
            if (node >= 0 && node < kNodeCount) {
                s0 = nodeValue(*half0, kNodeSwitchState + node);
                s1 = nodeValue(*half1, kNodeSwitchState + node);
                c0 = nodeValue(*half0, kNodeStatus + node);
                c1 = nodeValue(*half1, kNodeStatus + node);
            }
            if (s0 == 0 && s1 == 1)
                chosen = half0;
            else if (s1 == 0 && s0 == 1)
                chosen = half1;
            else if (c0 == kUsableStatus)
                chosen = half0;
            else if (c1 == kUsableStatus)
                chosen = half1;
            else {
                if (report) errorReporter.report(27, jobNumber_, 861, kModule, name.c_str());
                return false;
            }
        }
        collected.emplace(name, Element(chosen, nullptr));
    }
    jobs_.swap(collected);
    cursor_ = jobs_.begin();
    return true;
}

bool CJobManager::addJobSlots(int node, const std::string& task, const std::string& taskText, int userId,
                              const std::string& description, const std::string& kind, int callerNumber) {
    // Serialises the claims of every process of the server; without the
    // lock the claim still goes on.
    CTarvexJobIdFile idFile(globalOptions().getTarvexJobIdFile());
    idFile.lock();

    for (auto& [name, element] : jobs_) {
        JobSlot* slots = element.first->slots;
        int chosen = -1;
        bool chosenIsGet = false;
        uint32_t chosenEnd = 0;
        for (int i = 0; i < kJobSlotsPerHalf; ++i) {
            if (loadField(slots[i].jobNumber) == 0) {
                chosen = i;
                break;
            }
            uint32_t end = loadField(slots[i].endTime);
            if (end == 0) continue;  // running: never taken
            bool get = isGetKind(slots[i]);
            if (chosen < 0 || (get && !chosenIsGet) || (get == chosenIsGet && end < chosenEnd)) {
                chosen = i;
                chosenIsGet = get;
                chosenEnd = end;
            }
        }
        if (chosen < 0) {
            for (auto& [otherName, other] : jobs_) {
                if (other.second != nullptr) storeField(other.second->jobNumber, 0);
                other.second = nullptr;
            }
            idFile.close();
            errorReporter.report(51, -1, 970, kModule);
            return false;
        }
        JobSlot& slot = slots[chosen];
        // Number first: until the end time is cleared the slot still reads
        // as finished, and its earlier job's finish sees it is gone.
        storeField(slot.jobNumber, jobNumber_);
        storeField(slot.endTime, 0u);
        element.second = &slot;
    }
    idFile.close();

    for (auto& [name, element] : jobs_)
        fillJobSlot(*element.second, kind, callerNumber, userId, task, taskText, description, node);
    noJob_ = false;
    return true;
}

void CJobManager::fillJobSlot(JobSlot& slot, const std::string& kind, int callerNumber, int userId,
                              const std::string& task, const std::string& taskText, const std::string& description,
                              int node) {
    slot.finishFlag = 0;
    storeField(slot.startTime, nowSeconds());
    storeField(slot.processId, static_cast<int32_t>(getProcessId()));
    slot.zero352 = 0;
    slot.zero436 = 0;
    putText(slot.requestKind, kind.substr(0, 3));
    std::memset(slot.zero424, 0, sizeof slot.zero424);
    slot.callerNumber = callerNumber;
    slot.userId = userId;
    const char* address = getEnv("REMOTE_ADDR");
    putText(slot.clientAddress, address != nullptr ? std::string(address) : std::string());
    std::memset(reinterpret_cast<char*>(&slot) + offsetof(JobSlot, result), 0,
                offsetof(JobSlot, finishFlag) - offsetof(JobSlot, result));
    putText(slot.task, task);
    putText(slot.taskText, taskText);
    putText(slot.description, description);
    putText(slot.managerText, managerText_);
    slot.nodeIndex = node;
    storeField(slot.status, 1);
    slot.zero432 = 0;
}

ControlFileRecord* CJobManager::getDatabaseRecord(const std::string& name) const {
    if (name.empty()) return jobs_.empty() ? nullptr : jobs_.begin()->second.first;
    auto it = jobs_.find(name);
    return it == jobs_.end() ? nullptr : it->second.first;
}

JobSlot* CJobManager::getJobSlot(const std::string& name) const {
    auto it = jobs_.find(name);
    return it == jobs_.end() ? nullptr : it->second.second;
}

bool CJobManager::finishJob(int result, int value, uint8_t flag, ProcessCpuTimes* times) {
    watchFatalExit(false);
    ProcessCpuTimes local;
    ProcessCpuTimes& t = times != nullptr ? *times : local;
    getProcessCpuTimes(t);
    for (auto& [name, element] : jobs_) {
        JobSlot* slot = element.second;
        if (slot == nullptr || loadField(slot->jobNumber) != jobNumber_) {
            noJob_ = true;
            return false;
        }
        if (noJob_) return false;
        storeField(slot->percentDone, 100);
        storeField(slot->result, result);
        storeField(slot->resultValue, value);
        storeField(slot->userCpuMs, t.userMs);
        storeField(slot->kernelCpuMs, t.kernelMs);
        storeField(slot->elapsedMs, t.elapsedMs);
        slot->finishFlag = flag;
        storeField(slot->status, 2);
        // Last: a slot with an end time counts as finished and reusable.
        storeField(slot->endTime, nowSeconds());
    }
    noJob_ = true;
    return true;
}

// A fatal report ends the process inside the reporter; the registered job is
// finished first, with the message number as its result.
void CJobManager::onFatalExit(int messageNumber) {
    CJobManager* manager = activeManager;
    CErrorReporter::FatalCallback previous = previousCallback;
    if (manager != nullptr) manager->finishJob(messageNumber, 0, 0, nullptr);
    if (previous != nullptr) previous(messageNumber);
}

void CJobManager::controlFileClosing(const bv_controlfile* controlFile) {
    if (activeManager != nullptr && activeManager->controlFile_ == controlFile) activeManager->watchFatalExit(false);
}

void CJobManager::watchFatalExit(bool on) {
    CErrorReporter::FatalCallback& slot = errorReporter.fatalCallback;
    if (on && !watching_) {
        if (activeManager != nullptr) activeManager->watchFatalExit(false);
        previousCallback = slot;
        slot = &CJobManager::onFatalExit;
        activeManager = this;
        watching_ = true;
    } else if (!on && watching_) {
        if (activeManager == this) {
            slot = previousCallback;
            previousCallback = nullptr;
            activeManager = nullptr;
        }
        watching_ = false;
    }
}

}  // namespace brenvik
