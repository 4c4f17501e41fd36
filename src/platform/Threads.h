#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace ulvarend::platform {

// A blocking pause, replaced in tests so that loops run without waiting.
class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual void sleep(std::chrono::milliseconds duration) = 0;
};

// Runs tasks on background threads, each on a thread of its own for as long as it lasts.
class BackgroundQueue {
public:
    virtual ~BackgroundQueue() = default;
    virtual void async(std::function<void()> task) = 0;
    // Returns once every task started so far has ended; they must be able to end by themselves.
    virtual void waitUntilIdle() = 0;
};

std::shared_ptr<Sleeper> makeSystemSleeper();
// Its destructor waits for the tasks still running, so they must be able to end by themselves.
std::shared_ptr<BackgroundQueue> makeThreadQueue();

} // namespace ulvarend::platform
