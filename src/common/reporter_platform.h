#pragma once
// The few services of other layers that the reporter, the logs, the error
// objects and the mail sender use, gathered in one place: time text, the
// thread's last platform error, the socket clean-up of a fatal exit, the
// computer name, the library mutex and the settings read from the
// process-wide Options and Cluster sections.
#include <string>

namespace reporter_platform {

// The local time as the 24-character log text; "" when it cannot be formatted.
std::string timeText();
// The same text as the security log's asctime form.
std::string securityLogTimeText();
// The text of the thread's last platform error.
std::string lastSystemErrorText();
void closeSockets(int job);
std::string computerName();

// The library mutex of every bv_errs operation (recursive within a thread).
void lockLibrary();
void unlockLibrary();
struct LibraryLock {
    LibraryLock() { lockLibrary(); }
    ~LibraryLock() { unlockLibrary(); }
    LibraryLock(const LibraryLock&) = delete;
    LibraryLock& operator=(const LibraryLock&) = delete;
};

std::string errorLogFile();
std::string monitorLogFile();
std::string ipcLogFile();

struct MailSettings {
    std::string errMessageEmailTo;
    bool emailErrorsEnabled = false;
    int mailTransport = 2;
    std::string sendmailPath;
    std::string mailTempFile;
    std::string emailFromUser;
    std::string emailFromTextName;
    std::string emailProfile;
    std::string emailPassword;
};
MailSettings mailSettings();

}  // namespace reporter_platform
