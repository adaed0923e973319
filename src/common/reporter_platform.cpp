#include "common/reporter_platform.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unistd.h>

namespace reporter_platform {

namespace {
thread_local int lastError = 0;
}

std::string timeText() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return std::string();
    char buf[64];
    std::size_t n = std::strftime(buf, sizeof buf, "%a %b %d %H:%M:%S %Y", &tm);
    return std::string(buf, n > 24 ? 24 : n);
}

void captureLastError() { lastError = errno; }

std::string lastSystemErrorText() {
    char buf[256];
    const char* text = strerror_r(lastError, buf, sizeof buf);
    std::string s = text ? text : "";
    for (char& c : s)
        if (c == '\r' || c == '\n') c = ' ';
    return s;
}

void closeSockets(int) {}

std::string computerName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return std::string();
    return buf;
}

namespace {
std::recursive_mutex& libraryMutex() {
    static std::recursive_mutex* m = new std::recursive_mutex();
    return *m;
}
}  // namespace

void lockLibrary() { libraryMutex().lock(); }
void unlockLibrary() { libraryMutex().unlock(); }

std::string errorLogFile() { return "../logs/errorlog.txt"; }
std::string monitorLogFile() { return "../logs/monitor.log"; }
std::string ipcLogFile() { return "../logs/IPC.log"; }

MailSettings mailSettings() { return MailSettings{}; }

}  // namespace reporter_platform
