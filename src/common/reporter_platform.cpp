#include "common/reporter_platform.h"

#include "common/bv_winmutex.h"
#include "common/process_startup.h"
#include "common/time_utils.h"
#include "config/global_options.h"
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

std::string errorLogFile() { return brenvik::globalOptions().getErrorLogFile(); }
std::string monitorLogFile() { return brenvik::globalOptions().getMonitorLogFile(); }
std::string ipcLogFile() { return brenvik::globalCluster().getIPCLogfile(); }

MailSettings mailSettings() {
    const brenvik::bv_options& o = brenvik::globalOptions();
    MailSettings s;
    s.errMessageEmailTo = o.getErrMessageEmailTo();
    s.emailErrorsEnabled = o.isEmailErrorsEnabled();
    s.mailTransport = o.getMailTransport();
    s.sendmailPath = o.getSendmailPath();
    s.mailTempFile = o.getMailTempFile();
    s.emailFromUser = o.getEmailFromUser();
    s.emailFromTextName = o.getEmailFromTextName();
    s.emailProfile = o.getEmailProfile();
    s.emailPassword = o.getEmailPassword();
    return s;
}

}  // namespace reporter_platform
