#include "security/bv_session.h"

#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <netdb.h>
#include <netinet/in.h>
#include <arpa/inet.h>

#include "support/session_files.h"
#include "support/temp_dir.h"

using brenvik::bv_session;
using tarvex_test::SecurityOptionsSpec;
using tarvex_test::SessionFileSpec;
using tarvex_test::SessionTaskSpec;
using tarvex_test::TempDir;

namespace {

const char* const kCgiVariables[] = {"REMOTE_ADDR", "HTTP_COOKIE", "REMOTE_USER", "HTTP_USER_AGENT"};

// A server installation with the program folder as working folder, so that
// "../sessions/" and "../config/" resolve as they do for the programs.
class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* d : {"cgi", "config", "sessions", "logs"}) std::filesystem::create_directories(dir.file(d));
        tarvex_test::installSecuritySchema(dir.file("config"));
        oldCwd = std::filesystem::current_path();
        std::filesystem::current_path(dir.file("cgi"));
        for (const char* v : kCgiVariables) ::unsetenv(v);
    }
    void TearDown() override {
        for (const char* v : kCgiVariables) ::unsetenv(v);
        std::filesystem::current_path(oldCwd);
    }
    void security(const std::string& on, const std::string& level = "3") {
        SecurityOptionsSpec spec;
        spec.securityEnabled = on;
        spec.logLevel = level;
        tarvex_test::writeSecurityOptions(dir.file("config"), spec);
    }
    std::string sessions() { return dir.file("sessions"); }
    std::string write(const std::string& id, const SessionFileSpec& spec) {
        return tarvex_test::writeSessionFile(sessions(), id, spec);
    }
    static std::time_t mtime(const std::string& path) {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
    }

    TempDir dir{"session"};
    std::filesystem::path oldCwd;
};

SessionFileSpec typed(int userType, int userID = 20) {
    SessionFileSpec s = tarvex_test::userSession(userID, {{10, 10, {"SwissProt"}}});
    for (auto& [name, value] : s.params)
        if (name == "userType") value = std::to_string(userType);
    return s;
}

SessionFileSpec withParam(SessionFileSpec s, const std::string& name, const std::string& value) {
    for (auto& [n, v] : s.params)
        if (n == name) {
            v = value;
            return s;
        }
    s.params.emplace_back(name, value);
    return s;
}

struct Env {
    const char* remoteAddr = nullptr;
    const char* cookie = nullptr;
    const char* remoteUser = nullptr;
    const char* agent = nullptr;
};

struct Case {
    const char* what;
    const char* security;  // "true", "false", or null for no options file
    Env env;
    std::string given;
    std::vector<std::pair<std::string, SessionFileSpec>> files;
    bool valid;
    const char* message;  // part of the last error text, when not null
    std::string id;       // session ID afterwards
    int userID;
    std::vector<std::string> permitted;
    std::vector<std::string> refused;
    const char* touched = nullptr;  // the one file whose time the look-up sets
};

