#include "models/Time.h"

#include <ctime>

namespace ulvarend {

std::string formatRfc3339(TimePoint time) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(time);
    const std::time_t t = std::chrono::system_clock::to_time_t(seconds);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char buffer[32];
    const std::size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(buffer, length);
}

} // namespace ulvarend
