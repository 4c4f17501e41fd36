#include "Implementations/SendOrSaveHandler.h"

#include "support/Mocks.h"

#include <gtest/gtest.h>
#include <thread>

namespace ulvarend {
namespace {

using namespace ::testing;
using namespace ulvarend::testing;

const TimePoint kStart{std::chrono::seconds{1'600'000'000}};

std::shared_ptr<AppUsage> appUsage(int n, std::optional<std::int64_t> id = std::nullopt) {
    return std::make_shared<AppUsage>("participant", "Model", kStart + std::chrono::seconds{n}, 1,
                                      "app." + std::to_string(n), 1000, id);
}

std::shared_ptr<DeviceUsage> deviceUsage(int n, std::optional<std::int64_t> id = std::nullopt) {
    return std::make_shared<DeviceUsage>("participant", "Model", kStart + std::chrono::seconds{n},
                                         1, 1, id);
}

// One send as the handler asked for it.
struct Sent {
    UsagePtr usage;
    UsageType type;
    Credentials credentials;
    SuccessCallback onSuccess;
    FailureCallback onFailure;
};

class SendOrSaveHandlerTest : public Test {
protected:
    SendOrSaveHandlerTest() {
        EXPECT_CALL(*settings, credentials()).Times(1).WillOnce(Return(credentials));
        ON_CALL(*requests, send)
            .WillByDefault([this](UsagePtr usage, UsageType type, const Credentials& given,
                                  SuccessCallback onSuccess, FailureCallback onFailure) {
                std::lock_guard lock(mutex);
                sent.push_back({usage, type, given, std::move(onSuccess), std::move(onFailure)});
            });
        EXPECT_CALL(*requests, send).Times(AnyNumber());
        ON_CALL(*store, takeUnstoredUsages).WillByDefault(Return(std::vector<UsagePtr>{}));
        EXPECT_CALL(*store, takeUnstoredUsages).Times(AnyNumber());
        handler = std::make_shared<SendOrSaveHandler>(logger, store, requests, settings);
    }

    const Credentials credentials{"morvik", "Hq3ZpT8wLm4RvK9sXc2NbJ7dYe5GfU"};
    StrictShared<MockLogger> logger;
    StrictShared<MockPersistenceHandler> store;
    NiceShared<MockRequestHandler> requests;
    StrictShared<MockSettings> settings;
    std::shared_ptr<SendOrSaveHandler> handler;
    std::mutex mutex;
    std::vector<Sent> sent;
};

TEST_F(SendOrSaveHandlerTest, SuccessfulDirectSendIsLoggedOnceAndNeverStored) {
    auto usage = deviceUsage(1);
    handler->sendOrSave(usage, /*fromPersistence=*/false);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, UsageType::device);
    EXPECT_EQ(sent[0].credentials, credentials);

    EXPECT_CALL(*logger, logUsage(Ref(*usage), UsageLogType::sentDirectly)).Times(1);
    sent[0].onSuccess();
    // Neither a repeated outcome nor the quit path does anything more.
    sent[0].onSuccess();
    sent[0].onFailure(std::nullopt);
    handler->saveUnfinishedUsages();
}

TEST_F(SendOrSaveHandlerTest, FailedDirectSendIsSavedAndLoggedOnlyWhenTheStoreTookIt) {
    auto kept = appUsage(1);
    auto lost = appUsage(2);
    handler->sendOrSave(kept, /*fromPersistence=*/false);
    handler->sendOrSave(lost, /*fromPersistence=*/false);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].type, UsageType::app);