TEST_F(SessionTest, LookUpTable) {
    const SessionFileSpec alice = tarvex_test::userSession(7, {{10, 10, {"SwissProt"}}});
    const SessionFileSpec guest = tarvex_test::userSession(2, {{9, 0, {}}, {10, 10, {"Secret"}}});
    const char* timedOut = "Session has timed out";
    const Case cases[] = {
        {"security off, no ID", "false", {}, "", {{"con_consoleaccessx", alice}}, true, nullptr,
         "opn_unsecuredaccesskey", 0, {"AnyDB"}, {}},
        {"no options file", nullptr, {"10.0.0.1"}, "", {}, true, nullptr, "opn_unsecuredaccesskey", 0, {"x"}, {}},
        {"security off, given ID loads its file", "false", {}, "alice", {{"alice", alice}}, true, nullptr, "alice", 7,
         {"SwissProt"}, {"NCBInr", "swissprot"}, "alice"},
        {"given ID without file", "true", {"10.0.0.1"}, "bob", {}, false, timedOut, "bob", -1, {}, {"x"}},
        {"given path to the command-line session", "true", {"10.0.0.1"}, "./con_consoleaccessx",
         {{"con_consoleaccessx", alice}}, false, timedOut, "", -1, {}, {"SwissProt"}},
        {"given parent folder", "true", {}, "..", {}, false, timedOut, "", -1, {}, {}},
        {"given backslash", "true", {}, "a\\alice", {{"alice", alice}}, false, timedOut, "", -1, {}, {}},
        {"given control byte", "true", {}, std::string("alice\x01"), {{"alice", alice}}, false, timedOut, "", -1,
         {}, {}},
        {"given ID with NUL", "true", {}, std::string("alice\0x", 7), {{"alice", alice}}, false, timedOut, "", -1,
         {}, {}},
        {"cookie is decoded", "true", {"10.0.0.1", "a=1; TARVEX_SESSION=ab%43d; b=2"}, "", {{"abCd", alice}}, true,
         nullptr, "abCd", 7, {"SwissProt"}, {}, "abCd"},
        {"cookie with NUL is ignored", "true", {"10.0.0.1", "TARVEX_SESSION=con_consoleaccessx%00"}, "",
         {{"con_consoleaccessx", typed(1, 3)}, {"visit_visitortoken", guest}}, true, nullptr, "visit_visitortoken", 2,
         {"NCBInr"}, {"Secret"}},
        {"cookie with a path is ignored", "true", {"10.0.0.1", "TARVEX_SESSION=..%2Fsessions%2Falice"}, "",
         {{"alice", alice}}, false, "User is not logged in", "", -1, {}, {}},
        {"cookie not at a boundary", "true", {"10.0.0.1", "xTARVEX_SESSION=alice"}, "", {{"alice", alice}}, false,
         "User is not logged in", "", -1, {}, {}},
        {"cookie after blanks", "true", {"10.0.0.1", "a=xTARVEX_SESSION=no;  \tTARVEX_SESSION=alice"}, "",
         {{"alice", alice}}, true, nullptr, "alice", 7, {}, {}, "alice"},
        {"stale cookie falls back to guest", "true", {"10.0.0.1", "TARVEX_SESSION=gone"}, "",
         {{"visit_visitortoken", guest}}, true, nullptr, "visit_visitortoken", 2, {}, {}},
        {"command-line ID in CGI", "true", {"10.0.0.1"}, "con_consoleaccessx", {{"con_consoleaccessx", alice}}, false,
         "Cannot use command-line session while running in CGI environment.", "con_consoleaccessx", -1, {}, {}},
        {"special ID without file runs the look-up", "true", {"10.0.0.1"}, "visit_visitortoken", {}, false,
         "User is not logged in", "", -1, {}, {}},
        {"IP bound, other address", "true", {"10.0.0.10"}, "alice",
         {{"alice", withParam(withParam(alice, "verifyAddress", "true"), "ipAddress", "10.0.0.1")}}, false,
         "different ip address", "alice", 7, {}, {}},
        {"IP bound, same address", "true", {"10.0.0.1"}, "alice",
         {{"alice", withParam(withParam(alice, "verifyAddress", "true"), "ipAddress", "10.0.0.1")}}, true, nullptr,
         "alice", 7, {}, {}, "alice"},
        {"IP check needs exactly true", "true", {"10.0.0.10"}, "alice",
         {{"alice", withParam(withParam(alice, "verifyAddress", "True"), "ipAddress", "10.0.0.1")}}, true, nullptr,
         "alice", 7, {}, {}, "alice"},
        {"IP bound, no REMOTE_ADDR", "true", {}, "alice",
         {{"alice", withParam(withParam(alice, "verifyAddress", "true"), "ipAddress", "10.0.0.1")}}, false,
         "different ip address", "alice", 7, {}, {}},
        {"IP bound with line breaks around true", "true", {"10.0.0.10"}, "alice",
         {{"alice", withParam(withParam(alice, "verifyAddress", "\r\n\t true \n"), "ipAddress", "10.0.0.1")}}, false,
         "different ip address", "alice", 7, {}, {}},
        {"web-server login found", "true", {"10.0.0.1", nullptr, "DOMAIN\\alice"}, "",
         {{"alice_webserverauth", typed(6)}}, true, nullptr, "alice_webserverauth", 20, {"SwissProt"}, {}},
        {"forged cookie for a web-server login", "true", {"10.0.0.1", "TARVEX_SESSION=alice_webserverauth", "mallory"},
         "", {{"alice_webserverauth", typed(6)}}, false, "logged into the web server as mallory", "alice_webserverauth",
         20, {}, {}},
        {"given web-server login without REMOTE_USER", "true", {"10.0.0.1"}, "alice_webserverauth",
         {{"alice_webserverauth", typed(6)}}, false, "logged into the web server as ", "alice_webserverauth", 20, {},
         {}},
        {"REMOTE_USER with a path", "true", {"10.0.0.1", nullptr, "../sessions/alice"}, "",
         {{"alice", alice}}, false, "User is not logged in", "", -1, {}, {}},
        {"computer session by address", "true", {"10.1.2.3"}, "", {{"10.1.2.3_computeripaddress", typed(3)}}, true,
         nullptr, "10.1.2.3_computeripaddress", 20, {}, {}},
        {"computer session given from another computer", "true", {"10.9.9.9"}, "10.1.2.3_computeripaddress",
         {{"10.1.2.3_computeripaddress", typed(3)}}, false, "from computer with ip address 10.9.9.9",
         "10.1.2.3_computeripaddress", 20, {}, {}},
        {"forged cookie for a computer session", "true", {"10.9.9.9", "TARVEX_SESSION=10.1.2.3_computeripaddress"}, "",
         {{"10.1.2.3_computeripaddress", typed(4)}}, false, "from computer with ip address 10.9.9.9",
         "10.1.2.3_computeripaddress", 20, {}, {}},
        {"REMOTE_ADDR with a path finds no computer session", "true", {"../sessions/x"}, "",
         {{"x_computeripaddress", typed(3)}}, false, "User is not logged in", "", -1, {}, {}},
        {"browser session found", "true", {"10.0.0.1", nullptr, nullptr, "Mozilla/5.0 Firefox/99"}, "",
         {{"Chrome_agentstring", typed(5, 1)}, {"Firefox_agentstring", typed(5, 2)}}, true, nullptr,
         "Firefox_agentstring", 2, {}, {}},
        {"first browser match in byte order", "true", {"10.0.0.1", nullptr, nullptr, "Mozilla/5.0 Firefox/99"}, "",
         {{"Mozilla_agentstring", typed(5, 1)}, {"Firefox_agentstring", typed(5, 2)}}, true, nullptr,
         "Firefox_agentstring", 2, {}, {}},
        {"IPv6 computer session", "true", {"fe80::1"}, "", {{"fe80::1_computeripaddress", typed(3)}}, true, nullptr,
         "fe80::1_computeripaddress", 20, {}, {}},
        {"browser session with empty part matches all", "true", {"10.0.0.1", nullptr, nullptr, "curl/8"}, "",
         {{"_agentstring", typed(5, 4)}}, true, nullptr, "_agentstring", 4, {}, {}},
        {"browser session given to another browser", "true", {"10.0.0.1", nullptr, nullptr, "Mozilla/5.0 Firefox/99"},
         "Chrome_agentstring", {{"Chrome_agentstring", typed(5, 1)}, {"Firefox_agentstring", typed(5, 2)}}, false,
         "when agent string is actually Mozilla/5.0 Firefox/99", "Chrome_agentstring", 1, {}, {}},
        {"security flag off only for exactly false", "true", {}, "alice",
         {{"alice", withParam(alice, "securityEnabled", "False")}}, true, nullptr, "alice", 7, {"SwissProt"},
         {"NCBInr"}, "alice"},
        {"security flag false permits all", "true", {}, "alice",
         {{"alice", withParam(alice, "securityEnabled", "false")}}, true, nullptr, "alice", 7, {"SwissProt", "NCBInr"},
         {}, "alice"},
        {"user 3 may search everything", "true", {}, "admin", {{"admin", tarvex_test::userSession(3)}}, true, nullptr,
         "admin", 3, {"Any"}, {}, "admin"},
        {"no tasks, nothing permitted", "true", {}, "carol", {{"carol", tarvex_test::userSession(8)}}, true, nullptr,
         "carol", 8, {}, {"SwissProt"}, "carol"},
        {"application-server ID without an at sign", "true", {}, "nope_1", {{"nope_1", typed(2)}}, false, timedOut,
         "nope_1", 20, {}, {}},
        {"huge user ID is clamped", "true", {}, "big", {{"big", withParam(alice, "userID", "99999999999")}}, true,
         nullptr, "big", 2147483647, {}, {}, "big"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(sessions());
        std::filesystem::create_directories(sessions());
        std::filesystem::remove(dir.file("config/security_options.xml"));
        if (c.security) security(c.security);
        const std::time_t old = std::time(nullptr) - 1000;
        for (const auto& [id, spec] : c.files) tarvex_test::setModificationTime(write(id, spec), old);
        const char* values[] = {c.env.remoteAddr, c.env.cookie, c.env.remoteUser, c.env.agent};
        for (int i = 0; i < 4; ++i) {
            if (values[i]) ::setenv(kCgiVariables[i], values[i], 1);
            else ::unsetenv(kCgiVariables[i]);
        }
        bv_session s(c.given);
        EXPECT_EQ(s.isValid(), c.valid) << s.getLastErrorString();
        if (c.message) {
            EXPECT_NE(s.getLastErrorString().find(c.message), std::string::npos) << s.getLastErrorString();
        }
        EXPECT_EQ(s.getSessionID(), c.id);
        EXPECT_EQ(s.getUserID(), c.userID);
        for (const std::string& db : c.permitted) EXPECT_TRUE(s.isDatabasePermitted(db)) << db;
        for (const std::string& db : c.refused) EXPECT_FALSE(s.isDatabasePermitted(db)) << db;
        for (const auto& [id, spec] : c.files) {
            const bool touched = c.touched && id == c.touched;
            EXPECT_TRUE(std::filesystem::exists(sessions() + "/" + id)) << id;  // never removed
            EXPECT_EQ(mtime(sessions() + "/" + id) > old, touched) << id;
        }
    }
}

TEST_F(SessionTest, ValidityDoesNotDependOnTheLogLevel) {
    security("true", "0");
    ::setenv("REMOTE_ADDR", "10.0.0.10", 1);
    write("bound", withParam(withParam(tarvex_test::userSession(5), "verifyAddress", "true"), "ipAddress", "10.0.0.1"));
    write("old", withParam(tarvex_test::userSession(5), "timeout", "10"));
    tarvex_test::setModificationTime(sessions() + "/old", std::time(nullptr) - 1000);
    write("c1@srv_7", typed(2));  // the options name a port where nothing listens
    EXPECT_FALSE(bv_session("missing").isValid());
    EXPECT_FALSE(bv_session("bound").isValid());
    EXPECT_FALSE(bv_session("").isValid());  // nobody logged in
    EXPECT_FALSE(bv_session("old").isValid());
    EXPECT_FALSE(bv_session("c1@srv_7").isValid());
}

TEST_F(SessionTest, MessagesGoToTheSecurityLog) {
    security("true");
    ::setenv("REMOTE_ADDR", "10.0.0.7", 1);
    bv_session s("nobody");
    EXPECT_FALSE(s.isValid());
    std::string log = tarvex_test::readFile(dir.file("logs/security.log"));
    EXPECT_EQ(log.rfind("Date, IP_address, Error_number, Severity, session_name, user_id, message", 0), 0u) << log;
    EXPECT_NE(log.find("\"10.0.0.7\",4357,1,\"\",-1,\"Session has timed out\""), std::string::npos) << log;

    // At the debug level the look-up traces its steps, an empty cookie value included.
    security("true", "6");
    ::setenv("HTTP_COOKIE", "TARVEX_SESSION=; b=2", 1);
    bv_session traced("");
    EXPECT_FALSE(traced.isValid());
    log = tarvex_test::readFile(dir.file("logs/security.log"));
    EXPECT_NE(log.find(",4912,6,\"\",-1,\"Called bv_session::bv_session()\""), std::string::npos) << log;
    EXPECT_NE(log.find(",4913,6,\"\",-1,\"Cookie from bv_session::bv_session() = \""), std::string::npos) << log;
    EXPECT_NE(log.find(",4360,1,\"\",-1,\"User is not logged in"), std::string::npos) << log;
}

TEST_F(SessionTest, ExpiryAtTheEdgeAndTheTouch) {
    security("true");
    const SessionFileSpec spec = withParam(withParam(tarvex_test::userSession(5), "timeout", "3600"), "lastAccessed", "1000");
    for (int age : {3600, 3601}) {
        SCOPED_TRACE(age);
        // Retry when the clock ticks between set-up and check.
        for (int attempt = 0; attempt < 5; ++attempt) {
            std::string path = write("timed", spec);
            std::time_t now = std::time(nullptr);
            tarvex_test::setModificationTime(path, now - age);
            bv_session s("timed");
            if (std::time(nullptr) != now) continue;
            if (age == 3600) {
                EXPECT_TRUE(s.isValid()) << s.getLastErrorString();
                EXPECT_GE(mtime(path), now);  // touched
            } else {
                EXPECT_FALSE(s.isValid());
                EXPECT_EQ(s.getLastErrorString(), "Session has timed out");
                EXPECT_EQ(mtime(path), now - age);  // not touched
            }
            break;
        }
    }
}

TEST_F(SessionTest, SpecialAndAutomaticSessionsAreNeverTouchedOrExpired) {
    security("true");
    const std::time_t old = std::time(nullptr) - 100000;
    ::setenv("REMOTE_ADDR", "10.1.2.3", 1);
    std::string computer = write("10.1.2.3_computeripaddress", withParam(typed(3), "timeout", "10"));
    tarvex_test::setModificationTime(computer, old);
    bv_session a("");
    EXPECT_TRUE(a.isValid()) << a.getLastErrorString();
    EXPECT_EQ(mtime(computer), old);
    EXPECT_FALSE(a.setParam("x", "y"));
    EXPECT_EQ(a.getLastError(), 4362);

    ::unsetenv("REMOTE_ADDR");
    std::string guest = write("visit_visitortoken", withParam(tarvex_test::userSession(2), "timeout", "10"));
    tarvex_test::setModificationTime(guest, old);
    bv_session g("visit_visitortoken");
    EXPECT_TRUE(g.isValid()) << g.getLastErrorString();
    EXPECT_EQ(mtime(guest), old);
    EXPECT_FALSE(g.setParam("x", "y"));
    EXPECT_EQ(g.getLastError(), 4362);
    EXPECT_EQ(tarvex_test::readFile(guest), tarvex_test::sessionFileXml(withParam(tarvex_test::userSession(2), "timeout", "10")));
}

TEST_F(SessionTest, FailedApplicationServerLoginIsNotTouched) {
    security("true");
    const std::time_t old = std::time(nullptr) - 1000;
    std::string path = write("c1@srv_7", typed(2));
    tarvex_test::setModificationTime(path, old);
    bv_session s("c1@srv_7");  // the options name a port where nothing listens
    EXPECT_FALSE(s.isValid());
    EXPECT_EQ(mtime(path), old);
}

TEST_F(SessionTest, CommandLineSessionIsCreatedWhenSecurityIsOn) {
    security("true");
    bv_session s("");
    ASSERT_TRUE(s.isValid()) << s.getLastErrorString();
    EXPECT_EQ(s.getSessionID(), "con_consoleaccessx");
    EXPECT_EQ(s.getUserID(), 3);
    EXPECT_TRUE(s.isDatabasePermitted("Anything"));
    std::string text = tarvex_test::readFile(sessions() + "/con_consoleaccessx");
    const std::string ns = "http://www.tarvex.example/xmlns/schema/tarvex_security_1_0";
    EXPECT_EQ(text,
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\r\n"
              "<bvs:security_session xmlns:bvs=\"" + ns + "\" majorVersion=\"1\" minorVersion=\"1\" "
              "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
              "xsi:schemaLocation=\"" + ns + " ../config/tarvex_security_1_0.xsd\">\r\n"
                  "\r\n"
                  "  <bvs:session_data>\r\n"
                  "    <bvs:emailAddress>no_email_address</bvs:emailAddress>\r\n"
                  "    <bvs:fullUserName>Commandline application</bvs:fullUserName>\r\n"
                  "    <bvs:ipAddress>UNKNOWN</bvs:ipAddress>\r\n"
                  "    <bvs:lastAccessed>0</bvs:lastAccessed>\r\n"
                  "    <bvs:securityEnabled>true</bvs:securityEnabled>\r\n"
                  "    <bvs:timeout>0</bvs:timeout>\r\n"
                  "    <bvs:userID>3</bvs:userID>\r\n"
                  "    <bvs:userName>Commandline</bvs:userName>\r\n"
                  "    <bvs:userType>1</bvs:userType>\r\n"
                  "    <bvs:verifyAddress>false</bvs:verifyAddress>\r\n"
                  "    <bvs:custom_parameters/>\r\n"
                  "    <bvs:permitted_tasks/>\r\n"
                  "  </bvs:session_data>\r\n"
                  "\r\n"
                  "</bvs:security_session>\r\n");
    // Nothing else (no temporary) is left behind; a second run loads it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(sessions()), {}), 1);
    bv_session again("");
    EXPECT_TRUE(again.isValid()) << again.getLastErrorString();
    EXPECT_EQ(again.getUserID(), 3);
}

TEST_F(SessionTest, SecurityOffTouchesNoSessionFile) {
    security("false");
    std::string cmd = write("con_consoleaccessx", tarvex_test::userSession(3));
    std::string guest = write("visit_visitortoken", tarvex_test::userSession(2));
    const std::time_t old = std::time(nullptr) - 5000;
    tarvex_test::setModificationTime(cmd, old);
    tarvex_test::setModificationTime(guest, old);
    ::chmod(guest.c_str(), 0);  // a read would fail the session
    bv_session s("");
    EXPECT_TRUE(s.isValid()) << s.getLastErrorString();
    EXPECT_EQ(s.getSessionID(), "opn_unsecuredaccesskey");
    EXPECT_EQ(s.getUserType(), 0);
    EXPECT_EQ(s.getNumberOfErrors(), 0);
    EXPECT_EQ(mtime(cmd), old);
    EXPECT_EQ(mtime(guest), old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(sessions()), {}), 2);
    ::chmod(guest.c_str(), 0644);
}

