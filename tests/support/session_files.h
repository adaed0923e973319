#pragma once
// Writers of the security module's files for fixtures: session files under
// sessions/, config/security_options.xml and the shipped schema beside them.
// They write the XML text directly, independent of the code under test.
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace tarvex_test {

struct SessionTaskSpec {
    int id = 0;
    int type = 0;
    std::vector<std::string> values;  // written as given
    std::string name = "task";
};

struct SessionFileSpec {
    // Parameter elements without the prefix ("userID", "timeout", ...), in
    // the order they are written.
    std::vector<std::pair<std::string, std::string>> params;
    std::vector<std::pair<std::string, std::string>> custom;
    std::vector<SessionTaskSpec> tasks;
    bool withCustomParameters = true;
    bool withPermittedTasks = true;
    std::string prefix = "bvs";
};

// A normal user (type 1) with the given ID and tasks, no time-out.
SessionFileSpec userSession(int userID, std::vector<SessionTaskSpec> tasks = {});

std::string sessionFileXml(const SessionFileSpec& spec);
// sessionsDir/id; returns the path.
std::string writeSessionFile(const std::string& sessionsDir, const std::string& id, const SessionFileSpec& spec);

struct SecurityOptionsSpec {
    std::string securityEnabled = "true";
    std::string logLevel = "3";
    std::string logFileName = "../logs/security.log";
    std::string appServerURL = "http://127.0.0.1:9/vostrel";
    std::vector<std::string> omit;  // option elements left out ("logLevel", ...)
};

std::string securityOptionsXml(const SecurityOptionsSpec& spec);
// configDir/security_options.xml and configDir/tarvex_security_1_0.xsd.
void writeSecurityOptions(const std::string& configDir, const SecurityOptionsSpec& spec);
// Copies the shipped schema into configDir.
void installSecuritySchema(const std::string& configDir);

// Sets a file's modification time (seconds since 1970).
void setModificationTime(const std::string& path, std::time_t when);

}  // namespace tarvex_test
