#pragma once
// A fixture installation of one of the programs for end-to-end runs: the
// installation's folders, a control file registered with a stand-in
// monitor, the security options, and runners for the command line, CGI GET
// and CGI POST from the cgi folder, as a shell or the web server starts
// them, optionally as another user. The programs' own fixtures add their
// tarvex.dat and data.
#include <string>
#include <utility>
#include <vector>

#include "support/control_file_writer.h"
#include "support/fake_monitor.h"
#include "support/fixture_install.h"
#include "support/program_runner.h"

namespace tarvex_test {

using Environment = std::vector<std::pair<std::string, std::string>>;

// The pieces of a command line joined with '+', as a GET query carries them.
std::string queryOf(const std::vector<std::string>& arguments);

// program (the built tool's name, "bv-seqfetch") run in the cgi folder with
// the arguments and exactly the environment given.
RunRequest commandLineRequest(const std::string& program, const std::string& cgiDir,
                              const std::vector<std::string>& arguments, Environment environment = {});
// A CGI GET of the query, under scriptName ("": the server's
// /tarvex/cgi/<program>.exe).
RunRequest getRequest(const std::string& program, const std::string& cgiDir, const std::string& query,
                      const std::string& scriptName = "");
// A CGI POST of a multipart body whose parts the boundary separates.
RunRequest postRequest(const std::string& program, const std::string& cgiDir, const std::string& boundary,
                       const std::string& body);

class ProgramInstallation {
public:
    // tag names the temporary folder.
    ProgramInstallation(const std::string& program, const std::string& tag);

    FixtureInstall& install() { return install_; }
    ControlFileWriter& control() { return control_; }
    FakeMonitor& monitor() { return monitor_; }
    std::string controlFilePath() const { return install_.file("data/tarvex.control"); }
    void writeControlFile() { control_.write(controlFilePath()); }
    // Writes the control file and registers it as a monitor that shows no
    // live process would; throws when the marker cannot be made.
    void registerControlFile();

    void securityOff() { setSecurity(false); }
    void securityOn() { setSecurity(true); }

    RunResult commandLine(const std::vector<std::string>& arguments, Environment environment = {}) const;
    RunResult get(const std::string& query) const { return get(query, ""); }
    RunResult get(const std::string& query, const std::string& scriptName) const;
    RunRequest postRequest(const std::string& boundary, const std::string& body) const;
    // The same request once on the command line and once as CGI GET; both
    // must give the same output and status.
    std::pair<RunResult, RunResult> both(const std::vector<std::string>& arguments) const;

    // Later runs as the user (a test running as root plays the web server's
    // user), the installation handed to that user first and the groups of
    // new files set to the user's group, as on a server.
    void runAs(const SystemUser& user);
    // Runs the request as the user of runAs (or the test's own).
    RunResult run(RunRequest request) const;

private:
    void setSecurity(bool enabled);

    std::string program_;
    FixtureInstall install_;
    ControlFileWriter control_;
    FakeMonitor monitor_;
    SystemUser user_;
};

}  // namespace tarvex_test