TEST_F(SessionTest, BrokenFilesMakeTheSessionInvalid) {
    SessionFileSpec noTasks = tarvex_test::userSession(5);
    noTasks.withPermittedTasks = false;
    SessionFileSpec noCustom = tarvex_test::userSession(5);
    noCustom.withCustomParameters = false;
    SessionFileSpec otherPrefix = tarvex_test::userSession(5);
    otherPrefix.prefix = "sec";
    SessionFileSpec badParam = tarvex_test::userSession(5);
    badParam.custom = {{"a", "1"}};
    struct Case {
        const char* what;
        std::string content;
        const char* message;
    };
    const Case cases[] = {
        {"no permitted tasks", tarvex_test::sessionFileXml(noTasks), "Cannot find bvs:permitted_tasks element"},
        {"no custom parameters", tarvex_test::sessionFileXml(noCustom), "Cannot find bvs:custom_parameters element"},
        {"another prefix", tarvex_test::sessionFileXml(otherPrefix), "Cannot find bvs:session_data element"},
        {"not XML", "garbage", "XML library failure"},
        {"param without value",
         [&] {
             std::string x = tarvex_test::sessionFileXml(badParam);
             x.replace(x.find("<bvs:paramValue>1</bvs:paramValue>"), 34, "");
             return x;
         }(),
         "Cannot find bvs:paramValue element"},
    };
    security("true");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tarvex_test::writeFile(sessions() + "/broken", c.content);
        bv_session s("broken");
        EXPECT_FALSE(s.isValid());
        bool found = false;
        for (int i = 1; i <= s.getNumberOfErrors(); ++i)
            found = found || s.getErrorString(i).find(c.message) != std::string::npos;
        EXPECT_TRUE(found) << s.getLastErrorString();
    }
    // A broken options file refuses every request.
    tarvex_test::writeFile(dir.file("config/security_options.xml"), "<nonsense");
    bv_session s("");
    EXPECT_FALSE(s.isValid());
}

