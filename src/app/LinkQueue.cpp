#include "app/LinkQueue.h"

#include <algorithm>

namespace ulvarend {

LinkQueue::LinkQueue(std::function<void(const std::string&)> handle_,
                     std::function<bool()> modalOpen_, std::function<void()> retryLater_,
                     std::function<void(const std::string&)> logError_)
    : handle(std::move(handle_)), modalOpen(std::move(modalOpen_)),
      retryLater(std::move(retryLater_)), logError(std::move(logError_)) {}

void LinkQueue::add(std::string url) {
    // A link opened again while it still waits would set the agent up again for nothing.
    if (current == url || std::find(waiting.begin(), waiting.end(), url) != waiting.end()) {
        return;
    }
    if (waiting.size() >= kMaximumWaitingLinks) {
        logError("Dropped a setup link: " + std::to_string(kMaximumWaitingLinks) +
                 " other links are already waiting");
        return;
    }
    waiting.push_back(std::move(url));
    handleWaiting();
}

void LinkQueue::drain() {
    retryPending = false;
    handleWaiting();
}

void LinkQueue::handleWaiting() {
    while (!waiting.empty()) {
        // A link handled inside a running alert would stack its own alerts on that one and
        // run the tracking start from within its loop.
        if (current || modalOpen()) {
            if (!retryPending) {
                retryPending = true;
                retryLater();
            }
            return;
        }
        current = std::move(waiting.front());
        waiting.pop_front();
        handle(*current);
        current.reset();
    }
}

} // namespace ulvarend
