#include "common/log_files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "common/error_reporter.h"
#include "common/reporter_platform.h"

namespace {

std::string printfText(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string s = CErrorReporter::formatV(format, ap);
    va_end(ap);
    return s;
}

// Never leave a log on descriptor 0, 1 or 2: a CGI program whose standard
// output is the reply must not write a log into it.
int openAppend(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 && fd <= 2) {
        int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        ::close(fd);
        fd = moved;
    }
    return fd;
}

// Open-file-description locks on bytes 0 to 3: they order every appender of
// the log and, unlike classic fcntl locks, are not dropped when some other
// descriptor of the same file is closed in this process.
int lockHead(int fd, short type) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 4;
    if (type == F_UNLCK) return ::fcntl(fd, F_OFD_SETLK, &fl) == 0 ? 0 : -1;
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (attempt) ::sleep(1);
        if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return 0;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) break;
    }
    return -1;
}

bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
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
    bool locked = lockHead(fd, F_WRLCK) == 0;
    if (!locked) reporter_platform::captureLastError();
    bool ok = writeAll(fd, entry);
    if (locked) {
        if (lockHead(fd, F_UNLCK) != 0 && !quiet) {
            reporter_platform::captureLastError();
            ::close(fd);
            reportSystemError(267, 0, "log_files", path.c_str());
            return ok;
        }
    }
    ::close(fd);
    // Reported after the descriptor is closed: message 267 goes to the error
    // log and the page only, never back into this log.
    if (!locked && !quiet) reportSystemError(267, 0, "log_files", path.c_str());
    return ok;
}

std::string formatErrorLogEntry(int number, int job, int line, const std::string& module,
                                const std::string& timeText, const std::string& text) {
    return printfText("Error [M%05d - Job %d - X%05d:%s] - %s\n", number, job, line, module.c_str(),
                      timeText.c_str()) +
           "   - " + escapeAngleBrackets(text) + "\n\n";
}

void appendErrorLogEntry(int number, int job, int line, const std::string& module, const std::string& timeText,
                         const std::string& text) {
    appendLogEntry(errorLogFilePath(), formatErrorLogEntry(number, job, line, module, timeText, text), true);
}

void writeMonitorLogLine(const std::string& text) {
    appendLogEntry(monitorLogFilePath(), currentTimeText() + " - " + escapeAngleBrackets(text) + "\n", false);
}

void writeIpcLogLine(const std::string& text, int job, int line, const std::string& module) {
    appendLogEntry(ipcLogFilePath(),
                   printfText("%s Job %5d  %s %d - ", currentTimeText().c_str(), job, module.c_str(), line) + text +
                       "\n",
                   false);
}
