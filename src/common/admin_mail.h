#pragma once
// Administrator alert mail: the error reporter hands over the text of a
// message whose kind asks for the administrator to be told. The transport
// comes from the MailTransport setting: 0 is no longer supported, 1 (MAPI)
// does not exist on this platform, 2 pipes a mail file into the mail program,
// 3 passes the mail file and the addresses as arguments. Failures are
// reported as messages that are never mailed themselves, so no mail loop.
#include <string>

#include "common/reporter_platform.h"

// 1 when a transport took the mail, 0 otherwise.
int mailAdministrator(const std::string& mailText);

namespace admin_mail {

std::string subjectLine();
// The mail file's content for transports 2 and 3.
std::string mailFileContent(const reporter_platform::MailSettings& settings, const std::string& displayName,
                            const std::string& address, const std::string& subject, const std::string& mailText);
// The text in single quotes for /bin/sh, every ' written as '\''.
std::string shellQuote(const std::string& text);

int sendMailUnsupported(const std::string& displayName, const std::string& address, const std::string& mailText);
int sendMailMapi(const std::string& displayName, const std::string& address, const std::string& mailText,
                 const std::string& subject);
int sendMailPipe(const reporter_platform::MailSettings& settings, const std::string& displayName,
                 const std::string& address, const std::string& mailText, const std::string& subject);
int sendMailByProgram(const reporter_platform::MailSettings& settings, const std::string& displayName,
                      const std::string& address, const std::string& mailText, const std::string& subject);

// Runs the line through /bin/sh -c with standard input, output and error on
// /dev/null and waits for it; the exit status, or -1.
int runMailCommand(const std::string& commandLine);

}  // namespace admin_mail
