#include "support/process_state.h"

#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "common/mmapfile_guard.h"
#include "common/system_calls.h"
#include "config/global_options.h"

extern char** environ;

namespace tarvex_test {
namespace {

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> entries;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) entries.emplace_back(*e);
    std::sort(entries.begin(), entries.end());
    return entries;
}

std::string currentWorkingFolder() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string("(none)");
}

mode_t currentUmask() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

std::vector<std::pair<int, struct sigaction>> signalActions() {
    std::vector<std::pair<int, struct sigaction>> actions;
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction action;
        if (sigaction(sig, nullptr, &action) == 0) actions.emplace_back(sig, action);
    }
    return actions;
}

std::string actionText(int sig, const struct sigaction& action) {
    const bool info = (action.sa_flags & SA_SIGINFO) != 0;
    const void* handler =
        info ? reinterpret_cast<void*>(action.sa_sigaction) : reinterpret_cast<void*>(action.sa_handler);
    char text[128];
    if (!info && (action.sa_handler == SIG_DFL || action.sa_handler == SIG_IGN)) {
        // The flags of a default or ignored signal change nothing.
        std::snprintf(text, sizeof text, "%d (%s): %s", sig, strsignal(sig),
                      action.sa_handler == SIG_DFL ? "default" : "ignored");
        return text;
    }
    // The C library adds the kernel's SA_RESTORER flag to whatever it
    // installs: not a choice of the code under test.
    constexpr unsigned kRestorer = 0x04000000;
    std::snprintf(text, sizeof text, "%d (%s): handler %p, flags %#x", sig, strsignal(sig), handler,
                  static_cast<unsigned>(action.sa_flags) & ~kRestorer);
    return text;
}

std::vector<std::string> actionTexts(const std::vector<std::pair<int, struct sigaction>>& actions) {
    std::vector<std::string> texts;
    for (const auto& [sig, action] : actions) texts.push_back(actionText(sig, action));
    return texts;
}

std::vector<int> currentBlockedSignals() {
    sigset_t mask;
    sigemptyset(&mask);
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    std::vector<int> blocked;
    for (int sig = 1; sig < NSIG; ++sig)
        if (sigismember(&mask, sig) == 1) blocked.push_back(sig);
    return blocked;
}

std::string signalList(const std::vector<int>& signals) {
    std::string text;
    for (int sig : signals) text += (text.empty() ? "" : " ") + std::to_string(sig);
    return text;
}

void addProperties(std::vector<std::string>& lines, const char* section, const brenvik::bv_customproperty& p) {
    lines.push_back(std::string(section) + " header: " + p.getHeader());
    for (int i = 0; i < p.getNumberOfProperties(); ++i)
        lines.push_back(std::string(section) + " line: " + p.getPropertyName(i) + p.getPropertySeparator(i) +
                        p.getPropertyValue(i));
}

std::vector<std::string> currentOptions() {
    const brenvik::bv_options& o = brenvik::globalOptions();
    const brenvik::bv_clusteroptions& c = brenvik::globalCluster();
    std::vector<std::string> lines = {
        "ErrorLogFile " + o.getErrorLogFile(),
        "MonitorLogFile " + o.getMonitorLogFile(),
        "TarvexControlFile " + o.getTarvexControlFile(),
        "TarvexNodeControlFile " + o.getTarvexNodeControlFile(),
        "Vmemory " + std::to_string(o.getVmemory()),
        "TarvexJobIdFile " + o.getTarvexJobIdFile(),
        "SeqFetchJobIdFile " + o.seqFetchJobIdFile(),
        "UniqueJobStartNumber " + std::to_string(o.getUniqueJobStartNumber()),
        "NTMonitorGroup " + o.getNTMonitorGroup(),
        "NTIUserGroup " + o.getNTIUserGroup(),
        "proxy " + o.getProxyServer() + " " + o.getProxyUsername() + " " + o.getProxyPassword(),
        "MailTransport " + std::to_string(o.getMailTransport()),
        "ErrMessageEmailTo " + o.getErrMessageEmailTo(),
        "EmailErrorsEnabled " + std::to_string(o.isEmailErrorsEnabled()),
        "EmailFrom " + o.getEmailFromTextName() + " " + o.getEmailFromUser() + " " + o.getEmailPassword() + " " +
            o.getEmailProfile(),
        "InterFileBasePath " + o.getInterFileBasePath(),
        "MailTempFile " + o.getMailTempFile(),
        "sendmailPath " + o.getSendmailPath(),
        "Options available " + std::to_string(o.isSectionAvailable()),
        "Cluster enabled " + std::to_string(c.isEnabled()),
        "Cluster node " + std::to_string(c.getNodeIndex()),
        "Cluster IPC " + c.getIPCLogfile() + " " + std::to_string(c.getIPCLogging()) + " " +
            std::to_string(c.getIPCTimeout()),
        "Cluster available " + std::to_string(c.isSectionAvailable()),
    };
    addProperties(lines, "Options", o);
    addProperties(lines, "Cluster", c);
    return lines;
}

// Files whose code is mapped into the process: a module the loader opened
// keeps its descriptor for as long as its code stays loaded, which is the life
// of the process, like the code itself.
std::set<std::string> loadedCodeFiles() {
    std::set<std::string> files;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range, permissions, offset, device, inode, path;
        fields >> range >> permissions >> offset >> device >> inode;
        std::getline(fields >> std::ws, path);
        if (permissions.size() > 2 && permissions[2] == 'x' && !path.empty() && path[0] == '/') files.insert(path);
    }
    return files;
}

