#pragma once

#include "platform/ErrorReporter.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace ulvarend::platform {

// Held for as long as this process is the user's agent. Dropping it lets another become one.
class AgentLock {
public:
    virtual ~AgentLock() = default;
    // The owner-only folder that holds the lock.
    virtual const std::filesystem::path& directory() const = 0;
};

// The door through which later invocations hand the agent a setup link.
class AgentChannel {
public:
    virtual ~AgentChannel() = default;
};

// The longest message a channel takes, its line break included.
inline constexpr std::size_t kAgentMessageLimit = 16384;

// What the bytes a connection has brought so far amount to.
struct AgentMessage {
    enum class Kind {
        // No line break yet: more bytes may come.
        incomplete,
        // One line of text and nothing after it; `text` is the link without its line break,
        // empty when the sender was started again without a link.
        link,
        // The message is refused; `text` is the line to log.
        dropped,
        // The sender left before sending anything: nothing to take and nothing to report.
        nothing,
    };
    Kind kind = Kind::incomplete;
    std::string text;
};

// Whether a connection may still send more than it has so far.
enum class MessageInput { mayContinue, ended };

// Reads `bytes`, everything a connection has sent so far (any bytes past the first
// kAgentMessageLimit + 1 change nothing).
AgentMessage readAgentMessage(std::string_view bytes, MessageInput input);

// The owner-only folder of the agent's socket: $XDG_RUNTIME_DIR/ulvarend, or, without a runtime
// directory or where that folder is another user's or writable by others, the agent's state
// folder $XDG_STATE_HOME/ulvarend. Created when missing; empty, with `error` set, when neither
// can be used.
std::filesystem::path agentRuntimeDirectory(std::string* error);

// Tries to become this user's agent. Needs no event loop. The lock is kept in the agent's
// owner-only state folder, $XDG_STATE_HOME/ulvarend, which no other user can create or
// replace, so that the claim holds even where the runtime folder cannot be used. Returns the
// held claim, or nullptr when this process is not the agent: *whyNot is then left empty when
// another process of this user holds the claim, and says what failed when neither could be
// told.
std::unique_ptr<AgentLock> claimAgent(std::string* whyNot);

// Hands `url` to the running agent, waiting for one that is still starting; an empty `url`
// tells it that the participant started the program again, as from the application menu. Needs no
// event loop. Returns true once the agent has taken the link, else false with the failure in
// *whyNot.
bool handOverToAgent(const std::string& url, std::string* whyNot);

// Listens for links while the claim is held, on a socket in agentRuntimeDirectory(). `onLink` runs
// on the main thread from the event loop, after the connection that brought the link is done with;
// so does `onStartedAgain`, for a later invocation that brought no link;
// a message that is too long, not one line of text, too slow or from another user is dropped and
// described to `onError`. Needs the Qt application object. Returns nullptr, with `error` set, when
// it cannot listen.
std::unique_ptr<AgentChannel> openAgentChannel(const AgentLock& lock,
                                               std::function<void(const std::string&)> onLink,
                                               std::function<void()> onStartedAgain,
                                               ErrorReporter onError, std::string* error);

} // namespace ulvarend::platform
