#include "platform/Threads.h"

#include <list>
#include <mutex>
#include <set>
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
        std::list<std::thread> running;
        {
            std::lock_guard lock(mutex);
            running.swap(threads);
        }
        for (auto& thread : running) {
            if (thread.joinable()) {
                thread.join();
            }
        }
        std::lock_guard lock(mutex);
        for (auto& thread : running) {
            finished.erase(thread.get_id());
        }
    }

    void async(std::function<void()> task) override {
        std::lock_guard lock(mutex);
        // Threads that have finished are joined here so that the list stays short; the ones
        // still running are joined by the destructor.
        for (auto it = threads.begin(); it != threads.end();) {
            if (finished.count(it->get_id()) != 0) {
                finished.erase(it->get_id());
                it->join();
                it = threads.erase(it);
            } else {
                ++it;
            }
        }
        threads.emplace_back([this, task = std::move(task)] {
            task();
            std::lock_guard done(mutex);
            finished.insert(std::this_thread::get_id());
        });
    }

private:
    std::mutex mutex;
    std::list<std::thread> threads;
    std::set<std::thread::id> finished;
};

} // namespace

std::shared_ptr<Sleeper> makeSystemSleeper() {
    return std::make_shared<SystemSleeper>();
}

std::shared_ptr<BackgroundQueue> makeThreadQueue() {
    return std::make_shared<ThreadQueue>();
}

} // namespace ulvarend::platform