std::vector<std::string> currentDescriptors() {
    const std::set<std::string> code = loadedCodeFiles();
    std::vector<std::string> texts;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return texts;
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd == own) continue;
        char target[PATH_MAX];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n >= 0 && code.count(std::string(target, static_cast<size_t>(n)))) continue;
        texts.push_back(std::to_string(fd) + " -> " + (n >= 0 ? std::string(target, static_cast<size_t>(n)) : "?"));
    }
    closedir(dir);
    std::sort(texts.begin(), texts.end());
    return texts;
}

// Lines of `before` missing from `after` as "- ...", new ones as "+ ...".
void listChanges(std::vector<std::string>& out, const char* what, const std::vector<std::string>& before,
                 const std::vector<std::string>& after) {
    std::vector<std::string> a = before, b = after;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    std::vector<std::string> gone, added;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(gone));
    std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(added));
    for (const std::string& s : gone) out.push_back(std::string(what) + " - " + s);
    for (const std::string& s : added) out.push_back(std::string(what) + " + " + s);
}

void failFor(const char* where, const std::vector<std::string>& changes) {
    if (changes.empty()) return;
    std::string text = std::string(where) + " left the process changed:";
    for (const std::string& c : changes) text += "\n  " + c;
    ADD_FAILURE() << text;
}

}  // namespace

ProcessState ProcessState::capture() {
    ProcessState s;
    s.environment = currentEnvironment();
    s.workingFolder = currentWorkingFolder();
    s.umask = currentUmask();
    s.actions = signalActions();
    s.blockedSignals = currentBlockedSignals();
    s.reporter = ReporterState::capture();
    s.options = currentOptions();
    s.optionsCopy = std::make_shared<brenvik::bv_options>(brenvik::globalOptions());
    s.clusterCopy = std::make_shared<brenvik::bv_clusteroptions>(brenvik::globalCluster());
    s.descriptors = currentDescriptors();
    s.fileCalls = systemCalls();
    return s;
}

std::vector<std::string> ProcessState::changesSince(const ProcessState& before) const {
    std::vector<std::string> changes;
    listChanges(changes, "environment", before.environment, environment);
    if (workingFolder != before.workingFolder)
        changes.push_back("working folder " + before.workingFolder + " -> " + workingFolder);
    if (umask != before.umask) {
        char text[64];
        std::snprintf(text, sizeof text, "umask %03o -> %03o", static_cast<unsigned>(before.umask),
                      static_cast<unsigned>(umask));
        changes.emplace_back(text);
    }
    listChanges(changes, "signal", actionTexts(before.actions), actionTexts(actions));
    if (blockedSignals != before.blockedSignals)
        changes.push_back("blocked signals [" + signalList(before.blockedSignals) + "] -> [" +
                          signalList(blockedSignals) + "]");
    if (!(reporter == before.reporter)) changes.emplace_back("error reporter switches");
    const size_t named = changes.size();
    listChanges(changes, "options", before.options, options);
    // The lines name the values tests usually change; any other one is seen
    // by comparing the whole sections.
    if (changes.size() == named && optionsCopy && before.optionsCopy && clusterCopy && before.clusterCopy &&
        !(*optionsCopy == *before.optionsCopy && *clusterCopy == *before.clusterCopy))
        changes.emplace_back("options: a value of the process-wide Options or Cluster section");
    listChanges(changes, "descriptor", before.descriptors, descriptors);
    // A table of function pointers only: equal bytes, equal calls.
    if (std::memcmp(&fileCalls, &before.fileCalls, sizeof fileCalls) != 0)
        changes.emplace_back("a system call of systemCalls() left replaced");
    return changes;
}

void ProcessState::restore() const {
    clearenv();
    for (const std::string& entry : environment) {
        const size_t eq = entry.find('=');
        if (eq != std::string::npos) setenv(entry.substr(0, eq).c_str(), entry.c_str() + eq + 1, 1);
    }
    if (chdir(workingFolder.c_str()) != 0) {
        // The folder is gone: nothing to go back to.
    }
    ::umask(umask);
    for (const auto& [sig, action] : actions) sigaction(sig, &action, nullptr);
    sigset_t mask;
    sigemptyset(&mask);
    for (int sig : blockedSignals) sigaddset(&mask, sig);
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    if (optionsCopy && clusterCopy) brenvik::switchStandaloneCluster(*optionsCopy, *clusterCopy);
    reporter.restore();
    systemCalls() = fileCalls;
}

void ProcessStateListener::OnTestProgramStart(const ::testing::UnitTest&) {
    // The mapped-file code's SIGBUS handler, installed with the first
    // guarded view.
    static const char view[1] = {0};
    mmap_guard::guardReadOnlyMapping(view, sizeof view);
    mmap_guard::unguardReadOnlyMapping(view);
}

void ProcessStateListener::OnTestSuiteStart(const ::testing::TestSuite&) { suiteStart_ = ProcessState::capture(); }

void ProcessStateListener::OnTestStart(const ::testing::TestInfo&) { testStart_ = ProcessState::capture(); }

void ProcessStateListener::OnTestEnd(const ::testing::TestInfo&) {
    const std::vector<std::string> changes = ProcessState::capture().changesSince(testStart_);
    failFor("this test", changes);
    if (!changes.empty()) testStart_.restore();
}

void ProcessStateListener::OnTestSuiteEnd(const ::testing::TestSuite& suite) {
    const std::vector<std::string> changes = ProcessState::capture().changesSince(suiteStart_);
    failFor((std::string("test suite ") + suite.name()).c_str(), changes);
    if (!changes.empty()) suiteStart_.restore();
}

}  // namespace tarvex_test
