#pragma once

#include "support/Wait.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <pwd.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ulvarend::testing {

// A program the test starts and ends (Xvfb, a bus daemon...). Ended with SIGTERM, then
// SIGKILL, when the object goes.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> argv) {
        pid = fork();
        if (pid == 0) {
            std::vector<char*> args;
            for (auto& a : argv) {
                args.push_back(a.data());
            }
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { stop(); }

    void stop() {
        if (pid <= 0) {
            return;
        }
        kill(pid, SIGTERM);
        if (!waitUntil([this] { return waitpid(pid, nullptr, WNOHANG) == pid; },
                       pauseFor(std::chrono::milliseconds(20)), std::chrono::seconds(2))) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }

    pid_t pid = -1;
};

// Runs a shell command and answers its exit status.
inline int run(const std::string& command) {
    return std::system(command.c_str());
}

// `text` as one word for the shell.
inline std::string quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

struct Captured {
    int status = -1; // the exit status; -1 when it did not start or did not exit
    std::string out; // what it wrote to its standard output
};

// Runs a shell command and collects its standard output.
inline Captured capture(const std::string& command) {
    Captured result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        result.out += buffer;
    }
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// `command` run as `user` by a process that becomes it, so that signals and the exit status
// are the command's own.
inline std::string asUser(const std::string& user, const std::string& command) {
    const passwd* account = getpwnam(user.c_str());
    if (account == nullptr) {
        return command;
    }
    return "setpriv --reuid=" + std::to_string(account->pw_uid) +
           " --regid=" + std::to_string(account->pw_gid) + " --init-groups " + command;
}

// Output of a command, with its trailing line breaks removed.
inline std::string output(const std::string& command) {
    std::string text = capture(command).out;
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

} // namespace ulvarend::testing
