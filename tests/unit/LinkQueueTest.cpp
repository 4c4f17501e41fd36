#include "app/LinkQueue.h"

#include <gtest/gtest.h>
#include <utility>

namespace ulvarend {
namespace {

class LinkQueueTest : public ::testing::Test {
protected:
    std::vector<std::string> handled;
    bool modal = false;
    int retries = 0;
    std::vector<std::string> errors;
    std::function<void(const std::string&)> onHandle;
    LinkQueue queue{[this](const std::string& url) {
                        handled.push_back(url);
                        if (onHandle) {
                            onHandle(url);
                        }
                    },
                    [this] { return modal; }, [this] { ++retries; },
                    [this](const std::string& line) { errors.push_back(line); }};
};

TEST_F(LinkQueueTest, ALinkDuringAnAlertWaitsForItToCloseAndLinksKeepTheirOrder) {
    queue.add("first");
    EXPECT_EQ(handled, std::vector<std::string>{"first"});

    modal = true;
    queue.add("second");
    queue.add("third");
    EXPECT_EQ(handled.size(), 1u);
    EXPECT_EQ(retries, 1) << "one retry is enough however many links wait";

    queue.drain();
    EXPECT_EQ(retries, 2) << "still open: ask again";
    modal = false;
    queue.drain();
    EXPECT_EQ(handled, (std::vector<std::string>{"first", "second", "third"}));
}

TEST_F(LinkQueueTest, ALinkArrivingWhileAnotherIsHandledRunsAfterIt) {
    // The first link's result alert runs a loop in which the second arrives.
    onHandle = [this](const std::string& url) {
        if (url == "outer") {
            queue.add("inner");
            queue.drain();
            EXPECT_EQ(handled, std::vector<std::string>{"outer"});
        }
    };
    queue.add("outer");
    EXPECT_EQ(handled, (std::vector<std::string>{"outer", "inner"}));
}

// Fifty hand-overs of one link within a second are one setup and one result alert.
TEST_F(LinkQueueTest, ABurstOfOneLinkIsHandledOnceAndDistinctLinksWaitWithinABound) {
    bool burstSent = false;
    onHandle = [&](const std::string& url) {
        if (url != "burst" || std::exchange(burstSent, true)) {
            return;
        }
        // Arriving while its first copy is handled, and while other links wait.
        for (int i = 0; i < 50; ++i) {
            queue.add("burst");
            queue.add("other");
        }
        for (std::size_t i = 0; i < LinkQueue::kMaximumWaitingLinks + 2; ++i) {
            queue.add("distinct-" + std::to_string(i));
        }
    };
    modal = true;
    queue.add("burst");
    queue.add("burst");
    modal = false;
    queue.drain();
    ASSERT_EQ(handled.size(), LinkQueue::kMaximumWaitingLinks + 1);
    EXPECT_EQ(handled[0], "burst");
    EXPECT_EQ(handled[1], "other");
    EXPECT_EQ(handled.back(), "distinct-" + std::to_string(LinkQueue::kMaximumWaitingLinks - 2));
    EXPECT_EQ(errors, std::vector<std::string>(3, "Dropped a setup link: 8 other links are "
                                                  "already waiting"));
    burstSent = false;
    onHandle = nullptr;
    queue.add("burst"); // handled once done with: a link opened again later counts again
    EXPECT_EQ(handled.back(), "burst");
}

} // namespace
} // namespace ulvarend
