#include "http/bv_http_helper.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

#include "support/http_test_server.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace {

using namespace brenvik;
using tarvex_test::HttpReply;
using tarvex_test::HttpRequest;
using tarvex_test::HttpTestServer;
using tarvex_test::httpReply;

// A variable's value, or with null, no variable.
std::optional<std::string> valueOrUnset(const char* value) {
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

// Proxy variables of the machine running the tests must not take part.
struct NoProxyEnvironment {
    NoProxyEnvironment() {
        for (const char* name : {"http_proxy", "https_proxy", "no_proxy", "HTTP_PROXY"}) variables.set(name, std::nullopt);
    }
    tarvex_test::ScopedEnvironment variables;
};

HttpReply origin(const HttpRequest& r) {
    std::string path = r.target;
    std::size_t q = path.find("://");
    if (q != std::string::npos) path = path.substr(path.find('/', q + 3));  // through a proxy
    if (path == "/body") return httpReply(200, "OK", "hello\r\nworld");
    if (path == "/big") return httpReply(200, "OK", std::string(1 << 20, 'b'));
    if (path == "/missing") return httpReply(404, "Not Found Here", "<html>gone</html>");
    if (path == "/stall") {
        HttpReply s = httpReply(200, "OK", "late");
        // Longer than the time-out under test allows, shorter than the limits
        // without one: only a time-out that reached libcurl ends it first.
        s.delayMs = 20000;
        return s;
    }
    if (path == "/redirect") return httpReply(302, "Found", "", "Location: /body\r\n");
    if (path == "/redirect-ftp") return httpReply(301, "Moved", "", "Location: ftp://127.0.0.1/x\r\n");
    if (path == "/loop") return httpReply(307, "Again", "", "Location: /loop\r\n");
    if (path == "/http10") return HttpReply{"HTTP/1.0 200 OK\r\n\r\nold style body", 0};
    if (path == "/truncated")
        return HttpReply{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\nonly ten..", 0};
    if (path == "/huge")
        return HttpReply{"HTTP/1.1 200 OK\r\nContent-Length: 104857601\r\nConnection: close\r\n\r\nxx", 0};
    if (path.rfind("/echo", 0) == 0) return httpReply(200, "OK", r.target);
    return httpReply(500, "Unexpected", "");
}

HttpReply proxyReply(const HttpRequest& r) { return httpReply(200, "OK", "via proxy " + r.target); }

struct Outcome {
    HttpResult result;
    std::string text;
    int lastMessage = 0;
    int messages = 0;
};

Outcome fetch(const std::string& base, const std::string& path, const bv_connectionsettings& s,
              const std::string& preset = "unchanged") {
    bv_http_helper helper(base, s);
    Outcome o;
    o.text = preset;
    helper.getToString(o.result, path, o.text);
    o.lastMessage = helper.getLastError();
    o.messages = helper.getNumberOfErrors();
    return o;
}

TEST(HttpHelper, TransfersAgainstALocalServer) {
    NoProxyEnvironment clean;
    HttpTestServer server(origin);
    tarvex_test::RefusedPort refused;
    struct Case {
        const char* what;
        std::string base;
        const char* path;
        int redirectPolicy;
        int kind;
        int status;       // for kind 3
        int errorCode;    // for kind 2
        int message;      // last recorded message, 0 for none
        const char* text;  // expected text output
    } cases[] = {
        {"200", server.baseUrl(), "body", 1, 0, 200, 0, 0, "hello\r\nworld"},
        {"404", server.baseUrl(), "missing", 1, 3, 404, 0, 0, "unchanged"},
        {"refused port", "http://127.0.0.1:" + std::to_string(refused.port()), "body", 1, 2, 200, 12029, 6664,
         "unchanged"},
        {"redirect, policy 0", server.baseUrl(), "redirect", 0, 0, 200, 0, 0, "hello\r\nworld"},
        {"redirect, policy 1", server.baseUrl(), "redirect", 1, 0, 200, 0, 0, "hello\r\nworld"},
        {"redirect, policy never", server.baseUrl(), "redirect", 2, 3, 302, 0, 0, "unchanged"},
        {"redirect to ftp", server.baseUrl(), "redirect-ftp", 0, 3, 301, 0, 0, "unchanged"},
        {"endless redirects", server.baseUrl(), "loop", 0, 3, 307, 0, 0, "unchanged"},
        {"HTTP/1.0 answer", server.baseUrl(), "http10", 1, 0, 200, 0, 0, "old style body"},
        {"truncated body", server.baseUrl(), "truncated", 1, 2, 200, 12030, 6664, "unchanged"},
        {"body over 100 MiB", server.baseUrl(), "huge", 1, 2, 200, 12184, 6664, "unchanged"},
        {"query kept", server.baseUrl(), "echo?Show=A&x=1", 1, 0, 200, 0, 0, "/echo?Show=A&x=1"},
        {"empty path", server.baseUrl() + "/echo/base", "", 1, 0, 200, 0, 0, "/echo/base"},
        // Bytes a URL cannot hold go out escaped; escapes and reserved
        // characters already there go out as they are.
        {"space in the path and query", server.baseUrl(), "echo/a b?x=1 2&y=%41", 1, 0, 200, 0, 0,
         "/echo/a%20b?x=1%202&y=%41"},
        {"base URL with a space", server.baseUrl() + "/echo/my dir", "f", 1, 0, 200, 0, 0, "/echo/my%20dir/f"},
        {"base URL ending in a slash", server.baseUrl() + "/echo/", "f", 1, 0, 200, 0, 0, "/echo/f"},
        {"unsupported scheme", "ftp://127.0.0.1/x", "", 1, 2, 200, 12006, 6668, "unchanged"},
        {"not a URL", "no url at all", "", 1, 2, 200, 12005, 6668, "unchanged"},
        // The scheme is read without regard to case: TLS is tried (and fails
        // against this plain server), nothing goes out in plain text.
        {"HTTPS in capitals", "HTTPS://127.0.0.1:" + std::to_string(server.port()), "body", 1, 2, 200, 12175, 6664,
         "unchanged"},
    };
    for (const Case& c : cases) {
        bv_connectionsettings s;
        s.setRedirectPolicy(c.redirectPolicy);
        Outcome o = fetch(c.base, c.path, s);
        EXPECT_EQ(o.result.getKind(), c.kind) << c.what;
        EXPECT_EQ(o.result.getHttpStatus(), c.status) << c.what;
        EXPECT_EQ(o.result.getErrorCode(), c.errorCode) << c.what;
        EXPECT_EQ(o.lastMessage, c.message) << c.what;
        EXPECT_EQ(o.text, c.text) << c.what;
        if (c.kind == 2) {
            EXPECT_FALSE(o.result.getMessage().empty()) << c.what;
            EXPECT_EQ(o.result.getMessage().find("(Error:"), std::string::npos) << c.what;
        }
        if (c.kind == 3) {
            EXPECT_EQ(o.messages, 0) << c.what;
        }
    }
    bv_connectionsettings s;
    EXPECT_EQ(fetch(server.baseUrl(), "missing", s).result.getMessage(), "Not Found Here");
}

TEST(HttpHelper, UrlJoiningAndEscaping) {
    const struct {
        const char* base;
        const char* path;
        const char* url;
    } joins[] = {
        {"http://h/app", "rc?x=1", "http://h/app/rc?x=1"},  {"http://h/app/", "rc?x=1", "http://h/app/rc?x=1"},
        {"http://h/app", "/rc", "http://h/app/rc"},         {"http://h/app/", "/rc", "http://h/app/rc"},
        {"http://h/app/", "", "http://h/app/"},
    };
    for (const auto& j : joins) EXPECT_EQ(bv_http_helper::joinUrl(j.base, j.path), j.url) << j.base << " + " << j.path;

    const struct {
        const char* url;
        const char* escaped;
    } escapes[] = {
        {"http://h:8080/a b/c?d=e f#g", "http://h:8080/a%20b/c?d=e%20f#g"},
        {"http://h/%41%zz%4", "http://h/%41%25zz%254"},
        {"http://h/x?a=\"<>\\^`{}\t\x7f", "http://h/x?a=%22%3C%3E%5C%5E%60%7B%7D%09%7F"},
        {"http://h/caf\xc3\xa9", "http://h/caf%C3%A9"},
        {"http://h/-._~:@!$&'()*+,;=/?[]|", "http://h/-._~:@!$&'()*+,;=/?[]|"},
        {"http://user:p w@h", "http://user:p w@h"},  // no path: nothing to escape
        {"no url at all", "no url at all"},
    };
    for (const auto& e : escapes) EXPECT_EQ(bv_http_helper::escapeUrl(e.url), e.escaped) << e.url;
}

TEST(HttpHelper, WhatGoesOnTheWire) {
    NoProxyEnvironment clean;
    HttpTestServer server(origin);
    bv_connectionsettings s;
    ASSERT_TRUE(fetch(server.baseUrl(), "body", s).result.isOk());
    s.setHttpVersion(0);
    ASSERT_TRUE(fetch(server.baseUrl(), "body", s).result.isOk());
    s.setHttpVersion(1);
    ASSERT_TRUE(fetch(server.baseUrl(), "body", s).result.isOk());
    auto seen = server.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].target, "/body");
    EXPECT_EQ(seen[0].version, "HTTP/1.1");
    EXPECT_EQ(seen[0].header("User-Agent"), "TarvexParser/2.7.0.1 winhttp/5.1");
    EXPECT_EQ(seen[1].version, "HTTP/1.0");
    EXPECT_EQ(seen[2].version, "HTTP/1.1");
}

