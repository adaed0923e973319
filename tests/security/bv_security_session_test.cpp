#include "security/bv_security_session.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "http/bv_connectionsettings.h"
#include "security/bv_session.h"
#include "support/http_test_server.h"
#include "support/session_files.h"
#include "support/temp_dir.h"

using brenvik::bv_security_session;
using brenvik::bv_session;

namespace {

// Answers one HTTP request on 127.0.0.1 with a fixed body (or closes the
// connection without answering) and keeps the request line.
class OneShotServer {
public:
    OneShotServer(std::string body, bool answer, int waitMs = 5000) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 4) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("cannot listen");
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, body, answer, waitMs] {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, waitMs) != 1) return;
            int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            std::string in;
            char buf[4096];
            while (in.find("\r\n\r\n") == std::string::npos) {
                ssize_t n = ::read(c, buf, sizeof buf);
                if (n <= 0) break;
                in.append(buf, static_cast<std::size_t>(n));
            }
            request_ = in.substr(0, in.find("\r\n"));
            if (answer) {
                std::string out = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                                  std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
                ssize_t ignored = ::write(c, out.data(), out.size());
                (void)ignored;
            }
            ::close(c);
        });
    }
    ~OneShotServer() {
        if (thread_.joinable()) thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }
    std::string request() {
        if (thread_.joinable()) thread_.join();
        return request_;
    }

private:
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::string request_;
};

class LoginCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* d : {"cgi", "config", "sessions", "logs"}) std::filesystem::create_directories(dir.file(d));
        oldCwd = std::filesystem::current_path();
        std::filesystem::current_path(dir.file("cgi"));
        for (const char* v : {"REMOTE_ADDR", "HTTP_COOKIE", "REMOTE_USER", "HTTP_USER_AGENT"}) ::unsetenv(v);
    }
    void TearDown() override {
        ::unsetenv("HTTP_PROXY");
        std::filesystem::current_path(oldCwd);
    }
    void options(int port, const std::string& urlEnd = "/vostrel") {
        tarvex_test::SecurityOptionsSpec spec;
        spec.appServerURL = "http://127.0.0.1:" + std::to_string(port) + urlEnd;
        tarvex_test::writeSecurityOptions(dir.file("config"), spec);
    }
    std::string appSession(const std::string& id) {
        tarvex_test::SessionFileSpec spec = tarvex_test::userSession(42);
        for (auto& [name, value] : spec.params)
            if (name == "userType") value = "2";
        return tarvex_test::writeSessionFile(dir.file("sessions"), id, spec);
    }
    static bool has(const bv_session& s, int number, const std::string& text) {
        for (int i = 1; i <= s.getNumberOfErrors(); ++i)
            if (s.getErrorNumber(i) == number && s.getErrorString(i).find(text) != std::string::npos) return true;
        return false;
    }

    tarvex_test::TempDir dir{"login"};
    std::filesystem::path oldCwd;
};

TEST(LoginCheck, ConnectionIDs) {
    struct Case {
        const char* session;
        bool ok;
        const char* connection;
    };
    for (const Case& c : {Case{"c123@srv_7", true, "c123|srv7"}, Case{"a_b@c_d", true, "a_b|cd"},
                          Case{"c123srv_7", false, ""}, Case{"c123@srv7", false, ""}}) {
        std::string id;
        EXPECT_EQ(bv_security_session::connectionIDFor(c.session, id), c.ok) << c.session;
        if (c.ok) {
            EXPECT_EQ(id, c.connection);
        }
    }
    EXPECT_EQ(bv_security_session::checkPath("c123|srv7"),
              "/rc?command=page&page=CheckLoginBV&connectionid=c123|srv7&action=check");
    for (const char* bad : {"a b", "a#b", "a&b", "a%b", "a?b", "a\tb", "a\x7f", "\xc3\xa9"})
        EXPECT_FALSE(bv_security_session::isSendableConnectionID(bad)) << bad;
    EXPECT_TRUE(bv_security_session::isSendableConnectionID("c123|srv7"));
}

