#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ulvarend::platform {

enum class Connection { unavailable, connected };

// Tells whether the network can be reached. Once its notifier runs it calls the reachable or
// the unreachable callback for the state it finds, then again on every change of state (never
// for a repeat), on a thread of its own.
class Reachability {
public:
    virtual ~Reachability() = default;
    virtual void setWhenReachable(std::function<void()> callback) = 0;
    virtual void setWhenUnreachable(std::function<void()> callback) = 0;
    // The description of the failure when the notifier cannot start.
    virtual std::optional<std::string> startNotifier() = 0;
    virtual Connection connection() = 0;
};

} // namespace ulvarend::platform
