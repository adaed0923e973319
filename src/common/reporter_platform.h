#pragma once
// The few services of other layers that the reporter, the logs, the error
// objects and the mail sender use, gathered in one place: time text, the
// thread's last platform error, the socket clean-up of a fatal exit, the
// computer name, the library mutex and the settings that the configuration
// publishes for them.
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

// What the core services take from the configuration. The configuration
// publishes it whenever it publishes its process-wide Options and Cluster
// sections (their defaults at start and at every reset included), so that
// nothing at this level reads the configuration itself. Readers take no
// lock, like the sections it comes from.
struct Settings {
    std::string errorLogFile;    // Options: ErrorLogFile
    std::string monitorLogFile;  // Options: MonitorLogFile
    std::string ipcLogFile;      // Cluster: IPCLogfile
    std::string userGroup;       // Options: NTIUserGroup, given access to new files
    MailSettings mail;           // Options: the mail settings
};
const Settings& settings();
void publishSettings(Settings published);

std::string errorLogFile();
std::string monitorLogFile();
std::string ipcLogFile();
MailSettings mailSettings();

}  // namespace reporter_platform