TEST_F(SessionTest, ParameterStoreAndFileRoundTrip) {
    security("true");
    SessionFileSpec spec = tarvex_test::userSession(5);
    spec.custom = {{"b", "2"}, {"B", ""}, {"a", "1"}};
    write("dave", spec);
    bv_session s("dave");
    ASSERT_TRUE(s.isValid()) << s.getLastErrorString();
    std::string v;
    EXPECT_TRUE(s.getParam("B", v));
    EXPECT_EQ(v, "");
    ASSERT_TRUE(s.setParam("_FullUserName", ""));  // empty standard: not written
    ASSERT_TRUE(s.setParam("TRUEFLAG", "TRUE"));
    ASSERT_TRUE(s.setTimeParam("_Timeout", -5));
    bool flag = true;
    EXPECT_TRUE(s.getBoolParam("TRUEFLAG", flag));
    EXPECT_FALSE(flag);
    EXPECT_FALSE(s.getParam("nothing", v));
    std::string text = tarvex_test::readFile(sessions() + "/dave");
    EXPECT_EQ(text.find("fullUserName"), std::string::npos);
    EXPECT_NE(text.find("<bvs:timeout>-5</bvs:timeout>"), std::string::npos);
    std::size_t upperB = text.find("<bvs:paramName>B</bvs:paramName>");
    std::size_t lowerA = text.find("<bvs:paramName>a</bvs:paramName>");
    ASSERT_NE(upperB, std::string::npos);
    EXPECT_LT(upperB, lowerA);
    EXPECT_NE(text.find("<bvs:paramValue></bvs:paramValue>"), std::string::npos) << text;

    bv_session back("dave");
    ASSERT_TRUE(back.isValid()) << back.getLastErrorString();
    EXPECT_FALSE(back.getParam("_FullUserName", v));
    EXPECT_TRUE(back.getParam("B", v));
    int64_t timeout = 0;
    EXPECT_TRUE(back.getTimeParam("_Timeout", timeout));
    EXPECT_EQ(timeout, -5);
    EXPECT_FALSE(back.isExpired());
    EXPECT_TRUE(back.eraseParam("a"));
    EXPECT_FALSE(back.eraseParam("a"));

    bv_session invalid("missing");
    EXPECT_FALSE(invalid.setParam("x", "y"));
    EXPECT_EQ(invalid.getLastError(), 4361);
}

