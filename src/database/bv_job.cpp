#include "database/bv_job.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/bv_filesystem.h"
#include "common/error_reporter.h"
#include "common/file_utils.h"
#include "common/io_utils.h"
#include "common/log_files.h"
#include "common/process_startup.h"
#include "common/system_calls.h"
#include "config/global_options.h"
#include "pal/number_reader.h"
#include "pal/system_text.h"

namespace brenvik {

namespace {

const char* const kModule = "bv_job";
// Report positions of this module. Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineNoDatabase = 835;  // M27
constexpr int kLineNoUsableHalf = 861;  // M27
constexpr int kLineNoJobSlot = 970;  // M51
constexpr int kLineJobNumberFile = 1266;  // M12

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

// A running slot of this node whose process no longer exists: a process
// killed from outside (out of memory, a web-server time-out, kill -9) never
// finishes its job. Only ESRCH proves the process gone; a live process, or
// another that reused the ID, keeps the slot.
bool processGone(const JobSlot& slot, int node) {
    const int32_t pid = loadField(slot.processId);
    return loadField(slot.nodeIndex) == node && pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
}

CJobManager* activeManager = nullptr;
CErrorReporter::FatalCallback previousCallback = nullptr;

}  // namespace

// ---------------------------------------------------------------------------
// Job-number files

namespace {

// link() refused by the file system itself rather than by the names.
bool linksUnsupported(int err) { return err == EPERM || err == EOPNOTSUPP || err == EXDEV || err == ENOSYS; }

// Where hard links do not work: the name is created exclusively and its first
// bytes locked (as every reader of a job-number file locks them) until the
// content is in, so that a reader sees it whole as well as this allows.
bool createExclusively(const std::string& path, const std::string& content) {
    int fd = fileOpenNoFollow(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) {
        if (errno != EEXIST) reportFileOpenFailure(path.c_str(), "w", errno);
        return bv_filesystem::exists(path);
    }
    bool locked = lockFileRegion(fd, 0, 4, path.c_str(), true) == 0;
    (void)fileWriteAll(fd, content);
    if (locked) unlockFileRegion(fd, 0, 4, path.c_str(), true);
    setFileAccess(fd, path.c_str(), false);
    ::close(fd);
    return true;
}

}  // namespace

bool createJobNumberFile(const std::string& path, int number) {
    // An unset path names no file; the temporary would land in the working folder.
    if (path.empty()) return false;
    const std::string target = osPath(path);
    const std::string content = std::to_string(number);
    // Created exclusively under a name no one can guess: whoever can write
    // the folder could otherwise plant a link there for this run to follow.
    std::string temp;
    int fd = fileCreateTemporary(target + ".tmp", temp);
    if (fd < 0) {
        const int err = errno;
        if (bv_filesystem::exists(path)) return true;
        // The user knows the configured name, not our temporary.
        reportFileOpenFailure(path.c_str(), "w", err);
        return false;
    }
    bool written = fileWriteAll(fd, content);
    if (written) setFileAccess(fd, path.c_str(), false);
    written = (::close(fd) == 0) && written;
    // link() never replaces: when another process created the file first,
    // its number stands and ours goes.
    bool linked = false;
    int linkError = 0;
    if (written) {
        linked = systemCalls().link(temp.c_str(), target.c_str()) == 0;
        if (!linked) linkError = errno;
    }
    ::unlink(temp.c_str());
    if (!linked && linksUnsupported(linkError)) return createExclusively(path, content);
    return linked || bv_filesystem::exists(path);
}

namespace {

// A job-number file that another process is creating has a second name for
// a moment (its temporary, linked to the name, then removed); a second name
// that stays is refused.
int openJobNumberFile(const std::string& path) {
    constexpr int kTries = 20;
    int fd = fileOpenInPlace(path.c_str(), O_RDWR);
    for (int i = 1; i < kTries && fd < 0 && errno == static_cast<int>(NARROW_CHAR_PAL::kErrorFileHardLinked); ++i) {
        systemCalls().sleepMilliseconds(1);
        fd = fileOpenInPlace(path.c_str(), O_RDWR);
    }
    return fd;
}

// The width of the text a wrap writes ("1    "). A shorter file written by
// the tools is overwritten and padded to its length, which keeps the
// trailing spaces of a wrap; anything longer is cut to the new text.
constexpr size_t kPaddedWidth = 5;
constexpr int64_t kShortFileLast = 999;

// The leading number of what a job-number file holds, as atoi reads it
// (white space, a sign, digits), held within 64 bits however many digits
// follow; 0 when no digit comes.
int64_t storedJobNumber(const char* buffer, ssize_t got) {
    if (got <= 0) return 0;
    return readLeadingInteger<int64_t>(std::string(buffer, static_cast<size_t>(got)).c_str()).value;
}

// The new content over the old length: padded with spaces up to a short old
// length, so no byte of the old value stays; the file is cut below a longer
// one.
bool writeWhole(int fd, std::string text, int64_t oldLength) {
    if (oldLength > static_cast<int64_t>(text.size()) && oldLength <= static_cast<int64_t>(kPaddedWidth))
        text.append(static_cast<size_t>(oldLength) - text.size(), ' ');
    ssize_t put;
    do {
        put = systemCalls().pwrite(fd, text.data(), text.size(), 0);
    } while (put < 0 && errno == EINTR);
    if (put != static_cast<ssize_t>(text.size())) return false;
    if (oldLength > static_cast<int64_t>(text.size()))
        return systemCalls().ftruncate(fd, static_cast<off_t>(text.size())) == 0;
    return true;
}

}  // namespace

int getNextJobNumber(bool shortFile) {
    const int start = globalOptions().getUniqueJobStartNumber();
    // Used whole: a path cut to a fixed buffer would name another file.
    const std::string path = shortFile ? globalOptions().seqFetchJobIdFile() : globalOptions().getTarvexJobIdFile();

    if (!bv_filesystem::exists(path)) createJobNumberFile(path, start);

    int fd = openJobNumberFile(path);
    if (fd < 0) {
        std::string text = errnoText(errno);
        errorReporter.report(12, -1, kLineJobNumberFile, kModule, pathInMessages(path).c_str(), "writing",
                             text.c_str());
        return start;
    }
    // The number is taken even when the lock cannot be had.
    bool locked = lockFileRegion(fd, 0, 4, path.c_str(), false) == 0;

    // More than a number's width is read, so that a longer text is seen as
    // such and cut when the new number is written.
    char buffer[32] = {};
    ssize_t got;
    do {
        got = systemCalls().pread(fd, buffer, sizeof buffer, 0);
    } while (got < 0 && errno == EINTR);
    struct stat st;
    const int64_t oldLength =
        systemCalls().fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : (got > 0 ? got : 0);

    std::string text;
    int64_t number;
    if (shortFile) {
        // A value the short file never holds (job 0 marks a free slot,
        // negative numbers are the tools' own IDs) starts the count again.
        int64_t last = got > 0 ? storedJobNumber(buffer, got) : start;
        if (last < 1 || last > kShortFileLast) last = 0;
        number = last + 1;
        if (number == 1 || number > kShortFileLast) {
            text = "1    ";
            number = 1;
        }
    } else {
        const int64_t last = got > 0 ? storedJobNumber(buffer, got) : start;
        number = last < INT32_MAX ? last + 1 : 0;
        // Past what a job number holds: the count starts again where the
        // server starts its own.
        if (number < 1 || number > INT32_MAX) number = start;
    }
    if (text.empty()) text = std::to_string(number);
    (void)writeWhole(fd, text, oldLength);

    if (locked) unlockFileRegion(fd, 0, 4, path.c_str(), false);
    ::close(fd);
    return static_cast<int>(number);
}

CTarvexJobIdFile::CTarvexJobIdFile(const std::string& path) : path_(path) {}

CTarvexJobIdFile::~CTarvexJobIdFile() { close(); }

bool CTarvexJobIdFile::lock() {
    if (locked_) return true;
    if (fd_ < 0) {
        fd_ = openJobNumberFile(path_);
        // A missing main file starts at UniqueJobStartNumber: the server's
        // own jobs take their numbers from it, and "1" would reuse numbers.
        if (fd_ < 0 && !bv_filesystem::exists(path_) && createJobNumberFile(path_, globalOptions().getUniqueJobStartNumber()))
            fd_ = openJobNumberFile(path_);
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
    if (!addJobSlots(node, task, taskText, brenvik::atoiValue(userIdText.c_str()), description, kind, callerNumber))
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
            errorReporter.report(27, jobNumber_, kLineNoDatabase, kModule, name.c_str());
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
                if (report) errorReporter.report(27, jobNumber_, kLineNoUsableHalf, kModule, name.c_str());
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

    std::vector<std::string> reclaimed;
    for (auto& [name, element] : jobs_) {
        JobSlot* slots = element.first->slots;
        int chosen = -1;
        bool chosenIsGet = false;
        bool chosenGone = false;
        uint32_t chosenEnd = 0;
        for (int i = 0; i < kJobSlotsPerHalf; ++i) {
            if (loadField(slots[i].jobNumber) == 0) {
                chosen = i;
                chosenGone = false;
                break;
            }
            uint32_t end = loadField(slots[i].endTime);
            const bool gone = end == 0 && processGone(slots[i], node);
            if (end == 0 && !gone) continue;  // running: never taken
            // A dead process's job counts as ended when it started.
            if (gone) end = loadField(slots[i].startTime);
            bool get = isGetKind(slots[i]);
            if (chosen < 0 || (get && !chosenIsGet) || (get == chosenIsGet && end < chosenEnd)) {
                chosen = i;
                chosenIsGet = get;
                chosenEnd = end;
                chosenGone = gone;
            }
        }
        if (chosen < 0) {
            for (auto& [otherName, other] : jobs_) {
                if (other.second != nullptr) storeField(other.second->jobNumber, 0);
                other.second = nullptr;
            }
            idFile.close();
            errorReporter.report(51, -1, kLineNoJobSlot, kModule);
            return false;
        }
        JobSlot& slot = slots[chosen];
        if (chosenGone)
            reclaimed.push_back("Job slot " + std::to_string(chosen) + " of " + name + " reclaimed: process " +
                                std::to_string(loadField(slot.processId)) + " of job " +
                                std::to_string(loadField(slot.jobNumber)) + " no longer exists");
        // Our node and process ID go in under the lock as well: until the
        // slot is filled they would otherwise name its earlier job's
        // process, which may be gone, and another claim would take the slot
        // back from us.
        storeField(slot.nodeIndex, node);
        storeField(slot.processId, static_cast<int32_t>(getProcessId()));
        // Number first: until the end time is cleared the slot still reads
        // as finished, and its earlier job's finish sees it is gone.
        storeField(slot.jobNumber, jobNumber_);
        storeField(slot.endTime, 0u);
        element.second = &slot;
    }
    idFile.close();
    for (const std::string& line : reclaimed) writeMonitorLogLine(line);

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

// ---------------------------------------------------------------------------
// The job of one request

CJobGuard::CJobGuard(CJobManager& jobs, const bv_options* options) : jobs_(jobs) {
    try {
        controlFile_.open(options, false, true);
    } catch (const CControlFileError& e) {
        // The road goes on: a closed control file holds no database, so a
        // registration fails and reports why.
        openFailure_ = e.getNumber();
        // "Not running" is the wrong reason for a file refused for what it
        // is: the page names it and why first, as the error log does (M49).
        // A POST has no page, and its messages carry M49 already.
        if (!e.getFileRefusal().empty() && errorReporter.toPage)
            errorReporter.report(285, jobs_.getJobNumber(), e.getLine(), e.getModule().c_str(),
                                 pathInMessages(e.getPath()), e.getFileRefusal());
        errorReporter.report(e.getNumber(), jobs_.getJobNumber(), e.getLine(), e.getModule().c_str(),
                             e.getSubCluster());
    }
    jobs_.setControlFile(&controlFile_);
}

CJobGuard::~CJobGuard() {
    finish();
    jobs_.setControlFile(nullptr);
    controlFile_.close();
}

bool CJobGuard::registerJob(const std::vector<std::string>& names, int node, const std::string& task,
                            const std::string& taskText, const std::string& userIdText,
                            const std::string& description, const std::string& kind, int callerNumber,
                            bool report) {
    registered_ = jobs_.registerJob(names, node, task, taskText, userIdText, description, kind, callerNumber, report);
    return registered_;
}

void CJobGuard::finish() {
    if (registered_) jobs_.finishJob(0, 0, 0);
    registered_ = false;
}

}  // namespace brenvik
