#pragma once

#include "platform/LogOutput.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ulvarend::testing {

// A clock for log files that moves only when the test says so.
class SettableClock {
public:
    explicit SettableClock(std::chrono::system_clock::time_point start) : current(start) {}
    void advance(std::chrono::system_clock::duration by) {
        std::lock_guard lock(mutex);
        current += by;
    }
    std::chrono::system_clock::time_point now() {
        std::lock_guard lock(mutex);
        return current;
    }
    static platform::Clock of(const std::shared_ptr<SettableClock>& clock) {
        return [clock] { return clock->now(); };
    }

private:
    std::mutex mutex;
    std::chrono::system_clock::time_point current;
};

// The names of the log files in `directory`, oldest first.
inline std::vector<std::string> logFiles(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        const auto name = entry.path().filename().string();
        if (name.starts_with("ulvarend-") && name.ends_with(".log")) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace ulvarend::testing