TEST(HttpHelper, ServerCredentialsWhenChallenged) {
    NoProxyEnvironment clean;
    HttpTestServer server([](const HttpRequest& r) {
        std::string auth = r.header("Authorization");
        if (auth.empty()) return httpReply(401, "Unauthorized", "", "WWW-Authenticate: Basic realm=\"t\"\r\n");
        return httpReply(200, "OK", auth);
    });
    bv_connectionsettings s;
    s.setCredentials("user", "secret");
    Outcome o = fetch(server.baseUrl(), "private", s);
    ASSERT_TRUE(o.result.isOk()) << o.result.getMessage();
    EXPECT_EQ(o.text, "Basic dXNlcjpzZWNyZXQ=");

    bv_connectionsettings anonymous;
    Outcome refused = fetch(server.baseUrl(), "private", anonymous);
    EXPECT_EQ(refused.result.getKind(), HttpResult::HTTP_STATUS);
    EXPECT_EQ(refused.result.getHttpStatus(), 401);
}

TEST(HttpHelper, ProxyCredentialsWhenChallenged) {
    NoProxyEnvironment clean;
    HttpTestServer proxy([](const HttpRequest& r) {
        std::string auth = r.header("Proxy-Authorization");
        if (auth.empty())
            return httpReply(407, "Proxy Authentication Required", "", "Proxy-Authenticate: Basic realm=\"p\"\r\n");
        return httpReply(200, "OK", auth + " " + r.target);
    });
    bv_connectionsettings s("", "127.0.0.1:" + std::to_string(proxy.port()), "pu", "pw");
    s.setProxyType(PROXY_SPECIFY);
    Outcome o = fetch("http://127.0.0.1:1", "x", s);  // port 1: reached through the proxy only
    ASSERT_TRUE(o.result.isOk()) << o.result.getMessage();
    EXPECT_EQ(o.text, "Basic cHU6cHc= http://127.0.0.1:1/x");
}

