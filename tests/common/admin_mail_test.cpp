#include "common/admin_mail.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "common/error_reporter.h"
#include "config/global_options.h"
#include "log_fixture.h"

namespace {

using tarvex_test::LogFolderTest;
using tarvex_test::maskTimes;
using tarvex_test::readFile;
using tarvex_test::writeFile;

// A stand-in mail program: records its arguments, one per line, and its
// standard input.
class AdminMailTest : public LogFolderTest {
protected:
    void SetUp() override {
        LogFolderTest::SetUp();
        program = dir.file("bin/fake mail");
        writeFile(program,
                  "#!/bin/sh\n"
                  "out=\"$(dirname \"$0\")/../record\"\n"
                  ": > \"$out.args\"\n"
                  "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$out.args\"; done\n"
                  "cat > \"$out.stdin\"\n"
                  "if [ -f \"$1\" ]; then cp \"$1\" \"$out.file\"; fi\n"
                  "echo noise; echo noise >&2\n");
        chmod(program.c_str(), 0755);
        mkdir(dir.file("tmp").c_str(), 0777);
        options.copyFrom(brenvik::globalOptions());
        options.setEmailErrorsEnabled(true);
        options.setErrMessageEmailTo("admin@example.org");
        options.setEmailFromUser("tarvex@example.org");
        options.setEmailFromTextName("Tarvex <server>");
        options.setMailTempFile(dir.file("tmp/MXXXXXX"));
        options.setSendmailPath(shellQuoted(program));
    }
    void TearDown() override {
        brenvik::resetGlobalOptions();
        LogFolderTest::TearDown();
    }
    void publish() { brenvik::switchStandaloneCluster(options, brenvik::globalCluster()); }
    static std::string shellQuoted(const std::string& s) { return admin_mail::shellQuote(s); }
    std::string recorded(const char* what) { return readOrEmpty(dir.file(std::string("record.") + what)); }
    bool tmpIsEmpty() { return std::filesystem::is_empty(dir.file("tmp")); }