TEST_F(SessionTest, SecurityFlagForms) {
    // The flag a front end reads is "true" or absent; the database checks
    // are off only for the security module's own "false".
    struct Case {
        const char* value;  // null: no element
        bool enabled;
        bool anyDatabase;
    };
    security("true");
    const SessionFileSpec alice = tarvex_test::userSession(7, {{10, 10, {"SwissProt"}}});
    for (const Case& c : {Case{nullptr, true, false}, Case{"true", true, false}, Case{"false", false, true},
                          Case{"False", false, false}, Case{"yes", false, false}, Case{"\n  true\r\n", true, false},
                          Case{"\r\n\tfalse \n", false, true}, Case{"\n", false, false},
                          Case{"fal se", false, false}}) {
        SCOPED_TRACE(c.value ? c.value : "absent");
        SessionFileSpec spec = withParam(alice, "securityEnabled", c.value ? c.value : "");
        if (!c.value) std::erase_if(spec.params, [](const auto& p) { return p.first == "securityEnabled"; });
        write("flag", spec);
        bv_session s("flag");
        ASSERT_TRUE(s.isValid()) << s.getLastErrorString();
        EXPECT_EQ(s.isSecurityEnabled(), c.enabled);
        EXPECT_EQ(s.isDatabasePermitted("NCBInr"), c.anyDatabase);
        EXPECT_TRUE(s.isDatabasePermitted("SwissProt"));
    }
}

