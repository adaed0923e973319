#pragma once
// A server installation for end-to-end runs of bv-seqfetch: tarvex.dat,
// control file registered with a stand-in monitor, security options,
// taxonomy files, and runners for the command line and CGI GET.
#include <grp.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/control_file_writer.h"
#include "support/fake_monitor.h"
#include "support/fixture_install.h"
#include "support/program_runner.h"
#include "support/session_files.h"
#include "support/taxonomy_fixture.h"

namespace seqfetch_e2e {

using tarvex_test::RunResult;

constexpr const char* kHeader = "Content-type: text/plain\n\n";

inline std::string tarvexDat(const std::string& extraOptions = "") {
    return "Databases\n"
           "SwissProt\t../sequence/SwissProt/SwissProt_*.fasta\tAA\t1234\t1\t1\t1\t1\t0\t0\t1\t2\t4\t1\n"
           "Virus\t../sequence/Virus/Virus_*.fasta\tNA\t1234\t1\t1\t1\t1\t0\t0\t1\t2\t4\t2\n"
           "end\n"
           "\n"
           "PARSE\n"
           "RULE_1\t\">\\([^ ]*\\)\"\n"
           "RULE_2\t\">[^ ]* \\(.*\\)\"\n"
           "RULE_4\t\"^\\(.*\\)\"\n"
           "RULE_9\t\"^AC   \\([^;]*\\)\"\n"
           "end\n"
           "\n"
           "Taxonomy_1\n"
           "Title:Proteins\n"
           "Enabled\t1\n"
           "end\n"
           "\n"
           "Taxonomy_2\n"
           "Title:Nucleic acids\n"
           "Enabled\t1\n"
           "NodesFiles\tNCBI:nodes.dmp\n"
           "GencodeFiles\tNCBI:gencode.dmp\n"
           "end\n"
           "\n"
           "Cluster\n"
           "Enabled\t0\n"
           "end\n"
           "\n" +
           tarvex_test::fixtureOptionsSection(extraOptions);
}

class Installation {
public:
    explicit Installation(bool withControlFile = true) : install_("seqfetch-e2e") {
        install_.write("config/tarvex.dat", tarvexDat());
        securityOff();
        if (withControlFile) {
            control_.addEntry("SwissProt");
            control_.addEntry("Virus");
            writeControlFile();
            if (!monitor_.registerControlFile(controlFilePath(), tarvex_test::FakeMonitor::Owner::PidZero)) throw std::runtime_error("no control marker");
        }
    }

    tarvex_test::FixtureInstall& install() { return install_; }
    tarvex_test::ControlFileWriter& control() { return control_; }
    tarvex_test::FakeMonitor& monitor() { return monitor_; }
    std::string controlFilePath() const { return install_.file("data/tarvex.control"); }
    void writeControlFile() { control_.write(controlFilePath()); }

    void securityOff() {
        tarvex_test::SecurityOptionsSpec spec;
        spec.securityEnabled = "false";
        tarvex_test::writeSecurityOptions(install_.configDir(), spec);
    }
    void securityOn() {
        tarvex_test::SecurityOptionsSpec spec;
        spec.securityEnabled = "true";
        tarvex_test::writeSecurityOptions(install_.configDir(), spec);
    }

    RunResult commandLine(const std::vector<std::string>& arguments, const std::string& programName = "") {
        tarvex_test::RunRequest request;
        request.program = programName.empty() ? tarvex_test::programPath("bv-seqfetch") : programName;
        request.arguments = arguments;
        request.workingFolder = install_.cgiDir();
        return run(request);
    }

    RunResult get(const std::string& query, const std::string& scriptName = "/tarvex/cgi/bv-seqfetch.exe") {
        tarvex_test::RunRequest request;
        request.program = tarvex_test::programPath("bv-seqfetch");
        request.workingFolder = install_.cgiDir();
        request.environment = {{"QUERY_STRING", query},
                               {"SCRIPT_NAME", scriptName},
                               {"REQUEST_METHOD", "GET"},
                               {"REMOTE_ADDR", "127.0.0.1"}};
        return run(request);
    }

    // A CGI POST of a multipart body whose boundary is "XX", to run as it is
    // or with runner options of its own.
    tarvex_test::RunRequest postRequest(const std::string& body) {
        tarvex_test::RunRequest request;
        request.program = tarvex_test::programPath("bv-seqfetch");
        request.workingFolder = install_.cgiDir();
        request.environment = {{"QUERY_STRING", ""},
                               {"SCRIPT_NAME", "/tarvex/cgi/bv-seqfetch.exe"},
                               {"CONTENT_TYPE", "multipart/form-data; boundary=XX"},
                               {"CONTENT_LENGTH", std::to_string(body.size())},
                               {"REMOTE_ADDR", "127.0.0.1"}};
        request.standardInput = body;
        return request;
    }
    RunResult post(const std::string& body) { return run(postRequest(body)); }

    // Later runs as the user (a test running as root plays the web server's
    // user), the installation handed to that user first.
    // New files go to that user's group, as on a server.
    void runAs(const tarvex_test::SystemUser& user) {
        const struct group* g = ::getgrgid(static_cast<gid_t>(user.gid));
        if (g == nullptr) throw std::runtime_error("no group of the user");
        const std::string theirs = "\t" + std::string(g->gr_name) + "\n";
        const std::string own = "\t" + tarvex_test::ownGroup() + "\n";
        std::string dat = install_.read("config/tarvex.dat");
        for (const std::string key : {"NTMonitorGroup", "NTIUserGroup"}) {
            const size_t at = dat.find(key + own);
            if (at != std::string::npos) dat.replace(at, key.size() + own.size(), key + theirs);
        }
        install_.write("config/tarvex.dat", dat);
        install_.giveTo(user.uid, user.gid);
        user_ = user;
    }
    RunResult run(tarvex_test::RunRequest request) const {
        request.userId = user_.uid;
        request.groupId = user_.gid;
        return tarvex_test::runProgram(request);
    }

    // The same request once on the command line and once as CGI GET (pieces
    // joined with '+'); both must give the same output and status.
    std::pair<RunResult, RunResult> both(const std::vector<std::string>& arguments) {
        std::string query;
        for (const std::string& a : arguments) query += (query.empty() ? "" : "+") + a;
        return {commandLine(arguments), get(query)};
    }

private:
    tarvex_test::FixtureInstall install_;
    tarvex_test::ControlFileWriter control_;
    tarvex_test::FakeMonitor monitor_;
    tarvex_test::SystemUser user_;
};

}  // namespace seqfetch_e2e
