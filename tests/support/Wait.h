#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace ulvarend::testing {

// Waits, doing `step` between looks, until `done` holds: for a test that waits for something
// another thread or process makes happen, instead of sleeping for a time that is too long on a
// fast machine and too short on a loaded one. Runs on the caller's thread; returns false when
// `done` never held within `limit`, so that the test can say what it waited for.
inline bool waitUntil(const std::function<bool()>& done, const std::function<void()>& step,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        step();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A step for waitUntil that only lets time pass, for a condition that costs a process or a file
// read to look at: looked at a few times a second rather than hundreds.
inline std::function<void()> pauseFor(std::chrono::milliseconds pause) {
    return [pause] { std::this_thread::sleep_for(pause); };
}

} // namespace ulvarend::testing