TEST_F(SessionTest, HugeTimeoutsSaturate) {
    security("true");
    write("forever", withParam(withParam(tarvex_test::userSession(5), "timeout", "9223372036854775807"),
                               "lastAccessed", "9223372036854775000"));
    write("unreadable", withParam(tarvex_test::userSession(5), "timeout", "99999999999999999999"));
    bv_session a("forever");
    EXPECT_TRUE(a.isValid()) << a.getLastErrorString();
    EXPECT_FALSE(a.isExpired());
    bv_session b("unreadable");
    EXPECT_TRUE(b.isValid()) << b.getLastErrorString();
}

TEST_F(SessionTest, HelpersForNamesAndCookies) {
    struct User {
        const char* remoteUser;
        const char* id;
    };
    for (const User& u : {User{"DOMAIN\\alice", "alice_webserverauth"}, User{"\\alice", "alice_webserverauth"},
                          User{"alice", "alice_webserverauth"}, User{"a/b", ""}}) {
        ::setenv("REMOTE_USER", u.remoteUser, 1);
        EXPECT_EQ(bv_session::getWebServerAuthSessionID(), u.id) << u.remoteUser;
    }
    ::unsetenv("REMOTE_USER");
    EXPECT_EQ(bv_session::getWebServerAuthSessionID(), "");
    EXPECT_EQ(bv_session::getWebServerAuthSessionID("bob"), "bob_webserverauth");

    std::string id;
    EXPECT_TRUE(bv_session::getCookieSessionID("TARVEX_SESSION=x", id));
    EXPECT_EQ(id, "x");
    EXPECT_TRUE(bv_session::getCookieSessionID("a=1;TARVEX_SESSION=y%20z;b", id));
    EXPECT_EQ(id, "y z");
    EXPECT_FALSE(bv_session::getCookieSessionID("MYTARVEX_SESSION=x", id));
    EXPECT_FALSE(bv_session::getCookieSessionID("a=TARVEX_SESSION=x", id));
}

