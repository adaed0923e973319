#pragma once
// Job numbers and job slots. Every request that reads a database is a
// numbered job of the server: its number comes from a job-number file (lock on
// the file's first 4 bytes), and it claims a slot in its database's
// control-file half while holding a one-byte lock on the server's main
// job-number file, so that the status pages and the monitor see it.
//
// While a job is registered, the manager finishes its slots on every way out
// of the process, a fatal error report included (the reporter's fatal
// callback): leaked slots end in "Too many searches being run at once" for
// everyone. A process killed from outside cannot finish its slot; a claim
// counts a running slot of this node whose process no longer exists as
// finished at its start time, and records the reclaim in the monitor log.
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "database/bv_controlfile.h"

struct ProcessCpuTimes;

namespace brenvik {

// The next job number from the short (SeqFetchJobIdFile, 1 to 999) or the
// long (TarvexJobIdFile) job-number file of the process-wide Options.
int getNextJobNumber(bool shortFile);

// Creates a missing job-number file with its content already in it (a
// temporary in the same folder, linked to the name), so no process ever sees
// it empty. True when the file exists afterwards, also when another process
// created it first.
bool createJobNumberFile(const std::string& path, int number);

// The server's main job-number file as the lock that serialises slot claims.
class CTarvexJobIdFile {
public:
    explicit CTarvexJobIdFile(const std::string& path);
    virtual ~CTarvexJobIdFile();
    CTarvexJobIdFile(const CTarvexJobIdFile&) = delete;
    CTarvexJobIdFile& operator=(const CTarvexJobIdFile&) = delete;

    // Opens the file (creating it holding UniqueJobStartNumber) and takes the
    // lock on its first byte; true when locked.
    bool lock();
    // Releases the lock (when taken) and closes.
    void close();
    bool isLocked() const { return locked_; }

private:
    std::string path_;
    int fd_ = -1;
    bool locked_ = false;
};

class CJobManager {
public:
    explicit CJobManager(int toolId);
    virtual ~CJobManager();
    CJobManager(const CJobManager&) = delete;
    CJobManager& operator=(const CJobManager&) = delete;

    bool newJob(bool shortFile);
    void setControlFile(bv_controlfile* controlFile);
    bool registerJob(const std::vector<std::string>& names, int node, const std::string& task,
                     const std::string& taskText, const std::string& userIdText, const std::string& description,
                     const std::string& kind, int callerNumber, bool report);
    ControlFileRecord* getDatabaseRecord(const std::string& name) const;
    // times: filled with this process's CPU and elapsed times when given.
    bool finishJob(int result, int value, uint8_t flag, ProcessCpuTimes* times = nullptr);

    int getJobNumber() const { return jobNumber_; }
    bool hasNoJob() const { return noJob_; }
    // The slot claimed for name, or null.
    JobSlot* getJobSlot(const std::string& name) const;

    // Called when a control file closes: its slots are gone, so a fatal exit
    // must no longer write into them.
    static void controlFileClosing(const bv_controlfile* controlFile);

private:
    using Element = std::pair<ControlFileRecord*, JobSlot*>;

    void clearJobs();
    bool collectDatabases(int node, const std::string& task, const std::vector<std::string>& names, bool report);
    bool addJobSlots(int node, const std::string& task, const std::string& taskText, int userId,
                     const std::string& description, const std::string& kind, int callerNumber);
    void fillJobSlot(JobSlot& slot, const std::string& kind, int callerNumber, int userId, const std::string& task,
                     const std::string& taskText, const std::string& description, int node);
    void watchFatalExit(bool on);
    static void onFatalExit(int messageNumber);

    bool noJob_ = true;
    bv_controlfile* controlFile_ = nullptr;
    int jobNumber_;
    std::string managerText_;
    std::map<std::string, Element> jobs_;
    std::map<std::string, Element>::iterator cursor_;
    bool watching_ = false;
};

// The job of one request from the control file to the finished slot: opens
// the control file (a failure is reported with the manager's job number and
// leaves it closed) and attaches it to the manager; a job registered through
// the guard is finished on every way out of its scope, a fatal report
// included (the manager's fatal callback), before the control file closes.
// The manager is not owned and must outlive the guard.
class CJobGuard {
public:
    CJobGuard(CJobManager& jobs, const bv_options* options);
    ~CJobGuard();
    CJobGuard(const CJobGuard&) = delete;
    CJobGuard& operator=(const CJobGuard&) = delete;

    bool isOpen() const { return controlFile_.isOpen(); }
    // The number of the message that refused the control file; 0 when it opened.
    int openFailure() const { return openFailure_; }
    // CJobManager::registerJob.
    bool registerJob(const std::vector<std::string>& names, int node, const std::string& task,
                     const std::string& taskText, const std::string& userIdText, const std::string& description,
                     const std::string& kind, int callerNumber, bool report);
    // Finishes a registered job now (result 0); later calls do nothing.
    void finish();

private:
    CJobManager& jobs_;
    bv_controlfile controlFile_;
    int openFailure_ = 0;
    bool registered_ = false;
};

}  // namespace brenvik
