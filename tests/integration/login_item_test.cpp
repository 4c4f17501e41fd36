#include "Implementations/LaunchAtLoginHandler.h"
#include "support/ChildProcess.h"
#include "support/TemporaryHome.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace ulvarend {
namespace {

using namespace ::testing;
using namespace ulvarend::testing;

Captured validate(const std::filesystem::path& entry) {
    return capture("desktop-file-validate " + quoted(entry.string()) + " 2>&1");
}

std::string execLine(const std::string& entry) {
    const auto start = entry.find("\nExec=");
    if (start == std::string::npos) {
        return {};
    }
    const auto end = entry.find('\n', start + 1);
    return entry.substr(start + 6, end - start - 6);
}

class LoginItemTest : public Test {
protected:
    TemporaryHome home;
    std::filesystem::path entry = home.configHome() / "autostart" / "ulvarend.desktop";
    std::vector<std::string> errors;
    platform::ErrorReporter reporter = [this](const std::string& e) { errors.push_back(e); };
};

TEST_F(LoginItemTest, EnablingWritesAValidEntryStartingThisExecutableAndDisablingRemovesIt) {
    LaunchAtLoginHandler handler(platform::makeLoginItem(reporter));
    EXPECT_TRUE(handler.setIsEnabled(true));
    ASSERT_TRUE(std::filesystem::exists(entry));
    const std::string text = readFile(entry);
    EXPECT_THAT(text, StartsWith("[Desktop Entry]\n"));
    EXPECT_THAT(text, HasSubstr("\nType=Application\n"));
    EXPECT_THAT(text, HasSubstr("\nName=Ulvarend\n"));
    EXPECT_THAT(text, HasSubstr("\nX-GNOME-Autostart-enabled=true\n"));
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    ASSERT_TRUE(self.is_absolute());
    if (self.string().find_first_of(" \"'\\$%") == std::string::npos) {
        EXPECT_EQ(execLine(text), self.string());
    }
    const auto validation = validate(entry);
    EXPECT_EQ(validation.status, 0) << validation.out;
    EXPECT_EQ(validation.out, "");

    handler.setIsEnabled(true); // again: replaced, not duplicated
    EXPECT_EQ(readFile(entry), text);

    handler.setIsEnabled(false);
    EXPECT_FALSE(std::filesystem::exists(entry));
    handler.setIsEnabled(false); // nothing to remove is no error
    EXPECT_THAT(errors, IsEmpty());
    // Only the entry was ever in the folder.
    EXPECT_TRUE(std::filesystem::is_empty(entry.parent_path()));
}

TEST_F(LoginItemTest, AProgramPathWithSpecialCharactersIsQuotedAndEscaped) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/opt/ulvarend/bin/ulvarend", "/opt/ulvarend/bin/ulvarend"},
        {"/home/a b/ulvarend", "\"/home/a b/ulvarend\""},
        {"/home/100%/ulvarend", "/home/100%%/ulvarend"},
        {"/home/$x \"q\"/u", "\"/home/\\\\$x \\\\\"q\\\\\"/u\""},
        {"/home/back\\slash/u", "\"/home/back\\\\\\\\slash/u\""},
        {"/home/Åse's/u", "\"/home/Åse's/u\""},
        // What the kernel says of a program replaced by an upgrade while it runs.
        {"/opt/ulvarend/bin/ulvarend (deleted)", "/opt/ulvarend/bin/ulvarend"},
    };
    for (const auto& [program, expected] : cases) {
        SCOPED_TRACE(program);
        LaunchAtLoginHandler(platform::makeLoginItem(entry, program, reporter)).setIsEnabled(true);
        const std::string text = readFile(entry);
        EXPECT_EQ(execLine(text), expected);
        const auto validation = validate(entry);
        EXPECT_EQ(validation.status, 0) << validation.out;
    }
    EXPECT_THAT(errors, IsEmpty());
}

TEST_F(LoginItemTest, AnEntryThatCannotBeWrittenIsReportedNotThrown) {
    writeFile(home.configHome() / "autostart", "a file, not a folder");
    LaunchAtLoginHandler handler(platform::makeLoginItem(reporter));
    bool written = true;
    EXPECT_NO_THROW(written = handler.setIsEnabled(true));
    EXPECT_FALSE(written);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_THAT(errors[0], HasSubstr("Could not write the autostart entry"));
}

// The entry the package installs: it is what lets a browser or mail program hand a setup link
// to the agent.
TEST(DesktopEntryTest, TheInstalledEntryIsValidAndHandlesTheSetupLinkScheme) {
    const std::filesystem::path entry = ULVAREND_DESKTOP_ENTRY;
    const auto validation = validate(entry);
    EXPECT_EQ(validation.status, 0) << validation.out;
    EXPECT_EQ(validation.out, "");
    const std::string text = readFile(entry);
    EXPECT_EQ(execLine(text), "ulvarend %u");
    EXPECT_THAT(text, HasSubstr("\nMimeType=x-scheme-handler/ulvarend;\n"));
    EXPECT_THAT(text, HasSubstr("\nIcon=ulvarend\n"));
}

} // namespace
} // namespace ulvarend
