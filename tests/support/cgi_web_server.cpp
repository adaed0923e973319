#include "support/cgi_web_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

namespace tarvex_test {

namespace {

constexpr const char* kServer = "/usr/sbin/lighttpd";
constexpr const char* kClient = "/usr/bin/curl";

// A port that was free a moment ago on 127.0.0.1.
int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace

bool cgiWebServerAvailable() { return std::filesystem::exists(kServer) && std::filesystem::exists(kClient); }

CgiWebServer::CgiWebServer(FixtureInstall& install, const std::vector<std::string>& programs) {
    // Links to the build's programs: they take their modules from the
    // build's lib/tarvex/ as they do when run directly, since a fixture
    // under $TMPDIR (which everyone may write) is no place they load a
    // module from.
    for (const std::string& program : programs) {
        const std::string link = install.file("cgi/" + std::filesystem::path(program).filename().string());
        std::filesystem::remove(link);
        std::filesystem::create_symlink(std::filesystem::canonical(program), link);
    }
    port_ = freePort();
    install.write("lighttpd.conf", "server.document-root = \"" + install.cgiDir() + "\"\n" +
                                       "server.port = " + std::to_string(port_) + "\n" +
                                       "server.bind = \"127.0.0.1\"\n"
                                       "server.modules = (\"mod_cgi\")\n"
                                       "cgi.assign = (\"\" => \"\")\n"
                                       "server.errorlog = \"" + install.file("logs/lighttpd.log") + "\"\n");
    pid_ = ::fork();
    if (pid_ == 0) {
        ::execl(kServer, "lighttpd", "-D", "-f", install.file("lighttpd.conf").c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
}

CgiWebServer::~CgiWebServer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
}

std::string CgiWebServer::url(const std::string& program) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + std::filesystem::path(program).filename().string();
}

RunResult postThroughWebServer(FixtureInstall& install, const std::string& program,
                               const std::vector<std::pair<std::string, std::string>>& fields) {
    CgiWebServer server(install, {program});
    RunResult reply;
    if (!server.started()) return reply;
    RunRequest curl;
    curl.program = kClient;
    curl.arguments = {"-s", "--max-time", "30"};
    // --form-string sends the values verbatim (-F would eat quotes and '@').
    for (const auto& [field, value] : fields) {
        curl.arguments.push_back("--form-string");
        curl.arguments.push_back(field + "=" + value);
    }
    curl.arguments.push_back(server.url(program));
    // The server needs a moment before it listens.
    for (int attempt = 0; attempt < 50; ++attempt) {
        reply = runProgram(curl);
        if (reply.exited && reply.exitStatus == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return reply;
}

}  // namespace tarvex_test
