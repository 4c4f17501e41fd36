#include "app/LinkQueue.h"

#include <gtest/gtest.h>

namespace ulvarend {
namespace {

class LinkQueueTest : public ::testing::Test {
protected:
    std::vector<std::string> handled;
    bool modal = false;
    int retries = 0;
    std::function<void(const std::string&)> onHandle;
    LinkQueue queue{[this](const std::string& url) {
                        handled.push_back(url);
                        if (onHandle) {
                            onHandle(url);
                        }
                    },
                    [this] { return modal; }, [this] { ++retries; }};
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

} // namespace
} // namespace ulvarend
