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
#include <nlohmann/json.hpp>
#include <sstream>

namespace ulvarend::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

std::string readAll(const std::filesystem::path& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

// Output of a command, with its trailing line break removed.
std::string output(const std::string& command) {
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
std::optional<int> waitForExit(ChildProcess& child, std::chrono::seconds limit) {
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

TEST_F(AgentSession, FirstLaunchThenALinkHandedOverThenTrackingUntilSigterm) {
    auto agent = startAgent();
    ASSERT_TRUE(waitForLog("App has not been setup."));
    // The setup-missing alert is still open: the link waits for it to close by itself.
    EXPECT_EQ(invoke(link("--type AppAndDevice --days 14 Anna Bo")), 0);
    EXPECT_EQ(run(quoted(ULVAREND_AGENT) + " >/dev/null 2>&1"), 0)
        << "a second agent leaves at once";
    EXPECT_EQ(logs().find("App is setup!"), std::string::npos);
    ASSERT_TRUE(waitForLog("App is setup!", 40s));
    answerAlert(); // "Opsætning færdiggjort"
    // A household of two is asked who sits at the computer.
    answerAlert(); // "Er du Anna?" -> "Ja, det er mig"
    ASSERT_TRUE(waitForRecords([](const auto& r) { return !r.empty(); }));
    auto events = deviceEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["participant_identifier"], "p-42:Anna");
    EXPECT_EQ(events[0]["event_type"], 1);
    EXPECT_EQ(events[0]["user_count"], 2);

    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    const auto one = showWindow("E2eOne");
    const auto two = showWindow("E2eTwo");
    activate(one);
    const auto firstStart = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(4s);
    activate(two);
    const auto secondStart = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(3s);
    activate(one);
    const auto secondEnd = std::chrono::steady_clock::now();

    std::map<std::string, std::vector<std::int64_t>> durations;
    ASSERT_TRUE(waitForRecords([&](const auto& records) {
        durations.clear();
        for (const auto& record : records) {
            if (record["path"] == "/v1/app_usages") {
                durations[record["body"]["package"]].push_back(record["body"]["duration"]);
            }
        }
        return durations.count("E2eOne") != 0 && durations.count("E2eTwo") != 0;
    }));
    // The agent sees a switch at its next poll, once a second.
    const auto first = duration_cast<milliseconds>(secondStart - firstStart).count();
    const auto second = duration_cast<milliseconds>(secondEnd - secondStart).count();
    ASSERT_EQ(durations["E2eOne"].size(), 1u);
    EXPECT_NEAR(durations["E2eOne"][0], first, 1000 + 250);
    ASSERT_EQ(durations["E2eTwo"].size(), 1u);
    EXPECT_NEAR(durations["E2eTwo"][0], second, 1000 + 250);

    screenSaver(true);
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 2; }, [] {}, 10s));
    EXPECT_EQ(deviceEvents()[1]["event_type"], 0);
    screenSaver(false);
    answerAlert(); // asked again after waking
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 3; }, [] {}, 10s));
    EXPECT_EQ(deviceEvents()[2]["event_type"], 1);

    kill(agent->pid, SIGTERM);
    EXPECT_EQ(waitForExit(*agent, 20s), 0);
    ASSERT_EQ(deviceEvents().size(), 4u);
    EXPECT_EQ(deviceEvents()[3]["event_type"], 0);
    EXPECT_EQ(storedRows("device_usages"), 0);
}

TEST_F(AgentSession, AFailedLinkBeforeSetupEndsTheAgentWithOne) {
    auto agent = startAgent("ulvarend://setup?data=bm90IGpzb24%3D");
    ASSERT_TRUE(waitForLog("App has not been setup."));
    answerAlert(); // "Klar til opsætning"
    ASSERT_TRUE(waitForLog("Invalid startup url."));
    answerAlert(); // "Opsætning mislykkedes"
    EXPECT_EQ(waitForExit(*agent, 20s), 1);
    EXPECT_FALSE(std::filesystem::exists(home.configHome() / "autostart/ulvarend.desktop"));
    EXPECT_TRUE(received().empty());
}

TEST_F(AgentSession, AFailedLinkAfterSetupLeavesTheStudyRunning) {
    auto agent = startAgent(link("--type Device --days 14 Anna"));
    ASSERT_TRUE(waitForLog("App has not been setup."));
    answerAlert(); // "Klar til opsætning"
    ASSERT_TRUE(waitForLog("App is setup!"));
    answerAlert(); // "Opsætning færdiggjort"
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 1; }, [] {}, 20s));

    // A link whose day count is no number: nothing of it may replace the running study.
    const auto bad =
        output("printf '%s' '{\"user_id\":\"intruder\",\"users\":\"[Mallory]\",\"tracking_type\":"
               "\"1\",\"measurement_days\":\"many\"}' | base64 -w0");
    EXPECT_EQ(invoke("ulvarend://setup?data=" + bad), 0);
    ASSERT_TRUE(waitForLog("Invalid value: mesaurement_days"));
    answerAlert(); // "Opsætning mislykkedes"
    std::this_thread::sleep_for(1s);
    ASSERT_FALSE(waitForExit(*agent, 0s).has_value()) << "the agent must go on";

    screenSaver(true);
    ASSERT_TRUE(waitUntil([&] { return deviceEvents().size() == 2; }, [] {}, 10s));
    EXPECT_EQ(deviceEvents()[1]["participant_identifier"], "p-42:Anna");
    EXPECT_EQ(readAll(home.configHome() / "ulvarend/defaults.json").find("Mallory"),
              std::string::npos);
    kill(agent->pid, SIGTERM);
    EXPECT_EQ(waitForExit(*agent, 20s), 0);
}

TEST_F(AgentSession, APeriodOfZeroDaysEndsAtOnceWithZeroAndNoAutostart) {
    auto agent = startAgent(link("--type AppAndDevice --days 0 Anna"));
    ASSERT_TRUE(waitForLog("App has not been setup."));
    answerAlert(); // "Klar til opsætning"
    ASSERT_TRUE(waitForLog("App is setup!"));
    answerAlert(); // "Opsætning færdiggjort"
    answerAlert(); // "Tracking perioden er afsluttet"
    EXPECT_EQ(waitForExit(*agent, 20s), 0);
    EXPECT_TRUE(waitForLog("Tracking date has been reached.", 1s));
    EXPECT_FALSE(std::filesystem::exists(home.configHome() / "autostart/ulvarend.desktop"));
}

TEST_F(AgentSession, RecordsTheCollectorRefusesAreStoredAndSentOnceItRecovers) {
    startCollector({"--status", "500"});
    auto agent = startAgent(link("--type Device --days 14 Anna"));
    ASSERT_TRUE(waitForLog("App has not been setup."));
    answerAlert();
    ASSERT_TRUE(waitForLog("App is setup!"));
    answerAlert();
    ASSERT_TRUE(waitUntil([&] { return storedRows("device_usages") == 1; },
                          [] { std::this_thread::sleep_for(100ms); }, 20s));
    EXPECT_TRUE(received().empty());

    startCollector({});
    // Stored records go out with the next batch, a minute of polls after the last.
    ASSERT_TRUE(waitUntil([&] { return storedRows("device_usages") == 0; },
                          [] { std::this_thread::sleep_for(200ms); }, 90s));
    ASSERT_EQ(deviceEvents().size(), 1u);
    EXPECT_EQ(deviceEvents()[0]["event_type"], 1);
    kill(agent->pid, SIGTERM);
    EXPECT_EQ(waitForExit(*agent, 20s), 0);
}

} // namespace
} // namespace ulvarend::testing
