// The agent runs its program again at start so that GnuTLS sees GNUTLS_NO_IMPLICIT_INIT while it
// loads: the variable must be there for the libraries of the second image, gone from what its
// children inherit, and a variable of the caller's own must stay as it was.

#include "platform/Process.h"
#include "support/ChildProcess.h"
#include "support/TemporaryHome.h"

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace ulvarend::testing {
namespace {

constexpr const char* kVariable = "GNUTLS_NO_IMPLICIT_INIT";
constexpr const char* kReport = "ULVAREND_TEST_LIBRARY_SET_UP_REPORT";

bool inEnvironmentAtLoad(const std::string& entry) {
    // The environment the program was started with, NUL-separated, as the libraries read it.
    const std::string environment = readFile("/proc/self/environ");
    const std::string nul(1, '\0');
    return (nul + environment).find(nul + entry + nul) != std::string::npos;
}

// The exit status of `body`, run in a child of the test.
int inChild(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(LibrarySetUp, TheSecondImageLoadsWithTheVariableAndPassesNoneOn) {
    const auto folder = makeTemporaryFolder("ulvarend-library-set-up-");
    const auto report = folder / "report";
    const int status = inChild([&] {
        unsetenv(kVariable);
        setenv(kReport, report.c_str(), 1);
        std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        std::string filter = "--gtest_filter=LibrarySetUpImage.*";
        char* argv[] = {self.data(), filter.data(), nullptr};
        platform::skipUnusedLibrarySetUp(argv);
        return 99; // not run again
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(report), "loaded with it: yes; inherited: no; name kept: yes");
    std::filesystem::remove_all(folder);
}

// Runs only in the image the test above makes, as the agent's `main` would.
TEST(LibrarySetUpImage, ReportsWhatItsLibrariesSawAndItsChildrenInherit) {
    const char* report = std::getenv(kReport);
    if (report == nullptr) {
        GTEST_SKIP() << "runs only in the image the test above makes";
    }
    char* argv[] = {nullptr};
    platform::skipUnusedLibrarySetUp(argv);
    const std::string comm = readFile("/proc/self/comm");
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").filename().string();
    writeFile(report,
              std::string("loaded with it: ") +
                  (inEnvironmentAtLoad(std::string(kVariable) + "=1") ? "yes" : "no") +
                  "; inherited: " + (output("env").find(kVariable) != std::string::npos ? "yes" : "no") +
                  "; name kept: " + (comm == self.substr(0, 15) + "\n" ? "yes" : "no"));
}

TEST(LibrarySetUp, AVariableOfTheCallersOwnIsLeftAsItWas) {
    const int status = inChild([] {
        setenv(kVariable, "0", 1);
        char* argv[] = {nullptr};
        platform::skipUnusedLibrarySetUp(argv);
        const char* value = std::getenv(kVariable);
        return value != nullptr && std::string(value) == "0" ? 0 : 1;
    });
    EXPECT_EQ(status, 0) << "the caller's variable was changed, or the program run again";
}

} // namespace
} // namespace ulvarend::testing
