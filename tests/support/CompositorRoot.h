#pragma once

// Where a compositor under test comes from: this machine (Debian 12), or a root file system of
// Debian 13 or 14 that scripts/lib/compositor-root makes and keeps. The agent and the test
// driver stay on this machine either way; a compositor in a root reaches them through the
// temporary folder, which is mounted at the same path inside the root, so its runtime folder,
// its HOME, its sockets and the session bus have one path on both sides. Only the compositor
// runs inside; it runs as kSwayUser, whom the script makes there with this machine's uid.

#include "support/ChildProcess.h"
#include "support/Sway.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <ostream>
#include <string>

namespace ulvarend::testing {

enum class Distribution { host, trixie, forky };

// "host", "trixie", "forky": a test's name ends with it.
inline std::string distributionName(Distribution distribution) {
    switch (distribution) {
    case Distribution::trixie:
        return "trixie";
    case Distribution::forky:
        return "forky";
    case Distribution::host:
        break;
    }
    return "host";
}

// How gtest prints one, in test lists too.
inline void PrintTo(Distribution distribution, std::ostream* out) {
    *out << distributionName(distribution);
}

inline std::string distributionParamName(const ::testing::TestParamInfo<Distribution>& info) {
    return distributionName(info.param);
}

// Every distribution the compositor tests run on.
inline const auto kEveryDistribution =
    ::testing::Values(Distribution::host, Distribution::trixie, Distribution::forky);

class CompositorRoot {
public:
    // Makes or finds the root of `distribution`; `made()` says whether that worked.
    explicit CompositorRoot(Distribution distribution_) : distribution(distribution_) {
        ensureCompositorUser();
        // Xwayland puts its socket there and refuses a folder that is not everybody's (as a
        // compositor of the test user that ran first may have made it).
        if (geteuid() == 0) {
            std::error_code ignored;
            std::filesystem::create_directories("/tmp/.X11-unix", ignored);
            run("chown root:root /tmp/.X11-unix && chmod 1777 /tmp/.X11-unix");
        }
        if (distribution == Distribution::host) {
            return;
        }
        const auto script =
            std::filesystem::path(ULVAREND_CERTIFICATES_SCRIPT).parent_path() / "compositor-root";
        const auto made =
            capture(quoted(script.string()) + " " + distributionName(distribution) + " 2>&1");
        if (made.status != 0) {
            whyNot = made.out;
            return;
        }
        // The last line it printed; what mmdebstrap said comes before.
        std::string last = made.out;
        while (!last.empty() && last.back() == '\n') {
            last.pop_back();
        }
        path = last.substr(
            last.find_last_of('\n') == std::string::npos ? 0 : last.find_last_of('\n') + 1);
        if (!std::filesystem::is_directory(path / "usr" / "bin")) {
            whyNot = "no root file system at " + path.string() + ":\n" + made.out;
        }
    }

    // False, with the reason, when the root could not be made (no mirror, no root rights).
    bool made(std::string* why) const {
        *why = whyNot;
        return whyNot.empty();
    }

    // `command`, one shell command line without redirections of its own, run as kSwayUser:
    // here, or inside the root in a private mount namespace that goes with it.
    std::string asUser(const std::string& command) const {
        if (distribution == Distribution::host) {
            return geteuid() == 0 ? testing::asUser(kSwayUser, command) : command;
        }
        const auto scripts = std::filesystem::path(ULVAREND_CERTIFICATES_SCRIPT).parent_path();
        const std::string shared = std::filesystem::temp_directory_path().string();
        // X11 servers' sockets, which the clients here look for in this folder whatever the
        // temporary folder is.
        const std::string x11 = shared == "/tmp" ? "" : " --bind /tmp/.X11-unix";
        return quoted((scripts / "in-root").string()) + " " + quoted(path.string()) + " --bind " +
               quoted(shared) + x11 + " --user " + kSwayUser + " -- " + command;
    }

    // A file of the distribution, as this machine reaches it.
    std::filesystem::path file(const std::filesystem::path& absolute) const {
        return distribution == Distribution::host ? absolute : path / absolute.relative_path();
    }

    const Distribution distribution;

private:
    std::filesystem::path path;
    std::string whyNot;
};

} // namespace ulvarend::testing