TEST_F(LoginCheckTest, ConfirmedLoginSendsTheExactPathAndIgnoresHTTP_PROXY) {
    OneShotServer server("<html>status: logged_in=true</html>", true);
    options(server.port());
    ::setenv("HTTP_PROXY", "http://127.0.0.1:9", 1);
    std::string path = appSession("c123@srv_7");
    tarvex_test::setModificationTime(path, std::time(nullptr) - 1000);
    bv_session s("c123@srv_7");
    EXPECT_TRUE(s.isValid()) << s.getLastErrorString();
    EXPECT_EQ(server.request(),
              "GET /vostrel/rc?command=page&page=CheckLoginBV&connectionid=c123|srv7&action=check HTTP/1.1");
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_GE(st.st_mtime, std::time(nullptr) - 5);  // touched
}

TEST_F(LoginCheckTest, BaseUrlEndingInASlashGetsOneSlash) {
    OneShotServer server("logged_in=true", true);
    options(server.port(), "/vostrel/");
    tarvex_test::setModificationTime(appSession("c123@srv_7"), std::time(nullptr) - 1000);
    bv_session s("c123@srv_7");
    EXPECT_TRUE(s.isValid()) << s.getLastErrorString();
    EXPECT_EQ(server.request(),
              "GET /vostrel/rc?command=page&page=CheckLoginBV&connectionid=c123|srv7&action=check HTTP/1.1");
}

TEST_F(LoginCheckTest, RefusedOrFailedLogins) {
    std::string longReply;
    for (int i = 0; i < 20; ++i) longReply += std::string(98, static_cast<char>('a' + i)) + "\r\n";
    std::string longCopy;
    for (char c : longReply.substr(0, 1200))
        if (c != '\r' && c != '\n') longCopy += c;
    struct Case {
        const char* what;
        std::string reply;
        bool answer;
        int number;
        std::string text;
    };
    const Case cases[] = {
        {"wrong case", "LOGGED_IN=TRUE", true, 4377, "Error return is: LOGGED_IN=TRUE"},
        {"error division", "<p><div class=error>Connection expired</div></p>", true, 4377,
         "Error return is: Connection expired"},
        {"long reply", longReply, true, 4377, "Error return is: " + longCopy},
        {"no answer", "", false, 4373, "Failed to contact Vostrel server"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OneShotServer server(c.reply, c.answer);
        options(server.port());
        appSession("c123@srv_7");
        bv_session s("c123@srv_7");
        EXPECT_FALSE(s.isValid());
        EXPECT_TRUE(has(s, c.number, c.text)) << s.getLastErrorString();
        EXPECT_EQ(s.getLastErrorString(), "Session has timed out");
        EXPECT_FALSE(server.request().empty());
    }
}

TEST_F(LoginCheckTest, UnsendableIDsSendNoRequest) {
    for (const char* id : {"c%41@srv_7", "c1@srv", "c#1@srv_7", "c\xc3\xa9@srv_7"}) {
        SCOPED_TRACE(id);
        OneShotServer server("logged_in=true", true, 300);
        options(server.port());
        appSession(id);
        bv_session s(id);
        EXPECT_FALSE(s.isValid());
        EXPECT_TRUE(has(s, 4377, std::string("Error return is: ") + id)) << s.getLastErrorString();
        EXPECT_EQ(server.request(), "");
    }
}

TEST_F(LoginCheckTest, SilentServerTimesOut) {
    // Accepts the connection and answers only after the time-out of one
    // second, but well within the limits without one: the check fails only
    // when the configured time-out reaches the transfer.
    tarvex_test::HttpTestServer server([](const tarvex_test::HttpRequest&) {
        tarvex_test::HttpReply reply = tarvex_test::httpReply(200, "OK", "logged_in=true");
        reply.delayMs = 20000;
        return reply;
    });
    options(server.port());
    // A normal user, so that building the session runs no check of its own.
    tarvex_test::writeSessionFile(dir.file("sessions"), "c9@srv_1", tarvex_test::userSession(42));
    bv_session s("c9@srv_1");
    ASSERT_TRUE(s.isValid()) << s.getLastErrorString();
    brenvik::bv_connectionsettings settings("", "", "", "");
    settings.setTimeout(1);
    EXPECT_FALSE(bv_security_session::verifyVostrelConnection(s, settings));
    EXPECT_TRUE(has(s, 4373, "Failed to contact Vostrel server")) << s.getLastErrorString();
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].target, "/vostrel/rc?command=page&page=CheckLoginBV&connectionid=c9|srv1&action=check");
}

}  // namespace
