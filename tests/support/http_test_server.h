#pragma once
// A tiny HTTP/1.x server on 127.0.0.1 with a port the system picks, run by a
// thread of the test. Each connection carries one request: the server reads
// the request head, asks the handler for a reply, writes it as given and
// closes. Replies are raw bytes, so tests can send any status line, a
// truncated body or nothing at all.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarvex_test {

struct HttpRequest {
    std::string method;
    std::string target;  // as sent: a path, or an absolute URL through a proxy
    std::string version;
    std::string head;    // the whole request head as received
    // Value of the first header with that name (ignoring case), or "".
    std::string header(const std::string& name) const;
};

struct HttpReply {
    std::string raw;         // written as it is
    int delayMs = 0;         // wait this long before writing (a stalled server)
};

// A complete reply with Content-Length and "Connection: close".
HttpReply httpReply(int status, const std::string& reason, const std::string& body,
                    const std::string& extraHeaders = "");

class HttpTestServer {
public:
    using Handler = std::function<HttpReply(const HttpRequest&)>;
    explicit HttpTestServer(Handler handler);
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:<port>"
    std::string baseUrl() const;
    std::vector<HttpRequest> requests() const;

private:
    void run();
    void serve(int fd);

    Handler handler_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<HttpRequest> requests_;
    std::thread thread_;
};

// A port on 127.0.0.1 that refuses connections: bound, never listened on,
// and held for the object's life so that nothing else takes it meanwhile.
class RefusedPort {
public:
    RefusedPort();
    ~RefusedPort();
    RefusedPort(const RefusedPort&) = delete;
    RefusedPort& operator=(const RefusedPort&) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

}  // namespace tarvex_test
