#include "config/global_options.h"

#include "common/process_startup.h"
#include "common/reporter_platform.h"
#include "pal/mutex.h"

namespace brenvik {

namespace {

bv_options& optionsObject() {
    static bv_options* object = new bv_options();  // never destroyed: see header
    return *object;
}

bv_clusteroptions& clusterObject() {
    static bv_clusteroptions* object = new bv_clusteroptions();
    return *object;
}

// The core services read what they need of the two sections from their own
// settings, which follow every change made here.
void publishCoreSettings() {
    const bv_options& o = optionsObject();
    reporter_platform::Settings s;
    s.errorLogFile = o.getErrorLogFile();
    s.monitorLogFile = o.getMonitorLogFile();
    s.ipcLogFile = clusterObject().getIPCLogfile();
    s.userGroup = o.getNTIUserGroup();
    s.mail.errMessageEmailTo = o.getErrMessageEmailTo();
    s.mail.emailErrorsEnabled = o.isEmailErrorsEnabled();
    s.mail.mailTransport = o.getMailTransport();
    s.mail.sendmailPath = o.getSendmailPath();
    s.mail.mailTempFile = o.getMailTempFile();
    s.mail.emailFromUser = o.getEmailFromUser();
    s.mail.emailFromTextName = o.getEmailFromTextName();
    s.mail.emailProfile = o.getEmailProfile();
    s.mail.emailPassword = o.getEmailPassword();
    reporter_platform::publishSettings(std::move(s));
}

// Built before main as well, so that the first report never builds them.
[[maybe_unused]] const bool builtAtStart = (optionsObject(), clusterObject(), publishCoreSettings(), true);

}  // namespace

const bv_options& globalOptions() { return optionsObject(); }
const bv_clusteroptions& globalCluster() { return clusterObject(); }

void initProcess() {
    enableLowFragmentationHeap(nullptr, false);  // the result is of no use here
    resetGlobalOptions();
}

void resetGlobalOptions() {
    optionsObject().setDefaults();
    clusterObject().setDefaults();
    publishCoreSettings();
}

std::pair<std::string, std::string> switchStandaloneCluster(const bv_options& options,
                                                            const bv_clusteroptions& cluster) {
    NARROW_CHAR_PAL::MutexLock lock(getGlobalCriticalSection());  // unlocked on every way out
    std::pair<std::string, std::string> modes;
    bool wasEnabled = clusterObject().isEnabled();
    optionsObject().copyFrom(options);
    clusterObject().copyFrom(cluster);
    publishCoreSettings();
    bool nowEnabled = clusterObject().isEnabled();
    if (nowEnabled != wasEnabled) {
        modes = nowEnabled ? std::make_pair(std::string("standalone"), std::string("cluster"))
                           : std::make_pair(std::string("cluster"), std::string("standalone"));
    }
    return modes;
}

}  // namespace brenvik