    std::string program;
    brenvik::bv_options options;
};

std::string expectedMailFile(const std::string& body) {
    return "To: Tarvex administrator <admin@example.org>\n"
           "Subject: " + admin_mail::subjectLine() + "\n"
           "From: Tarvex server <tarvex@example.org>\n" + body + "\n.\n";
}

TEST_F(AdminMailTest, PipeTransportFeedsTheFileOnStandardInput) {
    options.setMailTransport(2);
    publish();
    EXPECT_EQ(mailAdministrator("the text"), 1);
    EXPECT_EQ(recorded("args"), "admin@example.org\n");
    EXPECT_EQ(recorded("stdin"), expectedMailFile("the text"));
    EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(AdminMailTest, ProgramTransportPassesFileAndAddresses) {
    options.setMailTransport(3);
    options.setEmailFromUser("o'brien@example.org");
    publish();
    EXPECT_EQ(mailAdministrator("body"), 1);
    const std::string args = recorded("args");
    const std::string file = args.substr(0, args.find('\n'));
    EXPECT_EQ(file.rfind(dir.file("tmp/M"), 0), 0u) << file;  // slashes kept
    EXPECT_EQ(args, file + "\n-to\nadmin@example.org\n-subject\n" + admin_mail::subjectLine() +
                        "\n-from\no'brien@example.org\n");
    EXPECT_EQ(recorded("stdin"), "");
    EXPECT_EQ(recorded("file"),
              "To: Tarvex administrator <admin@example.org>\nSubject: " + admin_mail::subjectLine() +
                  "\nFrom: Tarvex server <o'brien@example.org>\nbody\n.\n");
    EXPECT_FALSE(tarvex_test::pathExists(file));
}

TEST_F(AdminMailTest, FailuresAreReportedAndNotMailed) {
    struct Case {
        int transport;
        const char* expectLog;
    } cases[] = {{0, "   - CMC is not supported any more to send mails.\n"},
                 {1, "   - Failed to open the MAPI DLL\n"},
                 {5, nullptr}};
    for (const Case& c : cases) {
        unlink(dir.file("logs/errorlog.txt").c_str());
        options.setMailTransport(c.transport);
        publish();
        EXPECT_EQ(mailAdministrator("x"), 0) << c.transport;
        if (c.expectLog)
            EXPECT_NE(errorLog().find(c.expectLog), std::string::npos) << errorLog();
        else
            EXPECT_EQ(errorLog(), "");
    }
    EXPECT_EQ(recorded("args"), "");
}

TEST_F(AdminMailTest, UnwritableMailFolder) {
    // The message names the template as configured, backslashes included.
    const std::string templates[] = {dir.file("missing/mail"), dir.file("missing") + "\\mail"};
    options.setMailTransport(2);
    for (const std::string& tmpl : templates) {
        SCOPED_TRACE(tmpl);
        unlink(dir.file("logs/errorlog.txt").c_str());
        options.setMailTempFile(tmpl);
        publish();
        EXPECT_EQ(mailAdministrator("x"), 0);
        EXPECT_NE(errorLog().find("Error [M00322 - Job -1 - X00478:mailit]"), std::string::npos);
        EXPECT_NE(errorLog().find("   - Failed to write temporary file (" + tmpl + ".XXXXXX) for mail message\n"),
                  std::string::npos)
            << errorLog();
    }
    EXPECT_EQ(recorded("args"), "");
}

TEST_F(AdminMailTest, OffOrNoRecipientSendsNothing) {
    options.setMailTransport(2);
    options.setEmailErrorsEnabled(false);
    publish();
    EXPECT_EQ(mailAdministrator("x"), 0);
    options.setEmailErrorsEnabled(true);
    options.setErrMessageEmailTo("");
    publish();
    EXPECT_EQ(mailAdministrator("x"), 0);
    EXPECT_EQ(recorded("args"), "");
    EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(AdminMailTest, ReporterMailsKindsThatAskForIt) {
    options.setMailTransport(2);
    publish();
    CErrorReporter r;
    r.report(42, 17, 98, "bv_memlock", "prog<x>", "7");  // kind 6: mail, not on the page
    // The mail carries the text as it is; the error log escapes it.
    const std::string mail = maskTimes(recorded("stdin"));
    EXPECT_EQ(mail, expectedMailFile("Error [M0  42 - Job 17 - X  98:bv_memlock] - <time>\n\n"
                                     "Cannot spawn 'prog<x>' - error code '7'\n\n"));
    EXPECT_NE(errorLog().find("   - Cannot spawn 'prog&lt;x&gt;' - error code '7'\n"), std::string::npos);
}

// The mail program inherits no descriptor of the request: standard input,
// output and error are /dev/null, and an inheritable descriptor of the
// caller is closed.
TEST_F(AdminMailTest, MailProgramSeesNoDescriptorOfTheRequest) {
    const std::string probe = dir.file("bin/probe");
    writeFile(probe,
              "#!/bin/sh\n"
              "out=\"$(dirname \"$0\")/../record\"\n"
              "a=$(readlink /proc/$$/fd/0) b=$(readlink /proc/$$/fd/1) c=$(readlink /proc/$$/fd/2)\n"
              "printf '%s\\n%s\\n%s\\n' \"$a\" \"$b\" \"$c\" > \"$out.fds\"\n"
              "if [ -e /proc/$$/fd/$LEAK_FD ]; then echo leaked >> \"$out.fds\"; fi\n");
    chmod(probe.c_str(), 0755);
    int leak = open(dir.file("tmp").c_str(), O_RDONLY);  // inheritable on purpose
    ASSERT_GE(leak, 3);
    setenv("LEAK_FD", std::to_string(leak).c_str(), 1);
    options.setMailTransport(3);
    options.setSendmailPath(shellQuoted(probe));
    publish();
    EXPECT_EQ(mailAdministrator("x"), 1);
    close(leak);
    unsetenv("LEAK_FD");
    EXPECT_EQ(recorded("fds"), "/dev/null\n/dev/null\n/dev/null\n");
}

TEST(AdminMailText, FromLineAndQuoting) {
    reporter_platform::MailSettings s;
    s.emailFromUser = "me@x";
    s.emailFromTextName = std::string(300, 'n') + "<>";
    std::string content = admin_mail::mailFileContent(s, "D", "a@x", "S", "T");
    EXPECT_EQ(content, "To: D <a@x>\nSubject: S\nFrom: " + std::string(254, 'n') + " <me@x>\nT\n.\n");
    s.emailFromTextName.clear();
    EXPECT_EQ(admin_mail::mailFileContent(s, "D", "a@x", "S", "T"), "To: D <a@x>\nSubject: S\nFrom: me@x\nT\n.\n");
    EXPECT_EQ(admin_mail::shellQuote("a'b c"), "'a'\\''b c'");
}

}  // namespace
