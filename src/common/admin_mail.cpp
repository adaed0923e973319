#include "common/admin_mail.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/error_reporter.h"
#include "common/file_utils.h"
#include "common/io_utils.h"
#include "common/system_calls.h"

namespace admin_mail {

namespace {

// Report positions of this module ("mailit"). Those marked "new" are this code's
// own (no earlier version reported there); the others are the established ones.
constexpr int kLineUnsupported = 258;  // M604
constexpr int kLineMapiFailed = 411;  // M65
constexpr int kLineMailFilePipe = 478;  // M322
constexpr int kLineMailFileProgram = 546;  // M322
const char* const DISPLAY_NAME = "Tarvex administrator";
// The From display name keeps at most 254 characters (a 256-byte copy).
constexpr std::size_t DISPLAY_NAME_LIMIT = 254;

std::string withoutAngleBrackets(const std::string& text, std::size_t limit) {
    std::string out;
    for (char c : text) {
        if (out.size() >= limit) break;
        if (c != '<' && c != '>') out += c;
    }
    return out;
}

// Writes the mail file under a unique name made from the MailTempFile
// template (0600, ".XXXXXX" added when the template does not end in six X).
// On failure reports M322 from the given source line and returns false.
bool writeMailFile(const reporter_platform::MailSettings& settings, const std::string& address,
                   const std::string& subject, const std::string& mailText, int reportLine, std::string& fileName) {
    std::string configured = settings.mailTempFile;
    if (configured.size() < 6 || configured.compare(configured.size() - 6, 6, "XXXXXX") != 0)
        configured += ".XXXXXX";
    const std::string pattern = osPath(configured);
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd >= 0 && fd <= 2) {
        // Never on standard input, output or error: they belong to the request.
        fd = moveOffStandardStreams(fd);
        if (fd < 0) ::unlink(name.data());
    } else if (fd >= 0) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    // A failed mkstemp may leave the template half-changed: name the template
    // as configured.
    fileName = fd >= 0 ? std::string(name.data()) : configured;
    bool ok = fd >= 0 && fileWriteAll(fd, mailFileContent(settings, DISPLAY_NAME, address, subject, mailText));
    if (fd >= 0) {
        if (::close(fd) != 0) ok = false;
        if (!ok) ::unlink(fileName.c_str());
    }
    if (!ok) errorReporter.report(322, -1, reportLine, "mailit", fileName);
    return ok;
}

}  // namespace

std::string subjectLine() {
    return "Serious problem on Tarvex server " + reporter_platform::computerName() + " - urgent";
}

std::string mailFileContent(const reporter_platform::MailSettings& settings, const std::string& displayName,
                            const std::string& address, const std::string& subject, const std::string& mailText) {
    std::string out = "To: " + displayName + " <" + address + ">\n";
    out += "Subject: " + subject + "\n";
    if (!settings.emailFromTextName.empty())
        out += "From: " + withoutAngleBrackets(settings.emailFromTextName, DISPLAY_NAME_LIMIT) + " <" +
               settings.emailFromUser + ">\n";
    else
        out += "From: " + settings.emailFromUser + "\n";
    out += mailText + "\n";
    out += ".\n";
    return out;
}

std::string shellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += "'";
    return out;
}

int runMailCommand(const std::string& commandLine) {
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        // The CGI reply on standard output and the POST body on standard
        // input belong to the request: the mail program sees neither.
        int null = systemCalls().open("/dev/null", O_RDWR, 0);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            if (null > 2) ::close(null);
        }
        ::closefrom(3);
        ::signal(SIGPIPE, SIG_DFL);
        ::execl("/bin/sh", "sh", "-c", commandLine.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int sendMailUnsupported(const std::string&, const std::string&, const std::string&) {
    errorReporter.report(604, -1, kLineUnsupported, "mailit");
    return 0;
}

int sendMailMapi(const std::string&, const std::string&, const std::string&, const std::string&) {
    // There is no MAPI on this platform: the transport fails as when its
    // library cannot be loaded.
    errorReporter.report(65, -1, kLineMapiFailed, "mailit");
    return 0;
}

int sendMailPipe(const reporter_platform::MailSettings& settings, const std::string&, const std::string& address,
                 const std::string& mailText, const std::string& subject) {
    std::string fileName;
    if (!writeMailFile(settings, address, subject, mailText, kLineMailFilePipe, fileName)) return 0;
    // sendmailPath is inserted as written: it may carry options.
    runMailCommand(settings.sendmailPath + " " + shellQuote(address) + " < " + shellQuote(fileName));
    ::unlink(fileName.c_str());
    return 1;
}

int sendMailByProgram(const reporter_platform::MailSettings& settings, const std::string&,
                      const std::string& address, const std::string& mailText, const std::string& subject) {
    std::string fileName;
    if (!writeMailFile(settings, address, subject, mailText, kLineMailFileProgram, fileName)) return 0;
    runMailCommand(settings.sendmailPath + " " + shellQuote(fileName) + " -to " + shellQuote(address) +
                   " -subject " + shellQuote(subject) + " -from " + shellQuote(settings.emailFromUser));
    ::unlink(fileName.c_str());
    return 1;
}

}  // namespace admin_mail

int mailAdministrator(const std::string& mailText) {
    using namespace admin_mail;
    const reporter_platform::MailSettings settings = reporter_platform::mailSettings();
    if (settings.errMessageEmailTo.empty() || !settings.emailErrorsEnabled) return 0;
    const std::string subject = subjectLine();
    const std::string& to = settings.errMessageEmailTo;
    switch (settings.mailTransport) {
    case 0: return sendMailUnsupported(DISPLAY_NAME, to, mailText);
    case 1: return sendMailMapi(DISPLAY_NAME, to, mailText, subject);
    case 2: return sendMailPipe(settings, DISPLAY_NAME, to, mailText, subject);
    case 3: return sendMailByProgram(settings, DISPLAY_NAME, to, mailText, subject);
    default: return 0;
    }
}
