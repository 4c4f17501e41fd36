#include "Implementations/PersistenceHandler.h"
#include "support/Mocks.h"
#include "support/TemporaryHome.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <set>
#include <thread>

using namespace std::chrono_literals;

namespace ulvarend {
namespace {

TEST(PersistenceThreaded, EightThreadsSavingAtOnceLoseNoRow) {
    testing::TemporaryHome home;
    auto logger = std::make_shared<::testing::StrictMock<testing::MockLogger>>();
    auto settings = std::make_shared<::testing::NiceMock<testing::MockSettings>>();
    ON_CALL(*settings, deviceModelName()).WillByDefault(::testing::Return("model"));
    PersistenceHandler store(logger, settings);

    constexpr int kThreads = 8;
    constexpr int kEach = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&store, t] {
            const TimePoint base = TimePoint{1'600'000'000s};
            for (int i = 0; i < kEach; ++i) {
                const TimePoint at = base + std::chrono::milliseconds(t * kEach + i);
                EXPECT_TRUE(store.save(AppUsage("p" + std::to_string(t), "m", at, 1, "pkg", i)));
                EXPECT_TRUE(store.save(DeviceUsage("p" + std::to_string(t), "m", at, 1, i % 2)));
                if (i % 10 == 0) {
                    store.fetchDeviceUsages(5);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    const auto apps = store.fetchAllAppUsages(10'000);
    const auto devices = store.fetchDeviceUsages(10'000);
    ASSERT_EQ(apps.size(), static_cast<std::size_t>(kThreads * kEach));
    ASSERT_EQ(devices.size(), static_cast<std::size_t>(kThreads * kEach));
    std::set<std::int64_t> ids;
    for (const auto& usage : apps) {
        ids.insert(*usage->id);
    }
    EXPECT_EQ(ids.size(), apps.size());
    for (std::size_t i = 1; i < devices.size(); ++i) {
        EXPECT_LE(devices[i - 1]->timeStamp, devices[i]->timeStamp);
    }
}

} // namespace
} // namespace ulvarend
