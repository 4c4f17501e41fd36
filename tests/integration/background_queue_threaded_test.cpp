#include "platform/Threads.h"

#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace ulvarend {
namespace {

using namespace std::chrono_literals;

// A flag that one thread raises and others wait for, with a bound.
class Flag {
public:
    void raise() {
        {
            std::lock_guard lock(mutex);
            raised = true;
        }
        changed.notify_all();
    }
    bool waitFor(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [this] { return raised; });
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool raised = false;
};

// The system gives a joined thread's id to the next thread it starts. A queue that took a
// running thread for a finished one by that id would join it, and so block whoever called
// async() for as long as that task runs: the polling loop's hand-over would stop.
TEST(BackgroundQueueThreadedTest, AsyncNeverWaitsForATaskThatIsStillRunning) {
    auto queue = platform::makeThreadQueue();
    for (int round = 0; round < 20; ++round) {
        queue->async([] {});
        queue->waitUntilIdle();

        Flag release;
        Flag running;
        queue->async([&] {
            running.raise();
            release.waitFor(60s);
        });
        ASSERT_TRUE(running.waitFor(10s));

        Flag returned;
        std::thread caller([&] {
            queue->async([] {});
            returned.raise();
        });
        const bool didReturn = returned.waitFor(10s);
        release.raise();
        if (!didReturn) {
            // The queue and the caller are stuck for good; they are left behind so that the
            // failure is reported rather than waited for.
            caller.detach();
            new std::shared_ptr<platform::BackgroundQueue>(queue);
            FAIL() << "async() waited for a running task, round " << round;
        }
        caller.join();
        queue->waitUntilIdle();
    }
}

} // namespace
} // namespace ulvarend
