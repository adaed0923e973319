#include "support/program_installation.h"

#include <grp.h>
#include <unistd.h>

#include <stdexcept>

#include "support/session_files.h"

namespace tarvex_test {

std::string queryOf(const std::vector<std::string>& arguments) {
    std::string query;
    for (const std::string& a : arguments) query += (query.empty() ? "" : "+") + a;
    return query;
}

RunRequest commandLineRequest(const std::string& program, const std::string& cgiDir,
                              const std::vector<std::string>& arguments, Environment environment) {
    RunRequest request;
    request.program = programPath(program);
    request.arguments = arguments;
    request.workingFolder = cgiDir;
    request.environment = std::move(environment);
    return request;
}

RunRequest getRequest(const std::string& program, const std::string& cgiDir, const std::string& query,
                      const std::string& scriptName) {
    return commandLineRequest(program, cgiDir, {},
                              {{"QUERY_STRING", query},
                               {"SCRIPT_NAME", scriptName.empty() ? "/tarvex/cgi/" + program + ".exe" : scriptName},
                               {"REQUEST_METHOD", "GET"},
                               {"REMOTE_ADDR", "127.0.0.1"}});
}

RunRequest postRequest(const std::string& program, const std::string& cgiDir, const std::string& boundary,
                       const std::string& body) {
    RunRequest request = commandLineRequest(program, cgiDir, {},
                                            {{"QUERY_STRING", ""},
                                             {"SCRIPT_NAME", "/tarvex/cgi/" + program + ".exe"},
                                             {"REQUEST_METHOD", "POST"},
                                             {"REMOTE_ADDR", "127.0.0.1"},
                                             {"CONTENT_TYPE", "multipart/form-data; boundary=" + boundary},
                                             {"CONTENT_LENGTH", std::to_string(body.size())}});
    request.standardInput = body;
    return request;
}

ProgramInstallation::ProgramInstallation(const std::string& program, const std::string& tag)
    : program_(program), install_(tag) {}

void ProgramInstallation::registerControlFile() {
    writeControlFile();
    if (!monitor_.registerControlFile(controlFilePath(), FakeMonitor::Owner::PidZero))
        throw std::runtime_error("no control marker");
}

void ProgramInstallation::setSecurity(bool enabled) {
    SecurityOptionsSpec spec;
    spec.securityEnabled = enabled ? "true" : "false";
    writeSecurityOptions(install_.configDir(), spec);
}

RunResult ProgramInstallation::commandLine(const std::vector<std::string>& arguments, Environment environment) const {
    return run(commandLineRequest(program_, install_.cgiDir(), arguments, std::move(environment)));
}

RunResult ProgramInstallation::get(const std::string& query, const std::string& scriptName) const {
    return run(getRequest(program_, install_.cgiDir(), query, scriptName));
}

RunRequest ProgramInstallation::postRequest(const std::string& boundary, const std::string& body) const {
    RunRequest request = tarvex_test::postRequest(program_, install_.cgiDir(), boundary, body);
    request.userId = user_.uid;
    request.groupId = user_.gid;
    return request;
}

std::pair<RunResult, RunResult> ProgramInstallation::both(const std::vector<std::string>& arguments) const {
    return {commandLine(arguments), get(queryOf(arguments))};
}

void ProgramInstallation::runAs(const SystemUser& user) {
    const struct group* g = ::getgrgid(static_cast<gid_t>(user.gid));
    if (g == nullptr) throw std::runtime_error("no group of the user");
    const std::string theirs = "\t" + std::string(g->gr_name) + "\n";
    const std::string own = "\t" + ownGroup() + "\n";
    std::string dat = install_.read("config/tarvex.dat");
    for (const std::string key : {"NTMonitorGroup", "NTIUserGroup"}) {
        const size_t at = dat.find(key + own);
        if (at != std::string::npos) dat.replace(at, key.size() + own.size(), key + theirs);
    }
    install_.write("config/tarvex.dat", dat);
    install_.giveTo(user.uid, user.gid);
    user_ = user;
}

RunResult ProgramInstallation::run(RunRequest request) const {
    request.userId = user_.uid;
    request.groupId = user_.gid;
    return runProgram(request);
}

}  // namespace tarvex_test
