#pragma once
// A real web server (lighttpd with mod_cgi) and a real HTTP client (curl)
// around one program of a fixture installation: the program is linked into
// cgi/ and a multipart form is posted to it, as the server's web pages do.
#include <string>
#include <utility>
#include <vector>

#include "support/fixture_install.h"
#include "support/program_runner.h"

namespace tarvex_test {

// True when lighttpd and curl are installed (tests skip otherwise).
bool cgiWebServerAvailable();

// lighttpd serving the programs (linked into the installation's cgi/) as
// CGI programs on a free port of 127.0.0.1, until destroyed.
class CgiWebServer {
public:
    CgiWebServer(FixtureInstall& install, const std::vector<std::string>& programs);
    ~CgiWebServer();
    CgiWebServer(const CgiWebServer&) = delete;
    CgiWebServer& operator=(const CgiWebServer&) = delete;

    bool started() const { return pid_ > 0; }
    // "http://127.0.0.1:<port>/<program file name>".
    std::string url(const std::string& program) const;

private:
    int port_ = 0;
    int pid_ = -1;
};

// Posts the form fields (name, value; values sent verbatim) to the program
// through the web server; the result is curl's: exit status and the reply
// body (the program's output after its header lines).
RunResult postThroughWebServer(FixtureInstall& install, const std::string& program,
                               const std::vector<std::pair<std::string, std::string>>& fields);

}  // namespace tarvex_test
