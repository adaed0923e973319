#include "support/program_runner.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <stdexcept>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tarvex_test {

namespace {

void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Builds the child's environment before fork: nothing but async-signal-safe
// calls may run in the child of a threaded process.
std::vector<std::string> buildEnvironment(const RunRequest& r) {
    std::map<std::string, std::string> vars;
    std::vector<std::string> order;
    auto put = [&](const std::string& k, const std::string& v) {
        if (!vars.count(k)) order.push_back(k);
        vars[k] = v;
    };
    if (r.inheritEnvironment)
        for (char** e = environ; e && *e; ++e) {
            std::string s = *e;
            size_t eq = s.find('=');
            if (eq != std::string::npos) put(s.substr(0, eq), s.substr(eq + 1));
        }
    for (const auto& kv : r.environment) put(kv.first, kv.second);
    std::vector<std::string> out;
    for (const auto& k : order) out.push_back(k + "=" + vars[k]);
    return out;
}

}  // namespace

std::string programPath(const std::string& name) { return std::string(TARVEX_BINARY_DIR) + "/src/" + name; }

RunResult runProgram(const RunRequest& request) {
    std::vector<std::string> envStrings = buildEnvironment(request);
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings;
    argStrings.push_back(request.program);
    for (const auto& a : request.arguments) argStrings.push_back(a);
    std::vector<char*> argv;
    for (auto& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);

    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        // Its own process group, so that a time-out also ends what it started.
        setpgid(0, 0);
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (!request.workingFolder.empty() && chdir(request.workingFolder.c_str()) != 0) {
            const char msg[] = "runner: cannot enter the working folder\n";
            (void)!write(2, msg, sizeof msg - 1);
            _exit(126);
        }
        if (request.userId >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(request.groupId)) != 0 ||
                                    setuid(static_cast<uid_t>(request.userId)) != 0)) {
            const char msg[] = "runner: cannot switch to the user\n";
            (void)!write(2, msg, sizeof msg - 1);
            _exit(125);
        }
        execve(request.program.c_str(), argv.data(), envp.data());
        const char msg[] = "runner: cannot run the program\n";
        (void)!write(2, msg, sizeof msg - 1);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    int inFd = in[1], outFd = out[0], errFd = err[0];
    fcntl(inFd, F_SETFL, O_NONBLOCK);

    RunResult result;
    size_t written = 0;
    if (request.standardInput.empty()) closeFd(inFd);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(request.timeoutSeconds);
    // A child that stops reading its input must not stop us reading its output.
    sigset_t pipeSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    sigset_t oldSet;
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);
    while (outFd >= 0 || errFd >= 0) {
        struct pollfd fds[3];
        int n = 0;
        if (outFd >= 0) fds[n++] = {outFd, POLLIN, 0};
        if (errFd >= 0) fds[n++] = {errFd, POLLIN, 0};
        if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            result.timedOut = true;
            break;
        }
        int rc = poll(fds, n, left);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) break;
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            int fd = fds[i].fd;
            if (fd == inFd) {
                ssize_t w = write(inFd, request.standardInput.data() + written, request.standardInput.size() - written);
                if (w > 0) written += static_cast<size_t>(w);
                if (w < 0 && errno != EAGAIN && errno != EINTR) closeFd(inFd);
                if (written == request.standardInput.size()) closeFd(inFd);
                continue;
            }
            char buf[65536];
            ssize_t r = read(fd, buf, sizeof buf);
            if (r < 0 && errno == EINTR) continue;
            std::string& target = fd == outFd ? result.standardOutput : result.standardError;
            if (r > 0) {
                target.append(buf, static_cast<size_t>(r));
                if (fd == outFd && !request.hangUpAfter.empty() &&
                    result.standardOutput.find(request.hangUpAfter) != std::string::npos)
                    closeFd(outFd);
            } else {
                closeFd(fd == outFd ? outFd : errFd);
            }
        }
    }
    closeFd(inFd);
    closeFd(outFd);
    closeFd(errFd);
    // Drop a SIGPIPE raised while the mask was on, then restore the mask.
    struct timespec zero = {0, 0};
    while (sigtimedwait(&pipeSet, nullptr, &zero) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

}  // namespace tarvex_test
