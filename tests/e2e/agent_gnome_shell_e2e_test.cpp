// The built agent on GNOME Shell: the headless shell with our extension and foot terminals,
// the agent running as the shell's user on the shell's session bus, in the same HOME, as on a
// real login. Qt draws off screen; the frontmost application comes from the extension. Each
// test runs against this machine's shell (GNOME 43) and those of Debian 13 (48) and 14 (50).

#include "support/AgentHarness.h"
#include "support/GnomeShell.h"

#include <chrono>
#include <gtest/gtest.h>
#include <iostream>

namespace ulvarend::testing {
namespace {

using namespace std::chrono_literals;
using std::chrono::duration_cast;
using std::chrono::milliseconds;

constexpr const char* kAlpha = "org.example.Alpha";
constexpr const char* kBeta = "org.example.Beta";
constexpr const char* kAppIndicator = "ubuntu-appindicators@ubuntu.com";

class GnomeShellAgentSession : public AgentHarness,
                               public ::testing::WithParamInterface<Distribution> {
protected:
    void SetUp() override {
        std::string whyNoRoot;
        ASSERT_TRUE(shell.distribution().made(&whyNoRoot)) << whyNoRoot;
        AgentHarness::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        useWaylandDisplay(shell.socketPath());
        home.set("XDG_CURRENT_DESKTOP", "GNOME");
        // The shell's bus takes only its own user: the agent runs as that user, and reads the
        // CA file as that user.
        home.set("DBUS_SESSION_BUS_ADDRESS", shell.busAddress());
        std::filesystem::permissions(std::filesystem::path(certificates.caFile()).parent_path(),
                                     std::filesystem::perms::owner_all |
                                         std::filesystem::perms::group_exec |
                                         std::filesystem::perms::others_exec);
        agentUser = kSwayUser;
        writeSetUpDefaults();
    }

    void TearDown() override {
        if (HasFailure()) {
            std::cerr << "--- shell\n" << readFile(home.root() / "shell.log");
        }
        AgentHarness::TearDown();
    }

    void startShell(GnomeShell::Extension extension) {
        if (!shell.start(extension)) {
            // Another Debian's shell is there to be tried: not starting is a failure.
            ASSERT_EQ(GetParam(), Distribution::host) << readFile(home.root() / "shell.log");
            GTEST_SKIP() << "headless GNOME Shell does not start here:\n"
                         << readFile(home.root() / "shell.log");
        }
        // The shell reads the installed extensions after it shows itself; the agent, which asks
        // the shell about ours, is started once the shell knows it.
        ASSERT_TRUE(
            waitUntil([&] { return stateOf(shell.frontmostUuid()) != 0; }, pauseFor(100ms), 20s))
            << "the shell does not know " << shell.frontmostUuid();
    }

    std::string enabledExtensions() const {
        return shell.userOutput("gsettings get org.gnome.shell enabled-extensions");
    }

    // Keeps the window of `appId` in front from when the shell says it is.
    std::chrono::steady_clock::time_point focusedAt(const std::string& appId) {
        EXPECT_TRUE(shell.waitForFocus(appId)) << shell.focused();
        return std::chrono::steady_clock::now();
    }

    std::vector<std::string> extensionsEnabled() const {
        std::vector<std::string> ids;
        const auto list = enabledExtensions();
        for (auto at = list.find('\''); at != std::string::npos;) {
            const auto end = list.find('\'', at + 1);
            if (end == std::string::npos) {
                break;
            }
            ids.push_back(list.substr(at + 1, end - at - 1));
            at = list.find('\'', end + 1);
        }
        return ids;
    }

    void setEnabled(const std::vector<std::string>& ids) {
        std::string list;
        for (const auto& id : ids) {
            list += (list.empty() ? "'" : ", '") + id + "'";
        }
        ASSERT_EQ(shell.userCommand("gsettings set org.gnome.shell enabled-extensions \"[" + list +
                                    "]\""),
                  0);
    }

    int stateOf(const std::string& uuid) const { return shell.extensionInfo(uuid).first; }

    GnomeShell shell{home.root(), GetParam()};
};

TEST_P(GnomeShellAgentSession, SwitchesBetweenWaylandAndXWaylandWindowsAreRecorded) {
    startShell(GnomeShell::Extension::enabled);
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    auto alpha = shell.client(kAlpha);
    focusedAt(kAlpha);
    auto agent = startAgent();
    ASSERT_TRUE(waitForLog("Frontmost application source: GNOME Shell"));
    ASSERT_TRUE(waitForRecords([&](const auto&) { return !deviceEvents().empty(); }));
    // The agent polls twice with alpha in front, so its session has begun.
    letTwoPollsPass();

    auto beta = shell.client(kBeta);
    const auto betaStart = focusedAt(kBeta);
    stayInFront(3s);
    beta.reset();
    const auto alphaAgain = focusedAt(kAlpha);
    stayInFront(2s);
    auto x = shell.xClient();
    const auto xStart = focusedAt("Xmessage");
    stayInFront(2s);
    x.reset();
    const auto xEnd = focusedAt(kAlpha);

    ASSERT_TRUE(waitForRecords([&](const auto&) { return appUsages().size() >= 4; }));
    const auto usages = appUsages();
    ASSERT_EQ(usages.size(), 4u);
    EXPECT_EQ(usages[0]["package"], kAlpha);
    EXPECT_EQ(usages[1]["package"], kBeta);
    EXPECT_EQ(usages[2]["package"], kAlpha);
    EXPECT_EQ(usages[3]["package"], "Xmessage");
    EXPECT_EQ(usages[1]["participant_identifier"], "p-42:Anna");
    EXPECT_NEAR(usages[1]["duration"].get<std::int64_t>(),
                duration_cast<milliseconds>(alphaAgain - betaStart).count(), kOnePollMs);
    EXPECT_NEAR(usages[2]["duration"].get<std::int64_t>(),
                duration_cast<milliseconds>(xStart - alphaAgain).count(), kOnePollMs);
    EXPECT_NEAR(usages[3]["duration"].get<std::int64_t>(),
                duration_cast<milliseconds>(xEnd - xStart).count(), kOnePollMs);

    // Without AppIndicator stock GNOME shows no status icon: the agent enabled it.
    EXPECT_NE(enabledExtensions().find("ubuntu-appindicators@ubuntu.com"), std::string::npos);
    EXPECT_NE(logs().find("Enabled the GNOME Shell extension ubuntu-appindicators@ubuntu.com"),
              std::string::npos);
    EXPECT_EQ(quit(*agent), 0);
    EXPECT_EQ(logs().find("No source for the frontmost application"), std::string::npos);
}

TEST_P(GnomeShellAgentSession, TheExtensionNotEnabledYetIsEnabledAndThenTaken) {
    startShell(GnomeShell::Extension::installedOnly);
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    EXPECT_EQ(enabledExtensions().find("ulvarend"), std::string::npos);
    auto agent = startAgent();
    ASSERT_TRUE(waitForLog("No source for the frontmost application: "));
    const auto log = logs();
    // The shell knows the extension from its start, and says so.
    EXPECT_NE(log.find("GNOME Shell: the extension ulvarend-frontmost@ulvarend.org "
                       "(ulvarend-frontmost-legacy@ulvarend.org before GNOME 45) is not running "
                       "yet; it is enabled now and GNOME Shell loads it at once"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Enabled the GNOME Shell extension ulvarend-frontmost-legacy@ulvarend.org"),
              std::string::npos);
    // The running shell knows the extension from its start, so it loads it at once.
    EXPECT_NE(enabledExtensions().find(GnomeShell::kFrontmostLegacyUuid), std::string::npos);
    ASSERT_TRUE(waitForLog("Frontmost application source: GNOME Shell"));
    EXPECT_LT(logs().find("No source for the frontmost application"),
              logs().find("Frontmost application source: GNOME Shell"));

    auto alpha = shell.client(kAlpha);
    focusedAt(kAlpha);
    letTwoPollsPass();
    auto beta = shell.client(kBeta);
    focusedAt(kBeta);
    ASSERT_TRUE(waitForRecords([&](const auto&) { return !appUsages().empty(); }));
    EXPECT_EQ(appUsages()[0]["package"], kAlpha);

    // The shell runs the one for its version, and said nothing against it.
    EXPECT_EQ(shell.extensionInfo(shell.frontmostUuid()), std::make_pair(1, std::string()));
    EXPECT_EQ(shell.extensionErrors(), "");
    EXPECT_EQ(quit(*agent), 0);
}

TEST_P(GnomeShellAgentSession, EnabledTwiceInARowTheExtensionRunsOnceWithoutAnError) {
    startShell(GnomeShell::Extension::installedOnly);
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    const auto uuid = shell.frontmostUuid();
    // Two changes of the list in a row, as two writers make them: the shell enables ours again
    // before it is done with the first. AppIndicator, enabled by the second, comes up after
    // (or fails: it is not ours, and two changes in a row may trip it up as well).
    setEnabled({uuid});
    setEnabled({uuid, kAppIndicator});
    const auto sleep = pauseFor(100ms);
    ASSERT_TRUE(waitUntil(
        [&] {
            const int state = stateOf(kAppIndicator);
            return state == 1 || state == 3;
        },
        sleep, 20s))
        << stateOf(kAppIndicator);
    EXPECT_EQ(shell.extensionInfo(uuid), std::make_pair(1, std::string()));
    EXPECT_EQ(shell.extensionErrors(), "");
    EXPECT_TRUE(waitUntil([&] { return shell.focused() == "(false, '')"; }, sleep, 20s))
        << shell.focused();
}

INSTANTIATE_TEST_SUITE_P(Debian, GnomeShellAgentSession, kEveryDistribution, distributionParamName);

} // namespace
} // namespace ulvarend::testing
