#include "common/log_files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "common/error_reporter.h"
#include "common/file_utils.h"
#include "common/io_utils.h"
#include "common/reporter_platform.h"

namespace {

// Never leave a log on descriptor 0, 1 or 2: a CGI program whose standard
// output is the reply must not write a log into it.
int openAppend(const std::string& path) {
    int fd;
    do {
        fd = ::open(osPath(path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return moveOffStandardStreams(fd);
}

}  // namespace

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

bool appendLogEntry(const std::string& path, const std::string& entry, bool quiet) {
    if (path.empty()) return false;
    int fd = openAppend(path);
    if (fd < 0) return false;
    // Bytes 0 to 3 order every appender of the log; a failed lock is
    // reported unless quiet (message 267 goes to the error log and the page,
    // never back into the monitor or IPC log) and the entry is written all
    // the same.
    const bool locked = lockFileRegion(fd, 0, 4, path.c_str(), quiet) == 0;
    bool ok = writeAll(fd, entry);
    if (locked) unlockFileRegion(fd, 0, 4, path.c_str(), quiet);
    ::close(fd);
    return ok;
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
    // server keeps in its own error log, rather than nowhere.
    if (!appendLogEntry(errorLogFilePath(), entry, true)) (void)writeAll(STDERR_FILENO, entry);
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
