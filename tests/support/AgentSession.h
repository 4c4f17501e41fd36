#pragma once

// The built agent in a session of its own: Xvfb with openbox, a private session bus, the
// loopback collector and a fresh HOME. What it did is read from the collector's output, the
// database and the log files.

#include "support/ChildProcess.h"
#include "support/TemporaryHome.h"
#include "support/TestCertificates.h"
#include "support/XServer.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

namespace ulvarend::testing {

using namespace std::chrono_literals;
using nlohmann::json;

inline std::string readAll(const std::filesystem::path& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

// Output of a command, with its trailing line break removed.
inline std::string output(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
            text += buffer;
        }
        pclose(pipe);
    }
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

// Waits for a child without ending it; its status, or nothing when it is still running.
inline std::optional<int> waitForExit(ChildProcess& child, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(child.pid, &status, WNOHANG) == child.pid) {
            child.pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(20ms);
    }
    return std::nullopt;
}

class AgentSession : public ::testing::Test {
protected:
    void SetUp() override {
        home.set("XDG_RUNTIME_DIR", home.root() / "run");
        std::filesystem::create_directory(home.root() / "run", home.root());
        std::filesystem::permissions(home.root() / "run", std::filesystem::perms::owner_all);
        x.startWindowManager();
        home.set("DISPLAY", x.display());
        const auto busSocket = home.root() / "bus";
        bus = std::make_unique<ChildProcess>(std::vector<std::string>{
            "dbus-daemon", "--session", "--nofork", "--address=unix:path=" + busSocket.string()});
        ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(busSocket); }, [] {}));
        home.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + busSocket.string());
        home.set("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/ulvarend-system-bus");
        unsetenv("XDG_SESSION_ID");
        unsetenv("WAYLAND_DISPLAY");
        home.set("QT_QPA_PLATFORM", "xcb");
        home.set("ULVAREND_CA_FILE", certificates.caFile());
        startCollector({});
        home.set("ULVAREND_COLLECTION_HOST", "127.0.0.1:" + std::to_string(port));
    }

    void TearDown() override {
        if (::testing::Test::HasFailure()) {
            std::cerr << "--- agent output\n"
                      << readAll(home.root() / "agent.out") << "--- logs\n"
                      << logs() << "--- collector\n"
                      << readAll(home.root() / "collector.err");
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
        ASSERT_TRUE(waitUntil([&] { return !readAll(portFile).empty(); }, [] {}));
        port = std::stoi(readAll(portFile));
    }

    std::unique_ptr<ChildProcess> startAgent(const std::optional<std::string>& link = {}) {
        std::string command = "exec " + quoted(ULVAREND_AGENT);
        if (link) {
            command += " " + quoted(*link);
        }
        command += " >>" + quoted(home.root() / "agent.out") + " 2>&1";
        return std::make_unique<ChildProcess>(std::vector<std::string>{"sh", "-c", command});
    }

    // A second invocation, as the desktop makes when a link is opened; its exit status.
    int invoke(const std::string& link) {
        return run(quoted(ULVAREND_AGENT) + " " + quoted(link) + " >>" +
                   quoted(home.root() / "agent.out") + " 2>&1");
    }

    static std::string link(const std::string& arguments) {
        return output(quoted(ULVAREND_LINK_TOOL) + " --participant p-42 " + arguments);
    }

    std::string logs() const {
        std::string all;
        const auto folder = home.stateHome() / "ulvarend" / "logs";
        if (std::filesystem::exists(folder)) {
            for (const auto& entry : std::filesystem::directory_iterator(folder)) {
                all += readAll(entry.path());
            }
        }
        return all;
    }

    bool waitForLog(const std::string& line, std::chrono::seconds limit = 30s) {
        return waitUntil([&] { return logs().find(line) != std::string::npos; },
                         [] { std::this_thread::sleep_for(50ms); }, limit);
    }

    std::vector<json> received() const {
        std::vector<json> records;
        std::istringstream lines(readAll(home.root() / "received"));
        for (std::string line; std::getline(lines, line);) {
            records.push_back(json::parse(line));
        }
        return records;
    }

    std::vector<json> deviceEvents() const {
        std::vector<json> events;
        for (const auto& record : received()) {
            if (record["path"] == "/v1/device_usages") {
                events.push_back(record["body"]);
            }
        }
        return events;
    }

    bool waitForRecords(const std::function<bool(const std::vector<json>&)>& enough,
                        std::chrono::seconds limit = 30s) {
        return waitUntil([&] { return enough(received()); },
                         [] { std::this_thread::sleep_for(100ms); }, limit);
    }

    std::int64_t storedRows(const char* table) const {
        const auto file = home.dataHome() / "ulvarend" / "db.sqlite3";
        if (!std::filesystem::exists(file)) {
            return 0;
        }
        SQLite::Database db(file.string(), SQLite::OPEN_READONLY);
        return db.execAndGet(std::string("SELECT COUNT(*) FROM ") + table).getInt64();
    }

    // Presses Return in the agent's alert that is showing, then waits for it to go, so that
    // the next answer cannot reach the same alert.
    void answerAlert() {
        const std::string display = "DISPLAY=" + x.display() + " ";
        const auto window = output(display + "xdotool search --sync --onlyvisible --limit 1 "
                                             "--name '^Ulvarend$' 2>/dev/null");
        ASSERT_FALSE(window.empty());
        run(display + "xdotool windowactivate --sync " + window + " key Return >/dev/null 2>&1");
        ASSERT_TRUE(waitUntil(
            [&] {
                const auto visible = output(
                    display + "xdotool search --onlyvisible --name '^Ulvarend$' 2>/dev/null");
                return ("\n" + visible + "\n").find("\n" + window + "\n") == std::string::npos;
            },
            [] { std::this_thread::sleep_for(50ms); }));
    }

    // An agent set up with a one-member household through a link at launch, its alerts
    // answered; it tracks once this returns.
    std::unique_ptr<ChildProcess> setUpAgent(const std::string& type = "Device") {
        auto agent = startAgent(link("--type " + type + " --days 14 Anna"));
        EXPECT_TRUE(waitForLog("App has not been setup."));
        answerAlert(); // "Klar til opsætning"
        EXPECT_TRUE(waitForLog("App is setup!"));
        answerAlert(); // "Opsætning færdiggjort"
        return agent;
    }

    // A window of a test application whose class names it.
    std::string showWindow(const std::string& application) {
        const std::string display = "DISPLAY=" + x.display() + " ";
        run(display + "xmessage -name " + application + " -geometry 300x100 " + application +
            " >/dev/null 2>&1 &");
        const auto window =
            output(display + "xdotool search --sync --limit 1 --classname '^" + application + "$'");
        run(display + "xdotool set_window --class " + application + " " + window);
        return window;
    }

    void activate(const std::string& window) {
        ASSERT_EQ(run("DISPLAY=" + x.display() + " xdotool windowactivate --sync " + window +
                      " >/dev/null 2>&1"),
                  0);
    }

    void screenSaver(bool active) {
        ASSERT_EQ(run("dbus-send --session --type=signal /org/freedesktop/ScreenSaver "
                      "org.freedesktop.ScreenSaver.ActiveChanged boolean:" +
                      std::string(active ? "true" : "false")),
                  0);
    }

    TemporaryHome home;
    XServer x;
    TestCertificates certificates;
    std::unique_ptr<ChildProcess> bus;
    std::unique_ptr<ChildProcess> collector;
    int port = 0;
};

} // namespace ulvarend::testing
