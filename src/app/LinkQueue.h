#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>

namespace ulvarend {

// Setup links wait here until the agent can show their alerts: never inside another alert's
// modal loop, and one at a time, in the order they came. A link that is already waiting or
// being handled is not added again, so a burst of the same link is one setup and one alert;
// past kMaximumWaitingLinks distinct ones, newcomers are dropped and logged. Main thread only.
class LinkQueue {
public:
    static constexpr std::size_t kMaximumWaitingLinks = 8;

    // `handle` takes one link; `modalOpen` tells whether an alert or window holds the screen;
    // `retryLater` asks for `drain()` to run again shortly, from the event loop; `logError`
    // hears of a dropped link.
    LinkQueue(std::function<void(const std::string&)> handle, std::function<bool()> modalOpen,
              std::function<void()> retryLater, std::function<void(const std::string&)> logError);

    void add(std::string url);
    // The retry asked for through `retryLater`.
    void drain();

private:
    void handleWaiting();

    std::function<void(const std::string&)> handle;
    std::function<bool()> modalOpen;
    std::function<void()> retryLater;
    std::function<void(const std::string&)> logError;
    std::deque<std::string> waiting;
    // The link being handled now.
    std::optional<std::string> current;
    bool retryPending = false;
};

} // namespace ulvarend
