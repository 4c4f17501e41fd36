#pragma once

#include <deque>
#include <functional>
#include <string>

namespace ulvarend {

// Setup links wait here until the agent can show their alerts: never inside another alert's
// modal loop, and one at a time, in the order they came.
class LinkQueue {
public:
    // `handle` takes one link; `modalOpen` tells whether an alert or window holds the screen;
    // `retryLater` asks for `drain()` to run again shortly, from the event loop.
    LinkQueue(std::function<void(const std::string&)> handle, std::function<bool()> modalOpen,
              std::function<void()> retryLater);

    void add(std::string url);
    // The retry asked for through `retryLater`.
    void drain();

private:
    void handleWaiting();

    std::function<void(const std::string&)> handle;
    std::function<bool()> modalOpen;
    std::function<void()> retryLater;
    std::deque<std::string> waiting;
    bool handling = false;
    bool retryPending = false;
};

} // namespace ulvarend
