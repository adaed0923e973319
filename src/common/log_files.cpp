#include "common/log_files.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/bv_filesystem.h"
#include "common/error_reporter.h"
#include "common/file_utils.h"
#include "common/io_utils.h"
#include "common/reporter_platform.h"
#include "common/system_calls.h"
#include "pal/system_text.h"

// The group's access lets an administrator of that group who runs the
// command line append to the log too; a failure there makes no log entry
// (the report would be a log entry itself).
int openLogForAppend(const std::string& path, bool* created) {
    const int append = O_WRONLY | O_APPEND;
    if (created) *created = false;
    int fd = fileOpenInPlace(path.c_str(), append);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = fileOpenInPlace(path.c_str(), append | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) {
        (void)brenvik::bv_filesystem::grantConfiguredGroupAccess(fd, path, false);
        if (created) *created = true;
        return fd;
    }
    // Another process created it meanwhile.
    return errno == EEXIST ? fileOpenInPlace(path.c_str(), append) : -1;
}

namespace {

// Appends under the log's lock; a write that does not go through whole (a
// full disk) is cut back to the length before it, so that no torn entry
// stays for the next entry to be glued to. Only under the lock: without it,
// other processes may have appended after that length, and a torn entry is
// better than their lost ones. errno tells a failure.
bool appendLocked(int fd, const std::string& path, const std::string& entry, bool quiet) {
    // Bytes 0 to 3 order every appender of the log; a failed lock is
    // reported unless quiet (message 267 goes to the error log and the page,
    // never back into the monitor or IPC log) and the entry is written all
    // the same.
    const bool locked = lockFileRegion(fd, 0, 4, path.c_str(), quiet) == 0;
    struct stat before;
    const bool sized = systemCalls().fstat(fd, &before) == 0;
    bool ok = fileWriteAll(fd, entry.data(), entry.size());
    const int err = errno;
    if (!ok && sized && locked) (void)systemCalls().ftruncate(fd, before.st_size);
    if (locked) unlockFileRegion(fd, 0, 4, path.c_str(), quiet);
    errno = err;
    return ok;
}

}  // namespace

bool appendLogEntry(const std::string& path, const std::string& entry, bool quiet) {
    if (path.empty()) {
        errno = ENOENT;
        return false;
    }
    int fd = openLogForAppend(path);
    if (fd < 0) return false;
    const bool ok = appendLocked(fd, path, entry, quiet);
    const int err = errno;
    ::close(fd);
    errno = err;
    return ok;
}

std::string errorLogFilePath() { return reporter_platform::errorLogFile(); }
std::string monitorLogFilePath() { return reporter_platform::monitorLogFile(); }
std::string ipcLogFilePath() { return reporter_platform::ipcLogFile(); }

std::string currentTimeText() { return reporter_platform::timeText(); }

std::string escapeAngleBrackets(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out += c;
    }
    return out;
}

std::string formatErrorLogEntry(int number, int job, int line, const std::string& module,
                                const std::string& timeText, const std::string& text) {
    return CErrorReporter::formatText("Error [M%05d - Job %d - X%05d:%s] - %s\n", number, job, line, module.c_str(),
                      timeText.c_str()) +
           "   - " + escapeAngleBrackets(text) + "\n\n";
}

void appendErrorLogEntry(int number, int job, int line, const std::string& module, const std::string& timeText,
                         const std::string& text) {
    const std::string entry = formatErrorLogEntry(number, job, line, module, timeText, text);
    // An entry the error log cannot take goes to standard error, which a web
    // server keeps in its own error log, rather than nowhere; the first time,
    // after a line that says why, so the administrator can mend the log.
    // A forked child is a process of its own and says it again.
    static std::atomic<pid_t> reasonGivenBy{0};
    const std::string path = errorLogFilePath();
    if (appendLogEntry(path, entry, true)) return;
    const int err = errno;
    if (!path.empty() && reasonGivenBy.exchange(::getpid()) != ::getpid()) {
        const std::string reason = getSystemErrorText(static_cast<uint32_t>(err));
        (void)fileWriteAll(STDERR_FILENO, "cannot append to " + pathInMessages(path) + ": " + reason + "\n");
    }
    (void)fileWriteAll(STDERR_FILENO, entry);
}

void writeMonitorLogLine(const std::string& text) {
    appendLogEntry(monitorLogFilePath(), currentTimeText() + " - " + escapeAngleBrackets(text) + "\n", false);
}

void writeIpcLogLine(const std::string& text, int job, int line, const std::string& module) {
    appendLogEntry(ipcLogFilePath(),
                   CErrorReporter::formatText("%s Job %5d  %s %d - ", currentTimeText().c_str(), job, module.c_str(), line) + text +
                       "\n",
                   false);
}
