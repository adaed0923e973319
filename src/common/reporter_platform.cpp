#include "common/reporter_platform.h"

#include <utility>

#include "common/bv_winmutex.h"
#include "common/process_startup.h"
#include "common/time_utils.h"
#include "pal/last_error.h"
#include "pal/system_text.h"

namespace reporter_platform {

std::string timeText() {
    CTimeUtils t;
    return t.formatTime(t.now());
}

std::string securityLogTimeText() {
    bvparser_internal::CTimeUtils t;
    return t.asctime(t.localtime(t.now()));
}

std::string lastSystemErrorText() { return getSystemErrorText(NARROW_CHAR_PAL::getLastError()); }

void closeSockets(int job) { closeSocketLibrary(job); }

std::string computerName() { return getComputerName(); }

void lockLibrary() { getGlobalMutex().lock(); }
void unlockLibrary() { getGlobalMutex().unlock(); }

namespace {

Settings& settingsObject() {
    static Settings* object = new Settings();  // never destroyed: a report from exit() reads it
    return *object;
}

}  // namespace

const Settings& settings() { return settingsObject(); }
void publishSettings(Settings published) { settingsObject() = std::move(published); }

std::string errorLogFile() { return settings().errorLogFile; }
std::string monitorLogFile() { return settings().monitorLogFile; }
std::string ipcLogFile() { return settings().ipcLogFile; }
MailSettings mailSettings() { return settings().mail; }

}  // namespace reporter_platform
