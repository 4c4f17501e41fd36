#pragma once

// The built agent in a session of its own: a private session bus, the loopback collector and a
// fresh HOME. What it did is read from the collector's output, the database and the log files.
// The test that includes this defines ULVAREND_AGENT and ULVAREND_COLLECTOR, the built
// programs; the window system is the test's own.

#include "support/ChildProcess.h"
#include "support/PrivateBus.h"
#include "support/TemporaryHome.h"
#include "support/TestCertificates.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ulvarend::testing {

// Waits for a child without ending it; its status, or nothing when it is still running.
inline std::optional<int> waitForExit(ChildProcess& child, std::chrono::seconds limit) {
    int status = 0;
    if (!waitUntil([&] { return waitpid(child.pid, &status, WNOHANG) == child.pid; },
                   pauseFor(std::chrono::milliseconds(20)), limit)) {
        return std::nullopt;
    }
    child.pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class AgentHarness : public ::testing::Test {
protected:
    using json = nlohmann::json;

    void SetUp() override {
        home.set("XDG_RUNTIME_DIR", home.root() / "run");
        std::filesystem::create_directory(home.root() / "run", home.root());
        std::filesystem::permissions(home.root() / "run", std::filesystem::perms::owner_all);
        const auto busSocket = home.root() / "bus";
        if (!asAgentUser("").empty()) {
            // The agent's user must reach its certificate authority and its home.
            std::filesystem::permissions(certificates.directory,
                                         std::filesystem::perms::owner_all |
                                             std::filesystem::perms::group_exec |
                                             std::filesystem::perms::others_exec);
            run("chown -R " + agentUser + " " + quoted(home.root()));
        }
        bus = std::make_unique<ChildProcess>(std::vector<std::string>{
            "/bin/sh", "-c",
            "exec " + asAgentUser("dbus-daemon --session --nofork --address=unix:path=" +
                                  quoted(busSocket))});
        ASSERT_TRUE(waitUntil([&] { return acceptsConnections(busSocket); }, [] {}));
        home.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + busSocket.string());
        home.set("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/ulvarend-system-bus");
        unsetenv("XDG_SESSION_ID");
        // The session type chooses the frontmost source; each fixture says which it is.
        unsetenv("XDG_SESSION_TYPE");
        unsetenv("XDG_CURRENT_DESKTOP");
        home.set("ULVAREND_CA_FILE", certificates.caFile());
        // libxkbcommon, which Qt's X11 plugin uses, reads a counted string with strndup; strict
        // string checks take that for an overflow. The agent runs without them.
        if (const char* options = std::getenv("ASAN_OPTIONS")) {
            std::string relaxed = options;
            for (auto at = relaxed.find("strict_string_checks=1"); at != std::string::npos;
                 at = relaxed.find("strict_string_checks=1")) {
                relaxed.replace(at, std::strlen("strict_string_checks=1"),
                                "strict_string_checks=0");
            }
            home.set("ASAN_OPTIONS", relaxed);
        }
        startCollector({});
        home.set("ULVAREND_COLLECTION_HOST", "127.0.0.1:" + std::to_string(port));
    }

    void TearDown() override {
        // A report from a sanitizer inside the agent fails the test even when the agent went on
        // or its exit status was not looked at.
        const std::string output = readFile(home.root() / "agent.out");
        for (const char* report : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                                   "WARNING: ThreadSanitizer", "runtime error:"}) {
            EXPECT_EQ(output.find(report), std::string::npos) << "the agent reported " << report;
        }
        if (::testing::Test::HasFailure()) {
            std::cerr << "--- agent output\n"
                      << output << "--- logs\n"
                      << logs() << "--- collector\n"
                      << readFile(home.root() / "collector.err");
        }
    }

    void startCollector(const std::vector<std::string>& extra) {
        collector.reset();
        const auto portFile = home.root() / "port";
        std::string command = "exec " + quoted(ULVAREND_COLLECTOR) + " --cert " +
                              quoted(certificates.serverCertFile()) + " --key " +
                              quoted(certificates.serverKeyFile()) + " --port " +
                              std::to_string(port) + " --port-file " + quoted(portFile);
        for (const auto& option : extra) {
            command += " " + option;
        }
        command += " >>" + quoted(home.root() / "received") + " 2>>" +
                   quoted(home.root() / "collector.err");
        std::filesystem::remove(portFile);
        collector = std::make_unique<ChildProcess>(std::vector<std::string>{"sh", "-c", command});
        ASSERT_TRUE(waitUntil([&] { return !readFile(portFile).empty(); }, [] {}));
        port = std::stoi(readFile(portFile));
    }

    std::unique_ptr<ChildProcess> startAgent(const std::optional<std::string>& link = {}) {
        if (!asAgentUser("").empty()) {
            // What the test wrote since is the agent's to change.
            run("chown -R " + agentUser + " " + quoted(home.root()));
        }
        std::string command = agentLimits + "exec " + asAgentUser(quoted(ULVAREND_AGENT));
        if (link) {
            command += " " + quoted(*link);
        }
        command += " >>" + quoted(home.root() / "agent.out") + " 2>&1";
        return std::make_unique<ChildProcess>(std::vector<std::string>{"sh", "-c", command});
    }

    // An agent that was set up before, for one person and with months left (or `left`): no
    // alert opens at launch, since nothing here could dismiss one. The stop date it wrote.
    std::chrono::system_clock::time_point
    writeSetUpDefaults(std::chrono::system_clock::duration left = std::chrono::hours(24 * 90)) {
        const auto stop = std::chrono::system_clock::now() + left;
        const json defaults{
            {"appHasBeenSetup", true},
            {"userList", {"Anna"}},
            {"currentUser", "Anna"},
            {"userId", "p-42"},
            {"trackingType", 1},
            {"stopTrackingData",
             {{"type", "date"},
              {"nanosecondsSince1970",
               std::chrono::duration_cast<std::chrono::nanoseconds>(stop.time_since_epoch())
                   .count()}}}};
        writeFile(home.configHome() / "ulvarend" / "defaults.json", defaults.dump(2));
        return stop;
    }

    std::string logs() const {
        std::string all;
        const auto folder = home.stateHome() / "ulvarend" / "logs";
        if (std::filesystem::exists(folder)) {
            for (const auto& entry : std::filesystem::directory_iterator(folder)) {
                all += readFile(entry.path());
            }
        }
        return all;
    }

    bool waitForLog(const std::string& line,
                    std::chrono::seconds limit = std::chrono::seconds(30)) {
        return waitUntil([&] { return logs().find(line) != std::string::npos; },
                         pauseFor(std::chrono::milliseconds(50)), limit);
    }

    // Every request the collector took, in the order it took them.
    std::vector<json> received() const {
        std::vector<json> records;
        std::istringstream lines(readFile(home.root() / "received"));
        for (std::string line; std::getline(lines, line);) {
            records.push_back(json::parse(line));
        }
        return records;
    }

    std::vector<json> bodiesAt(const std::string& path) const {
        std::vector<json> bodies;
        for (const auto& record : received()) {
            if (record["path"] == path) {
                bodies.push_back(record["body"]);
            }
        }
        return bodies;
    }

    std::vector<json> deviceEvents() const { return bodiesAt("/v1/device_usages"); }
    std::vector<json> appUsages() const { return bodiesAt("/v1/app_usages"); }

    bool waitForRecords(const std::function<bool(const std::vector<json>&)>& enough,
                        std::chrono::seconds limit = std::chrono::seconds(30)) {
        return waitUntil([&] { return enough(received()); },
                         pauseFor(std::chrono::milliseconds(100)), limit);
    }

    std::int64_t storedRows(const char* table) const {
        const auto file = home.dataHome() / "ulvarend" / "db.sqlite3";
        if (!std::filesystem::exists(file)) {
            return 0;
        }
        // The agent may be writing at that moment; wait for it as the agent's own connection does.
        SQLite::Database db(file.string(), SQLite::OPEN_READONLY, 5000);
        return db.execAndGet(std::string("SELECT COUNT(*) FROM ") + table).getInt64();
    }

    bool waitForStoredRows(const char* table, std::int64_t count,
                           std::chrono::seconds limit = std::chrono::seconds(20)) const {
        return waitUntil([&] { return storedRows(table) == count; },
                         pauseFor(std::chrono::milliseconds(100)), limit);
    }

    // The agent as a Wayland client of the compositor listening on `socket`, through Qt's
    // offscreen platform: what is in front comes from the compositor, not from Qt.
    void useWaylandDisplay(const std::string& socket) {
        unsetenv("DISPLAY");
        home.set("WAYLAND_DISPLAY", socket);
        home.set("QT_QPA_PLATFORM", "offscreen");
    }

    // The agent polls what is in front once a second and tells nothing outside until a session
    // ends: two polls' time passing is the only sign that it has seen the window now in front.
    static void letTwoPollsPass() { std::this_thread::sleep_for(std::chrono::milliseconds(2500)); }

    // Keeps what is in front there for `stay`, the real time that a recorded duration is checked
    // against: the time passing is what is under test, not a wait for something to happen.
    static void stayInFront(std::chrono::milliseconds stay) { std::this_thread::sleep_for(stay); }

    // How far a recorded duration may be from the real one: the agent sees a switch at its next
    // poll, once a second, and a loaded machine may start that poll late.
    static constexpr std::int64_t kOnePollMs = 1000 + 250;

    // Ends the agent as a logout does; its exit status, or nothing when it is still running
    // after 20 s.
    static std::optional<int> quit(ChildProcess& agent) {
        kill(agent.pid, SIGTERM);
        return waitForExit(agent, std::chrono::seconds(20));
    }

    // `command` run as `agentUser` when that is set and the test runs as root, in the same
    // environment and the same process.
    std::string asAgentUser(const std::string& command) const {
        if (agentUser.empty() || geteuid() != 0) {
            return command;
        }
        return asUser(agentUser, command);
    }

    // Set before SetUp for a desktop that must share the session bus and the agent's files
    // with the agent (a session bus admits only its own user): the bus and the agent run as
    // this user. Empty: both run as the test.
    std::string agentUser;
    // Shell commands run before the agent in its shell, such as "ulimit -f 128; ".
    std::string agentLimits;
    TemporaryHome home;
    TestCertificates certificates;
    std::unique_ptr<ChildProcess> bus;
    std::unique_ptr<ChildProcess> collector;
    int port = 0;
};

} // namespace ulvarend::testing
