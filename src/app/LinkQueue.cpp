#include "app/LinkQueue.h"

namespace ulvarend {

LinkQueue::LinkQueue(std::function<void(const std::string&)> handle_,
                     std::function<bool()> modalOpen_, std::function<void()> retryLater_)
    : handle(std::move(handle_)), modalOpen(std::move(modalOpen_)),
      retryLater(std::move(retryLater_)) {}

void LinkQueue::add(std::string url) {
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
        if (handling || modalOpen()) {
            if (!retryPending) {
                retryPending = true;
                retryLater();
            }
            return;
        }
        const std::string url = std::move(waiting.front());
        waiting.pop_front();
        handling = true;
        handle(url);
        handling = false;
    }
}

} // namespace ulvarend
