#pragma once
// A real web server (lighttpd with mod_cgi) and a real HTTP client (curl)
// around one program of a fixture installation: the program is copied into
// cgi/ and a multipart form is posted to it, as the server's web pages do.
#include <string>
#include <utility>
#include <vector>

#include "support/fixture_install.h"
#include "support/program_runner.h"

namespace tarvex_test {

// True when lighttpd and curl are installed (tests skip otherwise).
bool cgiWebServerAvailable();

// Posts the form fields (name, value; values sent verbatim) to the program
// through the web server; the result is curl's: exit status and the reply
// body (the program's output after its header lines).
RunResult postThroughWebServer(FixtureInstall& install, const std::string& program,
                               const std::vector<std::pair<std::string, std::string>>& fields);

}  // namespace tarvex_test