TEST_F(SessionTest, ComputerSessionByReverseLookUp) {
    char host[256];
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (getnameinfo(reinterpret_cast<sockaddr*>(&a), sizeof a, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
        GTEST_SKIP() << "no name for 127.0.0.1";
    std::string name = host;
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string shortName = name.substr(0, name.find('.'));
    security("true");
    write(shortName + "_computername", typed(4));
    ::setenv("REMOTE_ADDR", "127.0.0.1", 1);
    bv_session s("");
    EXPECT_TRUE(s.isValid()) << s.getLastErrorString();
    EXPECT_EQ(s.getSessionID(), shortName + "_computername");
    std::string id;
    EXPECT_FALSE(s.findComputerSession("not an address", id));
}

}  // namespace

namespace {

// Runs file calls of this thread as an unprivileged user (root passes every
// permission check); does nothing for a non-root test run, whose own
// permissions already apply.
class UnprivilegedFiles {
public:
    UnprivilegedFiles() {
        if (::geteuid() == 0) ::setfsuid(65534);
    }
    ~UnprivilegedFiles() {
        if (::geteuid() == 0) ::setfsuid(0);
    }
};

bool hasErrorContaining(const bv_session& s, const std::string& text) {
    for (int i = 1; i <= s.getNumberOfErrors(); ++i)
        if (s.getErrorString(i).find(text) != std::string::npos) return true;
    return false;
}

// A link in place of a session file is a session file that cannot be
// opened: the file it names is neither read nor touched.
TEST_F(SessionTest, ALinkInPlaceOfASessionFileIsNeitherReadNorTouchedThrough) {
    security("true");
    const std::string target = write("elsewhere", tarvex_test::userSession(5));
    const std::time_t old = std::time(nullptr) - 7200;
    tarvex_test::setModificationTime(target, old);
    ASSERT_EQ(::symlink("elsewhere", (sessions() + "/linked").c_str()), 0);
    bv_session s("linked");
    EXPECT_FALSE(s.isValid());
    EXPECT_TRUE(hasErrorContaining(s, "XML library failure with error: ../sessions/linked: Too many levels of "
                                      "symbolic links"))
        << s.getLastErrorString();
    EXPECT_FALSE(hasErrorContaining(s, "Failed to update last modified time")) << s.getLastErrorString();
    EXPECT_EQ(mtime(target), old);
}

TEST_F(SessionTest, FileFailuresNameTheirCauseWithTheConfiguredPath) {
    security("true");
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                                 std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                                 std::filesystem::perms::others_exec);
    const SessionFileSpec alice = tarvex_test::userSession(7);
    enum Folder { kFolder, kNoFolder, kFileAsFolder };
    struct Case {
        const char* what;
        Folder folder;
        const char* remoteAddr;
        std::string given;
        std::string content;  // of sessions/<given> when a folder exists; "-" for none
        mode_t mode;
        bool unprivileged;
        bool valid;
        std::string message;  // part of some error text
    };
    const std::string aliceXml = tarvex_test::sessionFileXml(alice);
    const Case cases[] = {
        {"missing folder, given ID", kNoFolder, "10.0.0.1", "alice", "-", 0, false, false,
         "Can't find the session file requested. ../sessions/: No such file or directory"},
        {"a file where the folder should be", kFileAsFolder, "10.0.0.1", "alice", "-", 0, false, false,
         "Can't find the session file requested. ../sessions/alice: Not a directory"},
        {"missing folder, automatic look-up", kNoFolder, "10.0.0.1", "", "-", 0, false, false,
         "User is not logged in, so could not create a session . ../sessions/: No such file or directory"},
        {"missing folder, command line", kNoFolder, nullptr, "", "-", 0, false, false,
         "Can't save the session file con_consoleaccessx. ../sessions/con_consoleaccessx: No such file or directory"},
        {"missing session file is still a timed-out session", kFolder, "10.0.0.1", "bob", "-", 0, false, false,
         "Session has timed out"},
        {"unreadable session file", kFolder, "10.0.0.1", "alice", aliceXml, 0, true, false,
         "XML library failure with error: ../sessions/alice: Permission denied"},
        {"session file another user owns cannot be touched", kFolder, "10.0.0.1", "alice", aliceXml, 0644, true, true,
         "Failed to update last modified time for ../sessions/alice. Error: Operation not permitted"},
        {"damaged session file", kFolder, "10.0.0.1", "alice", "garbage", 0644, false, false,
         "XML library failure with error: ../sessions/alice: line 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.unprivileged && ::geteuid() != 0) {
            if (std::string(c.what).find("touched") != std::string::npos) continue;  // needs another owner
        }
        std::filesystem::remove_all(sessions());
        if (c.folder == kFolder) std::filesystem::create_directories(sessions());
        if (c.folder == kFileAsFolder) tarvex_test::writeFile(sessions(), "not a folder");
        if (c.content != "-") {
            tarvex_test::writeFile(sessions() + "/" + c.given, c.content);
            ::chmod((sessions() + "/" + c.given).c_str(), c.mode);
        }
        if (c.remoteAddr) ::setenv("REMOTE_ADDR", c.remoteAddr, 1);
        else ::unsetenv("REMOTE_ADDR");
        std::optional<UnprivilegedFiles> user;
        if (c.unprivileged) user.emplace();
        bv_session s(c.given);
        user.reset();
        EXPECT_EQ(s.isValid(), c.valid) << s.getLastErrorString();
        EXPECT_TRUE(hasErrorContaining(s, c.message)) << s.getLastErrorString();
        if (!c.valid) {
            EXPECT_NE(s.getLastErrorString().find(c.message), std::string::npos) << s.getLastErrorString();
        }
        for (int i = 1; i <= s.getNumberOfErrors(); ++i)
            EXPECT_EQ(s.getErrorString(i).find(dir.path()), std::string::npos) << s.getErrorString(i);
    }
}

// The command-line session's file is renamed into place only when all of it
// was written: a write that fails (here at the file-size limit, as on a full
// disk) leaves nothing, and a later request creates it.
TEST_F(SessionTest, CommandLineSessionFileIsNeverLeftHalfWritten) {
    security("true");
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    {
        rlimit small = old;
        small.rlim_cur = 300;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        bv_session s("");
        ::setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_FALSE(s.isValid());
        EXPECT_EQ(s.getLastErrorString(),
                  "Can't save the session file con_consoleaccessx. ../sessions/con_consoleaccessx: File too large");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(sessions()), {}), 0);
    }
    ::signal(SIGXFSZ, oldHandler);

    bv_session created("");
    ASSERT_TRUE(created.isValid()) << created.getLastErrorString();
    const std::string complete = tarvex_test::readFile(sessions() + "/con_consoleaccessx");
    ASSERT_NE(complete.find("</bvs:security_session>"), std::string::npos);

    // A file an older release left empty or cut is written anew, whether the
    // session is named or found; nothing of the failed read remains.
    for (const std::string& given : {std::string(), std::string("con_consoleaccessx")}) {
        for (const std::string& content : {std::string(), complete.substr(0, complete.size() / 2)}) {
            SCOPED_TRACE(given + " / " + std::to_string(content.size()));
            tarvex_test::writeFile(sessions() + "/con_consoleaccessx", content);
            bv_session s(given);
            EXPECT_TRUE(s.isValid()) << s.getLastErrorString();
            EXPECT_EQ(s.getNumberOfErrors(), 0) << s.getLastErrorString();
            EXPECT_EQ(s.getUserID(), 3);
            EXPECT_EQ(tarvex_test::readFile(sessions() + "/con_consoleaccessx"), complete);
        }
    }
}