    EXPECT_CALL(*store, save(Ref(*kept))).WillOnce(Return(true));
    EXPECT_CALL(*store, save(Ref(*lost))).WillOnce(Return(false));
    EXPECT_CALL(*logger, logUsage(Ref(*kept), UsageLogType::saved)).Times(1);
    sent[0].onFailure(RequestError{"refused"});
    sent[1].onFailure(std::nullopt);
    handler->saveUnfinishedUsages();
}

TEST_F(SendOrSaveHandlerTest, BatchSendsTheOldestOfEachKindApplicationUsagesFirst) {
    EXPECT_CALL(*store, fetchAllAppUsages(10)).WillOnce([](std::int64_t limit) {
        std::vector<std::shared_ptr<AppUsage>> stored; // 25 in the store, the oldest first
        for (int i = 0; i < 25 && i < limit; ++i) {
            stored.push_back(appUsage(i, i + 1));
        }
        return stored;
    });
    EXPECT_CALL(*store, fetchDeviceUsages(10)).WillOnce([](std::int64_t) {
        return std::vector<std::shared_ptr<DeviceUsage>>{deviceUsage(0, 26), deviceUsage(1, 27),
                                                         deviceUsage(2, 28)};
    });
    handler->sendSomeSavedUsages(10);

    ASSERT_EQ(sent.size(), 13u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].usage->id, static_cast<std::int64_t>(i < 10 ? i + 1 : i + 16));
        EXPECT_EQ(sent[i].type, i < 10 ? UsageType::app : UsageType::device);
        EXPECT_EQ(sent[i].credentials, credentials);
    }

    // Success: logged as sent from storage, then its row (same id) is deleted.
    const UsagePtr first = sent[0].usage;
    {
        InSequence order;
        EXPECT_CALL(*logger, logUsage(Ref(*first), UsageLogType::sentFromPersistence));
        EXPECT_CALL(*store, deleteUsage(Field(&Usage::id, Optional(1))));
    }
    sent[0].onSuccess();
    // A stored record whose send fails stays in the store as it is.
    sent[1].onFailure(RequestError{"refused"});
    // The quit path leaves stored records alone.
    handler->saveUnfinishedUsages();
}

std::vector<std::shared_ptr<AppUsage>> appRows(std::initializer_list<int> ids) {
    std::vector<std::shared_ptr<AppUsage>> rows;
    for (const int id : ids) {
        rows.push_back(appUsage(id, id));
    }
    return rows;
}

const std::vector<std::shared_ptr<DeviceUsage>> kNoDeviceRows;

TEST_F(SendOrSaveHandlerTest, OneBatchAtATimeAndTheNextFollowsWhileTheServerTakesThemAll) {
    EXPECT_CALL(*logger, logUsage(_, UsageLogType::sentFromPersistence)).Times(AnyNumber());
    EXPECT_CALL(*store, deleteUsage).Times(AnyNumber());
    const auto answer = [this](std::size_t from, bool accept) {
        for (std::size_t i = from; i < sent.size(); ++i) {
            accept ? sent[i].onSuccess() : sent[i].onFailure(std::nullopt);
        }
    };
    {
        InSequence batches;
        EXPECT_CALL(*store, fetchAllAppUsages(10)).WillOnce(Return(appRows({1, 2})));
        EXPECT_CALL(*store, fetchDeviceUsages(10)).WillOnce(Return(std::vector{deviceUsage(0, 3)}));
        // The first batch was taken whole: the next follows at once, and its failure ends
        // the run.
        EXPECT_CALL(*store, fetchAllAppUsages(10)).WillOnce(Return(appRows({4})));
        EXPECT_CALL(*store, fetchDeviceUsages(10)).WillOnce(Return(kNoDeviceRows));
        // The next turn: taken, and then the store is empty.
        EXPECT_CALL(*store, fetchAllAppUsages(10)).WillOnce(Return(appRows({4})));
        EXPECT_CALL(*store, fetchDeviceUsages(10)).WillOnce(Return(kNoDeviceRows));
        EXPECT_CALL(*store, fetchAllAppUsages(10)).WillOnce(Return(appRows({})));
        EXPECT_CALL(*store, fetchDeviceUsages(10)).WillOnce(Return(kNoDeviceRows));
        // A row that was taken but could not be deleted comes back: it is not sent twice.
        EXPECT_CALL(*store, fetchAllAppUsages(10)).WillOnce(Return(appRows({5})));
        EXPECT_CALL(*store, fetchDeviceUsages(10)).WillOnce(Return(kNoDeviceRows));
        EXPECT_CALL(*store, fetchAllAppUsages(10)).WillOnce(Return(appRows({5})));
        EXPECT_CALL(*store, fetchDeviceUsages(10)).WillOnce(Return(kNoDeviceRows));
    }
    handler->sendSomeSavedUsages(10);
    ASSERT_EQ(sent.size(), 3u);
    handler->sendSomeSavedUsages(10);
    EXPECT_EQ(sent.size(), 3u) << "no batch starts while one is in flight";
    sent[0].onSuccess();
    sent[1].onSuccess();
    handler->sendSomeSavedUsages(10);
    EXPECT_EQ(sent.size(), 3u) << "one record of the batch is still in flight";
    sent[2].onSuccess();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[3].usage->id, 4);
    answer(3, false);
    EXPECT_EQ(sent.size(), 4u) << "a refused record waits for the next turn";

    handler->sendSomeSavedUsages(10);
    ASSERT_EQ(sent.size(), 5u);
    answer(4, true);
    handler->sendSomeSavedUsages(10);
    ASSERT_EQ(sent.size(), 6u);
    answer(5, true);
    EXPECT_EQ(sent.size(), 6u);
}

