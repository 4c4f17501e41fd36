#include "platform/DefaultsStore.h"
#include "support/TemporaryHome.h"

#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <sys/stat.h>

namespace ulvarend {
namespace {

using namespace std::chrono;
using namespace ::testing;
using platform::DefaultsStore;
using ulvarend::testing::readFile;
using ulvarend::testing::TemporaryHome;
using ulvarend::testing::writeFile;

mode_t modeOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

class DefaultsStoreTest : public Test {
protected:
    TemporaryHome home;
    std::filesystem::path file = home.configHome() / "ulvarend" / "defaults.json";
    std::vector<std::string> errors;

    std::shared_ptr<DefaultsStore> open() {
        return platform::makeDefaultsStore(
            [this](const std::string& line) { errors.push_back(line); });
    }
};

const DefaultsStore::Date kDate =
    DefaultsStore::Date{} + seconds{1'700'000'000} + nanoseconds{123'456'789};

TEST_F(DefaultsStoreTest, EveryTypeSurvivesAReopenInAnOwnerOnlyFile) {
    {
        auto store = open();
        store->setBoolean("flag", true);
        store->setInteger("number", -42);
        store->setString("text", "Søren Åse");
        store->setStringArray("list", {"b", "a", ""});
        store->setStringArray("none", {});
        store->setDate("when", kDate);
        // On disk before the write returns: a second store sees it at once.
        EXPECT_EQ(open()->date("when"), kDate);
        // Writes made together and then given up leave no trace.
        EXPECT_FALSE(store->writeTogether([&] {
            store->setString("text", "other");
            return false;
        }));
        EXPECT_EQ(store->string("text"), "Søren Åse");
    }
    auto store = open();
    EXPECT_EQ(store->boolean("flag"), true);
    EXPECT_EQ(store->integer("number"), -42);
    EXPECT_EQ(store->string("text"), "Søren Åse");
    EXPECT_EQ(store->stringArray("list"), (std::vector<std::string>{"b", "a", ""}));
    EXPECT_EQ(store->stringArray("none"), std::vector<std::string>{});
    EXPECT_EQ(store->date("when"), kDate);
    EXPECT_EQ(store->string("missing"), std::nullopt);
    EXPECT_EQ(modeOf(file.parent_path()), 0700u);
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_THAT(errors, IsEmpty());
    // Only the store's file is left in the folder: no temporary files behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file.parent_path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST_F(DefaultsStoreTest, AValueNeverReadsAsAnotherType) {
    auto store = open();
    store->setBoolean("flag", true);
    store->setInteger("number", 1);
    store->setString("text", "2021-03-04T05:06:07Z");
    store->setStringArray("list", {"x"});
    store->setDate("when", kDate);

    EXPECT_EQ(store->integer("flag"), std::nullopt);
    EXPECT_EQ(store->string("flag"), std::nullopt);
    EXPECT_EQ(store->boolean("number"), std::nullopt);
    EXPECT_EQ(store->date("number"), std::nullopt);
    EXPECT_EQ(store->date("text"), std::nullopt);
    EXPECT_EQ(store->stringArray("text"), std::nullopt);
    EXPECT_EQ(store->string("list"), std::nullopt);
    EXPECT_EQ(store->string("when"), std::nullopt);
    EXPECT_EQ(store->integer("when"), std::nullopt);
    EXPECT_EQ(store->stringArray("when"), std::nullopt);
}

TEST_F(DefaultsStoreTest, HandWrittenValuesOfTheWrongShapeReadAsAbsent) {
    writeFile(file, R"({
        "float": 1.0, "huge": 18446744073709551615, "mixed": ["a", 1],
        "stringDate": "2021-03-04T05:06:07Z",
        "untagged": {"nanosecondsSince1970": 5},
        "extra": {"type": "date", "nanosecondsSince1970": 5, "zone": "UTC"},
        "textNanos": {"type": "date", "nanosecondsSince1970": "5"},
        "good": {"type": "date", "nanosecondsSince1970": 5},
        "null": null
    })");
    auto store = open();
    EXPECT_EQ(store->integer("float"), std::nullopt);
    EXPECT_EQ(store->integer("huge"), std::nullopt);
    EXPECT_EQ(store->stringArray("mixed"), std::nullopt);
    EXPECT_EQ(store->date("stringDate"), std::nullopt);
    EXPECT_EQ(store->date("untagged"), std::nullopt);
    EXPECT_EQ(store->date("extra"), std::nullopt);
    EXPECT_EQ(store->date("textNanos"), std::nullopt);
    EXPECT_EQ(store->date("good"), DefaultsStore::Date{} + nanoseconds{5});
    EXPECT_EQ(store->boolean("null"), std::nullopt);
    EXPECT_EQ(store->string("null"), std::nullopt);
    EXPECT_THAT(errors, IsEmpty());
}

TEST_F(DefaultsStoreTest, ACorruptFileIsMovedAsideAndTheNextWriteStartsAValidFile) {
    for (const std::string& contents :
         {std::string("{\"userList\": [\"a\""), std::string("[1, 2]"), std::string()}) {
        SCOPED_TRACE(contents);
        errors.clear();
        std::filesystem::remove_all(file.parent_path());
        writeFile(file, contents);

        auto store = open();
        EXPECT_EQ(store->stringArray("userList"), std::nullopt);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_FALSE(std::filesystem::exists(file));
        std::vector<std::filesystem::path> asides;
        for (const auto& entry : std::filesystem::directory_iterator(file.parent_path())) {
            asides.push_back(entry.path());
        }
        ASSERT_EQ(asides.size(), 1u);
        EXPECT_THAT(asides[0].filename().string(),
                    MatchesRegex("defaults\\.json\\.corrupt-[0-9]{8}T[0-9]{6}Z"));
        EXPECT_EQ(readFile(asides[0]), contents);
        EXPECT_THAT(errors[0], HasSubstr(asides[0].string()));

        store->setBoolean("appHasBeenSetup", true);
        EXPECT_TRUE(nlohmann::json::parse(readFile(file)).is_object());
        EXPECT_EQ(open()->boolean("appHasBeenSetup"), true);
        EXPECT_EQ(errors.size(), 1u);
    }
}

TEST_F(DefaultsStoreTest, TwoCorruptFilesInTheSameSecondAreBothKept) {
    writeFile(file, "first");
    open();
    writeFile(file, "second");
    open();
    std::set<std::string> kept;
    for (const auto& entry : std::filesystem::directory_iterator(file.parent_path())) {
        kept.insert(readFile(entry.path()));
    }
    EXPECT_EQ(kept, (std::set<std::string>{"first", "second"}));
}

TEST_F(DefaultsStoreTest, AFailedWriteIsReportedAndTheValueKeptForThisRun) {
    // A plain file where the folder should be: the folder cannot be made.
    writeFile(home.configHome() / "ulvarend", "not a folder");
    auto store = open();
    store->setString("currentUser", "Åse");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_THAT(errors[0], HasSubstr("Could not save the defaults file"));
    EXPECT_EQ(store->string("currentUser"), "Åse");
    // Writes made together are all undone when their one write fails.
    EXPECT_FALSE(store->writeTogether([&] {
        store->setString("currentUser", "Bo");
        store->setBoolean("appHasBeenSetup", true);
        return true;
    }));
    EXPECT_EQ(store->string("currentUser"), "Åse");
    EXPECT_EQ(store->boolean("appHasBeenSetup"), std::nullopt);
    EXPECT_EQ(errors.size(), 2u);
}

TEST_F(DefaultsStoreTest, AFileThatCannotBeReadIsLeftInPlaceAndNotWrittenOver) {
    // Reading fails (a folder where the file should be), or even looking for it does (a loop
    // of symbolic links): neither says the settings are damaged.
    const std::vector<std::function<void()>> unreadable{
        [&] { std::filesystem::create_directories(file / "inside"); },
        [&] {
            std::filesystem::create_directories(file.parent_path());
            std::filesystem::create_symlink(file.filename(), file);
        }};
    for (const auto& make : unreadable) {
        errors.clear();
        std::filesystem::remove_all(file.parent_path());
        make();
        const auto kind = std::filesystem::symlink_status(file).type();
        auto store = open();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_THAT(errors[0], HasSubstr("Could not read the defaults file"));
        EXPECT_THAT(errors[0], HasSubstr("left in place"));
        store->setBoolean("appHasBeenSetup", true);
        store->setString("currentUser", "Bo");
        EXPECT_EQ(store->boolean("appHasBeenSetup"), true);
        EXPECT_EQ(store->string("currentUser"), "Bo");
        ASSERT_EQ(errors.size(), 2u) << "told once";
        EXPECT_THAT(errors[1], HasSubstr("Not saving the defaults file"));
        EXPECT_EQ(std::filesystem::symlink_status(file).type(), kind);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file.parent_path()),
                                std::filesystem::directory_iterator()),
                  1);
    }
}

TEST_F(DefaultsStoreTest, TextThatIsNotUtf8IsStoredWithReplacementCharacters) {
    auto store = open();
    store->setString("text", "a\xff"
                             "b");
    EXPECT_THAT(errors, IsEmpty());
    EXPECT_EQ(store->string("text"), "a\xEF\xBF\xBD"
                                     "b");
    EXPECT_EQ(open()->string("text"), "a\xEF\xBF\xBD"
                                      "b");
}

} // namespace
} // namespace ulvarend