TEST_F(SessionTest, BrokenOptionsFileBuildsNoFallbackSession) {
    tarvex_test::writeFile(dir.file("config/security_options.xml"), "<bvs:security_options><unclosed>");
    for (const char* remoteAddr : {static_cast<const char*>(nullptr), "10.0.0.1"}) {
        if (remoteAddr) ::setenv("REMOTE_ADDR", remoteAddr, 1);
        bv_session s("");
        EXPECT_FALSE(s.isValid());
        EXPECT_EQ(s.getLastError(), 4108);
        EXPECT_EQ(s.getLastErrorString().rfind("Failed to load the main security configuration files. XML library "
                                               "failure with error: ../config/security_options.xml: line 1, col ",
                                               0),
                  0u)
            << s.getLastErrorString();
        for (int i = 1; i <= s.getNumberOfErrors(); ++i) EXPECT_NE(s.getErrorNumber(i), 4361);
    }
    const std::string log = tarvex_test::readFile(dir.file("logs/security.log"));
    EXPECT_NE(log.find(",2049,1,\"\",-1,\"XML library failure with error: ../config/security_options.xml: line 1"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(",4108,2,\"\",-1,\"Failed to load the main security configuration files. "), std::string::npos)
        << log;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(sessions()), {}), 0);
}

// Many custom parameters and tasks are read in one pass over the file (a
// sanitizer build would take minutes for a walk from the first child per
// element); every value arrives, and a later duplicate name wins.
TEST_F(SessionTest, ManyParametersAndTasksAreAllRead) {
    security("true");
    constexpr int kCount = 20000;
    SessionFileSpec spec = tarvex_test::userSession(5);
    for (int i = 0; i < kCount; ++i) spec.custom.emplace_back("p" + std::to_string(i), "v" + std::to_string(i));
    spec.custom.emplace_back("p7", "again");
    SessionTaskSpec databases{10, 10, {}};
    for (int i = 0; i < kCount; ++i) databases.values.push_back("DB" + std::to_string(i));
    spec.tasks.push_back(databases);
    for (int i = 0; i < kCount / 10; ++i) spec.tasks.push_back({100 + i, 4, {std::to_string(i), std::to_string(-i)}});
    write("many", spec);

    bv_session s("many");
    ASSERT_TRUE(s.isValid()) << s.getLastErrorString();
    std::string v;
    for (int i : {0, 1, 9999, kCount - 1}) {
        EXPECT_TRUE(s.getParam("p" + std::to_string(i), v)) << i;
        EXPECT_EQ(v, "v" + std::to_string(i));
    }
    EXPECT_TRUE(s.getParam("p7", v));
    EXPECT_EQ(v, "again");
    EXPECT_FALSE(s.getParam("p" + std::to_string(kCount), v));
    const brenvik::bv_security_tasks& tasks = s.getPermittedTasks();
    EXPECT_EQ(tasks.getNumberOfTasks(), 1 + kCount / 10);
    EXPECT_TRUE(s.isDatabasePermitted("DB0"));
    EXPECT_TRUE(s.isDatabasePermitted("DB" + std::to_string(kCount - 1)));
    EXPECT_FALSE(s.isDatabasePermitted("DB" + std::to_string(kCount)));
    const brenvik::bv_security_task last = tasks.getTaskByIndex(kCount / 10);
    EXPECT_EQ(last.getTaskID(), 100 + kCount / 10 - 1);
    EXPECT_EQ(last.getIntValues(), (std::vector<int>{-(kCount / 10 - 1), kCount / 10 - 1}));
}

}  // namespace