TEST_F(SendOrSaveHandlerTest, RecordsTheStoreCouldNotKeepAreSentDirectlyWithTheNextBatch) {
    auto unstored = appUsage(1);
    EXPECT_CALL(*store, takeUnstoredUsages)
        .WillOnce(Return(std::vector<UsagePtr>{unstored}))
        .WillRepeatedly(Return(std::vector<UsagePtr>{}));
    EXPECT_CALL(*store, fetchAllAppUsages(10)).WillRepeatedly(Return(appRows({})));
    EXPECT_CALL(*store, fetchDeviceUsages(10)).WillRepeatedly(Return(kNoDeviceRows));
    handler->sendSomeSavedUsages(10);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].usage, unstored);
    // Refused again: the store tries to keep it once more.
    EXPECT_CALL(*store, save(Ref(*unstored))).WillOnce(Return(false));
    sent[0].onFailure(std::nullopt);
}

TEST_F(SendOrSaveHandlerTest, EmptyStoreOrNoLimitStartsNoRequest) {
    EXPECT_CALL(*store, fetchAllAppUsages(10))
        .WillOnce(Return(std::vector<std::shared_ptr<AppUsage>>{}));
    EXPECT_CALL(*store, fetchDeviceUsages(10))
        .WillOnce(Return(std::vector<std::shared_ptr<DeviceUsage>>{}));
    handler->sendSomeSavedUsages(10);
    handler->sendSomeSavedUsages(0);
    handler->sendSomeSavedUsages(-1);
    EXPECT_TRUE(sent.empty());
}

TEST_F(SendOrSaveHandlerTest, RecordFromStorageIsSentWithoutFailureHandling) {
    auto stored = appUsage(1, 7);
    handler->sendOrSave(stored, /*fromPersistence=*/true);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_FALSE(sent[0].onFailure);
    EXPECT_CALL(*logger, logUsage(Ref(*stored), UsageLogType::sentFromPersistence));
    EXPECT_CALL(*store, deleteUsage(Ref(*stored)));
    sent[0].onSuccess();
}

TEST_F(SendOrSaveHandlerTest, RecordsUnfinishedAtQuitAreSavedExactlyOnce) {
    auto done = appUsage(1);
    auto open1 = appUsage(2);
    auto open2 = deviceUsage(3);
    handler->sendOrSave(done, /*fromPersistence=*/false);
    handler->sendOrSave(open1, /*fromPersistence=*/false);
    handler->sendOrSave(open2, /*fromPersistence=*/false);
    EXPECT_CALL(*logger, logUsage(Ref(*done), UsageLogType::sentDirectly));
    sent[0].onSuccess();

    EXPECT_CALL(*store, save(Ref(*open1))).WillOnce(Return(true));
    EXPECT_CALL(*store, save(Ref(*open2))).WillOnce(Return(true));
    EXPECT_CALL(*logger, logUsage(Ref(*open1), UsageLogType::saved));
    EXPECT_CALL(*logger, logUsage(Ref(*open2), UsageLogType::saved));
    handler->saveUnfinishedUsages();

    // Late outcomes and a second quit change nothing.
    sent[1].onFailure(std::nullopt);
    sent[2].onSuccess();
    handler->saveUnfinishedUsages();
}

TEST_F(SendOrSaveHandlerTest, OutcomesRacingTheQuitSaveEachRecordOnce) {
    constexpr int kCount = 200;
    std::mutex savesMutex;
    std::map<const Usage*, int> saves;
    EXPECT_CALL(*store, save).WillRepeatedly([&](const Usage& usage) {
        std::lock_guard lock(savesMutex);
        ++saves[&usage];
        return true;
    });
    EXPECT_CALL(*logger, logUsage(_, UsageLogType::saved)).Times(kCount);
    std::vector<UsagePtr> usages;
    for (int i = 0; i < kCount; ++i) {
        usages.push_back(appUsage(i));
        handler->sendOrSave(usages.back(), /*fromPersistence=*/false);
    }
    std::thread completions([this] {
        for (auto& request : sent) {
            request.onFailure(std::nullopt);
        }
    });
    handler->saveUnfinishedUsages();
    completions.join();

    ASSERT_EQ(saves.size(), static_cast<std::size_t>(kCount));
    for (const auto& [usage, count] : saves) {
        EXPECT_EQ(count, 1);
    }
}

} // namespace
} // namespace ulvarend
