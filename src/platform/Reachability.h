#pragma once

#include <functional>
#include <memory>
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
    // False when the notifier cannot start; *whyNot then describes the failure.
    virtual bool startNotifier(std::string* whyNot) = 0;
    virtual Connection connection() = 0;
};

// A monitor of GIO's network monitor, running its own GLib main loop on a thread of its own.
// Returns nullptr when no network monitor can be created; the reason then goes to *whyNot.
std::shared_ptr<Reachability> makeGioReachability(std::string* whyNot);

} // namespace ulvarend::platform