TEST(HttpHelper, StalledServerTimesOut) {
    NoProxyEnvironment clean;
    HttpTestServer server(origin);
    bv_connectionsettings s;
    s.setTimeout(1);
    Outcome o = fetch(server.baseUrl(), "stall", s);
    EXPECT_EQ(o.result.getKind(), HttpResult::SYSTEM_ERROR);
    EXPECT_EQ(o.result.getErrorCode(), 12002);
    EXPECT_EQ(o.lastMessage, 6664);
    EXPECT_EQ(o.text, "unchanged");
}

TEST(HttpHelper, ProxyChoice) {
    NoProxyEnvironment clean;
    HttpTestServer server(origin);
    HttpTestServer proxy(proxyReply);
    const std::string proxyAddress = "127.0.0.1:" + std::to_string(proxy.port());
    const std::string target = server.baseUrl() + "/echo";
    const std::string viaProxy = "via proxy " + target;
    struct Case {
        const char* what;
        int type;
        const char* proxyServer;
        const char* httpProxy;   // lower-case variable, null = unset
        const char* upperProxy;  // HTTP_PROXY, never to be used
        const char* noProxy;
        bool throughProxy;
    } cases[] = {
        {"specify", 2, "@", nullptr, nullptr, nullptr, true},
        {"specify without a server", 2, "", nullptr, nullptr, nullptr, false},
        {"none", 0, "@", "@", nullptr, nullptr, false},
        {"environment", 4, "", "@", nullptr, nullptr, true},
        {"environment, bypassed", 4, "", "@", nullptr, "127.0.0.1", false},
        {"auto takes the environment rule", 5, "", "@", nullptr, nullptr, true},
        {"upper-case variable ignored", 4, "", nullptr, "@", nullptr, false},
        {"wpad finds nothing", 3, "", "@", nullptr, nullptr, false},
    };
    for (const Case& c : cases) {
        auto value = [&](const char* v) -> const char* {
            return v == nullptr ? nullptr : (std::string(v) == "@" ? proxyAddress.c_str() : v);
        };
        tarvex_test::ScopedEnvironment environment("http_proxy", valueOrUnset(value(c.httpProxy)));
        environment.set("HTTP_PROXY", valueOrUnset(value(c.upperProxy)));
        environment.set("no_proxy", valueOrUnset(c.noProxy));
        bv_connectionsettings s("", std::string(c.proxyServer) == "@" ? proxyAddress : c.proxyServer, "", "");
        s.setProxyType(c.type);
        Outcome o = fetch(server.baseUrl(), "echo", s);
        ASSERT_TRUE(o.result.isOk()) << c.what << ": " << o.result.getMessage();
        EXPECT_EQ(o.text, c.throughProxy ? viaProxy : "/echo") << c.what;
    }
}

