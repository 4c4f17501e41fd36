#include "platform/FrontmostApplicationSource.h"

#include <gtest/gtest.h>

namespace ulvarend::platform {
namespace {

using namespace std::chrono;
using Retry = FrontmostSourceCandidate::Retry;

class FixedSource final : public FrontmostApplicationSource {
public:
    explicit FixedSource(std::string name) : name(std::move(name)) {}
    std::optional<FrontmostApplication> frontmostApplication() override {
        return FrontmostApplication{name};
    }
    const std::string name;
};

// A candidate that works once `works` is set, counting how often it was tried and released.
struct Scripted {
    bool works = false;
    int tries = 0;
    int releases = 0;
};

class FrontmostSourceChainTest : public ::testing::Test {
protected:
    FrontmostSourceCandidate candidate(const std::string& name, Scripted& scripted, Retry retry) {
        FrontmostSourceCandidate c;
        c.name = name;
        c.retry = retry;
        c.open = [&scripted,
                  name](std::string* whyNot) -> std::shared_ptr<FrontmostApplicationSource> {
            ++scripted.tries;
            if (!scripted.works) {
                *whyNot = name + " is not there";
                return nullptr;
            }
            return std::make_shared<FixedSource>(name);
        };
        c.release = [&scripted] { ++scripted.releases; };
        return c;
    }

    std::shared_ptr<FrontmostSourceChain> chain(std::vector<FrontmostSourceCandidate> candidates) {
        return makeFrontmostSourceChain(
            std::move(candidates), [this] { return asleep; },
            [this](const std::string& line) { errors.push_back(line); },
            [this](const std::string& line) { infos.push_back(line); }, [this] { return now; });
    }

    std::optional<std::string> front(FrontmostApplicationSource& source) {
        auto application = source.frontmostApplication();
        if (!application) {
            return std::nullopt;
        }
        return application->isLockScreen ? "(asleep)" : application->identifier.value_or("");
    }

    steady_clock::time_point now{hours(1)};
    bool asleep = false;
    std::vector<std::string> errors;
    std::vector<std::string> infos;
    Scripted slow, first, second;
};

TEST_F(FrontmostSourceChainTest, TheFirstThatWorksIsTakenAndTheRestAreNeverOpened) {
    first.works = second.works = true;
    auto source = chain({candidate("slow", slow, Retry::everyMinute),
                         candidate("first", first, Retry::everyPoll),
                         candidate("second", second, Retry::everyPoll)});
    EXPECT_EQ(infos, std::vector<std::string>{"Frontmost application source: first"});
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(front(*source), "first");
    asleep = true;
    EXPECT_EQ(front(*source), "(asleep)");
    EXPECT_EQ(second.tries, 0);
    // Chosen is chosen: an earlier candidate that works later does not take over.
    slow.works = true;
    now += hours(1);
    EXPECT_EQ(front(*source), "(asleep)");
    EXPECT_EQ(slow.tries, 1);
}

TEST_F(FrontmostSourceChainTest, WithNoneWorkingOneLineSaysWhyAndALaterOneIsTaken) {
    auto source = chain({candidate("slow", slow, Retry::everyMinute),
                         candidate("first", first, Retry::everyPoll),
                         candidate("second", second, Retry::everyPoll)});
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "No source for the frontmost application: slow: slow is not there; "
                         "first: first is not there; second: second is not there");
    // Nothing at all, not even the lock screen, while no source works.
    asleep = true;
    EXPECT_EQ(front(*source), std::nullopt);
    asleep = false;

    // A helper's watch is cheap and looked at every poll; a connection at most once a minute.
    for (int poll = 0; poll < 30; ++poll) {
        now += seconds(1);
        EXPECT_EQ(front(*source), std::nullopt);
    }
    EXPECT_EQ(first.tries, 32);
    EXPECT_EQ(slow.tries, 1);
    now += seconds(30);
    EXPECT_EQ(front(*source), std::nullopt);
    EXPECT_EQ(slow.tries, 2);
    EXPECT_EQ(errors.size(), 1u);

    second.works = true;
    EXPECT_EQ(front(*source), "second");
    EXPECT_EQ(infos, std::vector<std::string>{"Frontmost application source: second"});
    now += minutes(5);
    EXPECT_EQ(front(*source), "second");
    EXPECT_EQ(slow.tries, 2);
    EXPECT_EQ(second.tries, 34);

    // The way out takes back from every candidate, once, and nothing is tried after it.
    source->release();
    source->release();
    EXPECT_EQ(slow.releases + first.releases + second.releases, 3);
}

TEST_F(FrontmostSourceChainTest, NothingIsTriedAfterRelease) {
    auto source = chain({candidate("first", first, Retry::everyPoll)});
    source->release();
    first.works = true;
    EXPECT_EQ(front(*source), std::nullopt);
    EXPECT_EQ(first.tries, 1);
}

TEST(BoundedIdentifierTest, OnlyShortUtf8TextsAreIdentifiers) {
    EXPECT_EQ(boundedIdentifier("org.gnome.Nautilus"), "org.gnome.Nautilus");
    EXPECT_EQ(boundedIdentifier("f\xc3\xb8tex"), "f\xc3\xb8tex");
    EXPECT_EQ(boundedIdentifier(std::string(1024, 'a')), std::string(1024, 'a'));
    for (const std::string& told :
         {std::string(), std::string(1025, 'a'), std::string("bad\xff"), std::string("\xc3")}) {
        EXPECT_EQ(boundedIdentifier(told), std::nullopt) << told;
    }
}

} // namespace
} // namespace ulvarend::platform
