#pragma once
// Runs a real program as a child process, the way a web server or a shell
// would: its own working folder, exactly the environment given, a standard
// input text, and standard output, standard error and the exit status
// captured. Killed after a time-out so that a hanging program fails a test
// instead of stopping the suite.
#include <string>
#include <utility>
#include <vector>

namespace tarvex_test {

struct RunRequest {
    std::string program;                 // path of the executable
    std::vector<std::string> arguments;  // argv[1..]
    std::string workingFolder;           // "" = the caller's
    // The child's whole environment (CGI variables and the like). With
    // inheritEnvironment the caller's environment comes first and these
    // entries override it.
    std::vector<std::pair<std::string, std::string>> environment;
    bool inheritEnvironment = false;
    std::string standardInput;
    int timeoutSeconds = 60;
    // A client that hangs up: once standard output holds this text, the
    // reading end is closed (what came so far is kept) and the program's
    // later writes meet a closed pipe. Empty: everything is read.
    std::string hangUpAfter;
    // The user and group the program runs as (no supplementary groups): a
    // test running as root plays the web server's user. -1: the caller's.
    int userId = -1;
    int groupId = -1;
};

struct RunResult {
    std::string standardOutput;
    std::string standardError;
    bool exited = false;    // ended through exit()
    int exitStatus = -1;    // its status when exited
    int signal = 0;         // the signal that ended it otherwise
    bool timedOut = false;
};

// Program paths of the built tools.
std::string programPath(const std::string& name);

RunResult runProgram(const RunRequest& request);

}  // namespace tarvex_test