TEST(HttpHelper, EnvironmentProxyForUrl) {
    tarvex_test::ScopedEnvironment environment("http_proxy", "hp:1");
    environment.set("https_proxy", "sp:2");
    struct Case {
        const char* url;
        bool ftp, https;
        const char* proxy;
    } cases[] = {
        {"http://x", false, false, "hp:1"},   {"https://x", false, false, "sp:2"},
        {"https://x", false, true, "hp:1"},   {"ftp://x", false, false, ""},
        {"ftp://x", true, false, "hp:1"},     {"HTTP://x", false, false, ""},
        {"HTTPS://x", false, true, ""},       {"file:///x", true, true, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(environmentProxyFor(c.url, c.ftp, c.https), c.proxy) << c.url;
}

TEST(HttpHelper, OutputFileReceivesTheBody) {
    NoProxyEnvironment clean;
    HttpTestServer server(origin);
    tarvex_test::TempDir dir;
    bv_connectionsettings s;
    bv_http_helper helper(server.baseUrl(), s);
    HttpResult r;
    std::string text;
    TransferProgress progress;
    helper.get(r, "body", text, dir.file("out.txt"), false, progress);
    ASSERT_TRUE(r.isOk());
    EXPECT_EQ(tarvex_test::readFile(dir.file("out.txt")), "hello\r\nworld");
    EXPECT_GE(progress.updateCount, 2);
    EXPECT_GT(progress.fraction, 0.0);

    helper.get(r, "body", text, dir.file("no/such/dir/out.txt"), false, progress);
    EXPECT_EQ(r.getKind(), HttpResult::SYSTEM_ERROR);
    EXPECT_EQ(helper.getLastError(), 6412);
    EXPECT_TRUE(server.requests().size() == 1u);  // nothing sent for the failed open
}

// A body that does not reach the output file is a failure: a large one fails
// in the write, a small one only when the close writes the buffered rest.
TEST(HttpHelper, OutputFileThatCannotBeWrittenIsAFailure) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    NoProxyEnvironment clean;
    HttpTestServer server(origin);
    for (const char* path : {"big", "body"}) {
        SCOPED_TRACE(path);
        bv_connectionsettings s;
        bv_http_helper helper(server.baseUrl(), s);
        HttpResult r;
        std::string text;
        TransferProgress progress;
        helper.get(r, path, text, "/dev/full", false, progress);
        EXPECT_EQ(r.getKind(), HttpResult::SYSTEM_ERROR);
        EXPECT_EQ(r.getErrorCode(), ENOSPC);
        EXPECT_EQ(helper.getLastError(), 6412);
        EXPECT_TRUE(progress.failed);
    }
}

TEST(HttpHelper, ProgressEstimate) {
    TransferProgress p;
    p.reset();
    p.update(0, 0);
    EXPECT_NEAR(p.fraction, std::atan(0.1) / 3.14159 * 2, 1e-12);
    p.update(100, 0);
    EXPECT_EQ(p.updateCount, 2);
    EXPECT_NEAR(p.fraction, std::atan(0.2) / 3.14159 * 2, 1e-12);
    p.update(50, 200);
    EXPECT_DOUBLE_EQ(p.fraction, 0.25);
    p.update(0, 0);
    EXPECT_EQ(p.updateCount, 1);
}

}  // namespace
