#include "platform/Threads.h"

#include <list>
#include <mutex>
#include <thread>

namespace ulvarend::platform {
namespace {

class SystemSleeper final : public Sleeper {
public:
    void sleep(std::chrono::milliseconds duration) override {
        std::this_thread::sleep_for(duration);
    }
};

class ThreadQueue final : public BackgroundQueue {
public:
    ~ThreadQueue() override { waitUntilIdle(); }

    void waitUntilIdle() override {
        std::list<Worker> running;
        {
            std::lock_guard lock(mutex);
            running.swap(workers);
        }
        // A worker that is still running marks itself finished in this list, under the lock;
        // the nodes stay where they are until every thread of them has been joined.
        for (auto& worker : running) {
            if (worker.thread.joinable()) {
                worker.thread.join();
            }
        }
    }

    void async(std::function<void()> task) override {
        std::lock_guard lock(mutex);
        // Threads that have finished are joined here so that the list stays short; the ones
        // still running are joined by the destructor. A finished thread is known by its own
        // entry, never by its id: the system hands a finished thread's id to the next one.
        for (auto it = workers.begin(); it != workers.end();) {
            if (it->finished) {
                it->thread.join();
                it = workers.erase(it);
            } else {
                ++it;
            }
        }
        auto worker = workers.emplace(workers.end());
        worker->thread = std::thread([this, worker, task = std::move(task)] {
            task();
            std::lock_guard done(mutex);
            worker->finished = true;
        });
    }

private:
    struct Worker {
        std::thread thread;
        // Set by the thread itself, under `mutex`, as the last thing it does.
        bool finished = false;
    };

    std::mutex mutex;
    std::list<Worker> workers;
};

} // namespace

std::shared_ptr<Sleeper> makeSystemSleeper() {
    return std::make_shared<SystemSleeper>();
}

std::shared_ptr<BackgroundQueue> makeThreadQueue() {
    return std::make_shared<ThreadQueue>();
}

} // namespace ulvarend::platform
