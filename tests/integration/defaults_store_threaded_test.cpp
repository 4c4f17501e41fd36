#include "platform/DefaultsStore.h"
#include "support/TemporaryHome.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace ulvarend {
namespace {

using ulvarend::testing::TemporaryHome;

TEST(DefaultsStoreThreadedTest, ConcurrentWritersAndReadersLoseNoValue) {
    TemporaryHome home;
    std::atomic<int> errors{0};
    auto store = platform::makeDefaultsStore([&](const std::string&) { ++errors; });
    constexpr int kThreads = 6;
    constexpr int kWrites = 25;

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string mine = "thread" + std::to_string(t);
            for (int i = 0; i < kWrites; ++i) {
                store->setInteger(mine + "-count", i);
                store->setStringArray(mine + "-list", {mine, std::to_string(i)});
                store->setInteger("shared", t);
                // Another thread's key is either absent or whole, never torn.
                const std::string other = "thread" + std::to_string((t + 1) % kThreads);
                if (const auto list = store->stringArray(other + "-list")) {
                    ASSERT_EQ(list->size(), 2u);
                    EXPECT_EQ((*list)[0], other);
                }
                EXPECT_EQ(store->integer(mine + "-count"), i);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    auto reopened = platform::makeDefaultsStore([&](const std::string&) { ++errors; });
    for (int t = 0; t < kThreads; ++t) {
        const std::string mine = "thread" + std::to_string(t);
        EXPECT_EQ(reopened->integer(mine + "-count"), kWrites - 1);
        EXPECT_EQ(reopened->stringArray(mine + "-list"),
                  (std::vector<std::string>{mine, std::to_string(kWrites - 1)}));
    }
    const auto shared = reopened->integer("shared");
    ASSERT_TRUE(shared.has_value());
    EXPECT_EQ(shared, store->integer("shared"));
    EXPECT_EQ(errors.load(), 0);
}

} // namespace
} // namespace ulvarend
