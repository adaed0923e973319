#include "support/http_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace tarvex_test {

std::string HttpRequest::header(const std::string& name) const {
    std::size_t pos = head.find("\r\n");
    while (pos != std::string::npos) {
        std::size_t start = pos + 2;
        std::size_t end = head.find("\r\n", start);
        if (end == std::string::npos) end = head.size();
        std::string line = head.substr(start, end - start);
        std::size_t colon = line.find(':');
        if (colon != std::string::npos && colon == name.size() &&
            strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
            std::size_t v = colon + 1;
            while (v < line.size() && line[v] == ' ') ++v;
            return line.substr(v);
        }
        pos = end < head.size() ? end : std::string::npos;
    }
    return "";
}

HttpReply httpReply(int status, const std::string& reason, const std::string& body,
                    const std::string& extraHeaders) {
    HttpReply r;
    r.raw = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n" +
            "Content-Length: " + std::to_string(body.size()) + "\r\n" +
            "Connection: close\r\n" + extraHeaders + "\r\n" + body;
    return r;
}

namespace {

int listenOnLoopback(int* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        throw std::runtime_error("bind failed");
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

void writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

HttpTestServer::HttpTestServer(Handler handler) : handler_(std::move(handler)) {
    listenFd_ = listenOnLoopback(&port_);
    if (listen(listenFd_, 16) != 0) {
        close(listenFd_);
        throw std::runtime_error("listen failed");
    }
    thread_ = std::thread([this] { run(); });
}

HttpTestServer::~HttpTestServer() {
    stop_ = true;
    thread_.join();
    close(listenFd_);
}

std::string HttpTestServer::baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<HttpRequest> HttpTestServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void HttpTestServer::run() {
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        serve(fd);
        close(fd);
    }
}

void HttpTestServer::serve(int fd) {
    std::string head;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (head.find("\r\n\r\n") == std::string::npos && !stop_) {
        if (std::chrono::steady_clock::now() > deadline) return;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return;
        head.append(buf, static_cast<std::size_t>(n));
        // Not HTTP (a TLS hello, say): hang up at once.
        if (head[0] < 'A' || head[0] > 'Z') return;
    }
    HttpRequest req;
    req.head = head.substr(0, head.find("\r\n\r\n") + 2);
    std::string first = req.head.substr(0, req.head.find("\r\n"));
    std::size_t s1 = first.find(' ');
    std::size_t s2 = first.rfind(' ');
    if (s1 != std::string::npos && s2 > s1) {
        req.method = first.substr(0, s1);
        req.target = first.substr(s1 + 1, s2 - s1 - 1);
        req.version = first.substr(s2 + 1);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(req);
    }
    HttpReply reply = handler_(req);
    for (int waited = 0; waited < reply.delayMs && !stop_; waited += 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!stop_) writeAll(fd, reply.raw);
    shutdown(fd, SHUT_WR);
}

RefusedPort::RefusedPort() { fd_ = listenOnLoopback(&port_); }

RefusedPort::~RefusedPort() { close(fd_); }

}  // namespace tarvex_test
