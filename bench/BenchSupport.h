#pragma once

// Stand-ins the benchmarks share: a logger that only counts trouble and settings of one
// set-up participant. The services under measurement are the real ones.

#include "interfaces/LoggerProtocol.h"
#include "interfaces/SettingsProtocol.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <vector>

namespace ulvarend::bench {

class QuietLogger : public LoggerProtocol {
public:
    void logUsage(const Usage&, UsageLogType type) override {
        if (type != UsageLogType::sentDirectly) {
            ++problems;
        }
    }
    void logInfo(const std::string&) override {}
    void logError(const std::string& message) override {
        std::fprintf(stderr, "%s\n", message.c_str());
        ++problems;
    }
    void flush() override {}
    std::atomic<int> problems{0};
};

class FixedSettings : public SettingsProtocol {
public:
    bool appHasBeenSetup() override { return true; }
    void setAppHasBeenSetup(bool) override {}
    void addAppHasBeenSetupChangedSubscriber(std::shared_ptr<AppHasBeenSetupDelegate>) override {}
    std::vector<std::string> userList() override { return {}; }
    void setUserList(const std::vector<std::string>&) override {}
    std::int64_t userCount() override { return 1; }
    std::string currentUser() override { return "bench"; }
    void setCurrentUser(const std::string&) override {}
    std::string deviceModelName() override { return "Bench"; }
    TrackingType trackingType() override { return TrackingType::AppAndDevice; }
    void setTrackingType(TrackingType) override {}
    TimePoint stopTrackingDate() override { return {}; }
    void setStopTrackingDate(TimePoint) override {}
    void setUserId(const std::string&) override {}
    std::string participantIdentifier() override { return "bench"; }
    std::string participantIdentifier(const std::string&) override { return "bench"; }
    Credentials credentials() override { return {"morvik", "Hq3ZpT8wLm4RvK9sXc2NbJ7dYe5GfU"}; }
    bool saveTogether(const std::function<bool()>& writes) override { return writes(); }
};

// The value below which the fraction `p` of `values` lies (nearest rank, rounded down).
inline double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[index];
}

} // namespace ulvarend::bench
