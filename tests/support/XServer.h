#pragma once

// A private Xvfb display, optionally with openbox managing it, for tests and benchmarks.

#include "support/TemporaryHome.h"
#include "support/Wait.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <xcb/xcb.h>

extern char** environ;

namespace ulvarend::testing {

class XServer {
public:
    XServer() : home(makeTemporaryFolder("ulvarend-x-")) { startServer(""); }

    ~XServer() {
        stopWindowManager();
        stopServer();
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
    }

    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    // ":N", the display this server owns for as long as it lives.
    const std::string& display() const { return name; }

    void stopServer() {
        stop(server);
        // The window manager loses its display with the server and ends by itself.
        stop(windowManager);
    }

    // Starts the server again on the same display number.
    void restartServer() { startServer(name); }

    // Starts openbox and waits until it has claimed the display.
    void startWindowManager() {
        std::vector<std::string> args{"openbox", "--sm-disable"};
        windowManager = spawn(args, -1);
        if (!waitUntil([this] { return windowManagerReady(); },
                       pauseFor(std::chrono::milliseconds(20)), std::chrono::seconds(10))) {
            throw std::runtime_error("openbox did not start");
        }
    }

    void stopWindowManager() { stop(windowManager); }

private:
    // Xvfb writes its display number to -displayfd once it accepts connections, so this
    // both picks a free display (when `display` is empty) and waits for readiness.
    void startServer(const std::string& display) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        std::vector<std::string> args{"Xvfb"};
        if (!display.empty()) {
            args.push_back(display);
        }
        for (const char* arg :
             {"-displayfd", "3", "-screen", "0", "640x480x24", "-nolisten", "tcp", "-noreset"}) {
            args.emplace_back(arg);
        }
        server = spawn(args, fds[1]);
        close(fds[1]);
        std::string number;
        pollfd ready{fds[0], POLLIN, 0};
        while (number.find('\n') == std::string::npos && poll(&ready, 1, 10000) > 0) {
            char buffer[32];
            auto got = read(fds[0], buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            number.append(buffer, static_cast<std::size_t>(got));
        }
        close(fds[0]);
        if (number.find('\n') == std::string::npos) {
            stop(server);
            throw std::runtime_error("Xvfb did not start");
        }
        // Built up rather than concatenated to a literal, which trips GCC 12's -Wrestrict.
        name = std::to_string(std::stoi(number));
        name.insert(name.begin(), ':');
    }

    bool windowManagerReady() const {
        xcb_connection_t* c = xcb_connect(name.c_str(), nullptr);
        bool ready = false;
        if (xcb_connection_has_error(c) == 0) {
            auto root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
            auto atomCookie = xcb_intern_atom(c, 1, 24, "_NET_SUPPORTING_WM_CHECK");
            auto* atom = xcb_intern_atom_reply(c, atomCookie, nullptr);
            if (atom != nullptr && atom->atom != XCB_ATOM_NONE) {
                auto cookie = xcb_get_property(c, 0, root, atom->atom, XCB_ATOM_WINDOW, 0, 1);
                auto* reply = xcb_get_property_reply(c, cookie, nullptr);
                ready = reply != nullptr && xcb_get_property_value_length(reply) == 4;
                std::free(reply);
            }
            std::free(atom);
        }
        xcb_disconnect(c);
        return ready;
    }

    // Runs a program with this display and a private home; `displayFd`, when given, becomes
    // the child's descriptor 3.
    pid_t spawn(const std::vector<std::string>& args, int displayFd) const {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            std::string entry = *e;
            if (entry.rfind("DISPLAY=", 0) != 0 && entry.rfind("HOME=", 0) != 0 &&
                entry.rfind("XDG_", 0) != 0) {
                env.push_back(entry);
            }
        }
        env.push_back("HOME=" + home.string());
        env.push_back("XDG_CONFIG_HOME=" + (home / "config").string());
        env.push_back("XDG_CACHE_HOME=" + (home / "cache").string());
        env.push_back("XDG_DATA_HOME=" + (home / "data").string());
        if (!name.empty()) {
            env.push_back("DISPLAY=" + name);
        }
        std::vector<char*> argv;
        for (const auto& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& entry : env) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (displayFd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, displayFd, 3);
        }
        pid_t pid = 0;
        int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0) {
            throw std::runtime_error("cannot run " + args[0] + ": " + std::strerror(failed));
        }
        return pid;
    }

    static void stop(pid_t& pid) {
        if (pid <= 0) {
            return;
        }
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = 0;
    }

    std::filesystem::path home;
    std::string name;
    pid_t server = 0;
    pid_t windowManager = 0;
};

} // namespace ulvarend::testing
