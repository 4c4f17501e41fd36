#include "platform/FrontmostApplicationSource.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <wayland-client.h>

namespace ulvarend::platform {
namespace {

// Nothing past the first version is needed, but a newer compositor is met at what this
// client's description knows.
constexpr uint32_t kManagerVersion = 3;

std::string describe(int error) {
    if (error == EPIPE || error == ECONNRESET) {
        return "the compositor closed the connection";
    }
    if (error == EPROTO) {
        return "a protocol error";
    }
    return std::strerror(error);
}

// One connection to the compositor and what it has told about its toplevels. Made and ended
// on the polling side; between the two only its own thread reads from the display.
class Session {
public:
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    ~Session() {
        if (reader.joinable()) {
            uint64_t one = 1;
            // The reader sees the wake-up even if this write came before it started polling.
            [[maybe_unused]] auto written = write(wake, &one, sizeof one);
            reader.join();
        }
        for (auto& [handle, toplevel] : toplevels) {
            zwlr_foreign_toplevel_handle_v1_destroy(handle);
        }
        if (manager != nullptr) {
            zwlr_foreign_toplevel_manager_v1_destroy(manager);
        }
        if (registry != nullptr) {
            wl_registry_destroy(registry);
        }
        if (display != nullptr) {
            wl_display_disconnect(display);
        }
        if (wake >= 0) {
            close(wake);
        }
    }

    // A session that has its toplevels and listens for more, or nullptr.
    static std::unique_ptr<Session> open(const std::string& name) {
        auto session = std::make_unique<Session>();
        if (!session->start(name)) {
            return nullptr;
        }
        return session;
    }

    struct Look {
        // Empty while the connection holds; why it broke otherwise.
        std::string failure;
        std::optional<FrontmostApplication> frontmost;
    };

    Look look() {
        std::lock_guard lock(mutex);
        if (!failure.empty()) {
            return {failure, std::nullopt};
        }
        const Toplevel* front = nullptr;
        for (const auto& [handle, toplevel] : toplevels) {
            // Should two claim the focus at once, the one that took it last is believed.
            if (toplevel.activated && (front == nullptr || toplevel.since > front->since)) {
                front = &toplevel;
            }
        }
        if (front == nullptr) {
            return {};
        }
        std::optional<std::string> identifier;
        if (front->appId) {
            identifier = boundedIdentifier(*front->appId);
        }
        return {{},
                FrontmostApplication{std::move(identifier), false,
                                     "wlr:" + std::to_string(front->number)}};
    }

private:
    struct Toplevel {
        // Sent details wait for "done", which makes them true together.
        std::optional<std::string> pendingAppId;
        bool pendingActivated = false;
        std::optional<std::string> appId;
        bool activated = false;
        // When it last became activated, in the order of this session's events.
        uint64_t since = 0;
        // Tells this toplevel apart from every other one the agent has seen.
        uint64_t number = 0;
    };

    bool start(const std::string& name) {
        display = wl_display_connect(name.c_str());
        if (display == nullptr) {
            return false;
        }
        registry = wl_display_get_registry(display);
        wl_registry_add_listener(registry, &registryListener, this);
        if (wl_display_roundtrip(display) < 0 || managerName == 0) {
            return false;
        }
        manager = static_cast<zwlr_foreign_toplevel_manager_v1*>(
            wl_registry_bind(registry, managerName, &zwlr_foreign_toplevel_manager_v1_interface,
                             std::min(managerVersion, kManagerVersion)));
        zwlr_foreign_toplevel_manager_v1_add_listener(manager, &managerListener, this);
        // The toplevels that exist, each with its details, come before the answer to this.
        if (wl_display_roundtrip(display) < 0) {
            return false;
        }
        wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake < 0) {
            return false;
        }
        reader = std::thread([this] { read(); });
        return true;
    }

    void read() {
        pollfd fds[2] = {{wl_display_get_fd(display), POLLIN, 0}, {wake, POLLIN, 0}};
        for (;;) {
            while (wl_display_prepare_read(display) != 0) {
                if (wl_display_dispatch_pending(display) < 0) {
                    fail(describe(wl_display_get_error(display)));
                    return;
                }
            }
            // The client sends next to nothing (a destroy now and then), so a full socket
            // buffer is not waited out.
            wl_display_flush(display);
            if (poll(fds, 2, -1) < 0) {
                wl_display_cancel_read(display);
                if (errno == EINTR) {
                    continue;
                }
                fail(describe(errno));
                return;
            }
            if (fds[1].revents != 0) {
                wl_display_cancel_read(display);
                return;
            }
            if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0) {
                fail(describe(wl_display_get_error(display)));
                return;
            }
            std::lock_guard lock(mutex);
            if (!failure.empty()) {
                return; // the manager finished
            }
        }
    }

    void fail(std::string why) {
        std::lock_guard lock(mutex);
        if (failure.empty()) {
            failure = std::move(why);
        }
    }

    // Listeners. The initial round trips run them on the opening thread, every later event
    // on the reader; the lock keeps the polling thread's look consistent.

    static void global(void* data, wl_registry*, uint32_t name, const char* interface,
                       uint32_t version) {
        auto* self = static_cast<Session*>(data);
        if (std::strcmp(interface, zwlr_foreign_toplevel_manager_v1_interface.name) == 0) {
            self->managerName = name;
            self->managerVersion = version;
        }
    }

    static void globalRemove(void* data, wl_registry*, uint32_t name) {
        auto* self = static_cast<Session*>(data);
        if (name == self->managerName && self->manager != nullptr) {
            self->fail("the compositor withdrew the toplevel list");
        }
    }

    static void toplevel(void* data, zwlr_foreign_toplevel_manager_v1*,
                         zwlr_foreign_toplevel_handle_v1* handle) {
        auto* self = static_cast<Session*>(data);
        {
            std::lock_guard lock(self->mutex);
            // Numbered across connections, so that a toplevel of a later connection is never
            // taken for one of an earlier connection.
            static std::atomic<uint64_t> toplevelsSeen{0};
            self->toplevels[handle].number = ++toplevelsSeen;
        }
        zwlr_foreign_toplevel_handle_v1_add_listener(handle, &handleListener, self);
    }

    static void finished(void* data, zwlr_foreign_toplevel_manager_v1* manager) {
        auto* self = static_cast<Session*>(data);
        // The compositor has already let go of the manager.
        zwlr_foreign_toplevel_manager_v1_destroy(manager);
        self->manager = nullptr;
        self->fail("the compositor stopped announcing toplevels");
    }

    Toplevel& of(zwlr_foreign_toplevel_handle_v1* handle) { return toplevels[handle]; }

    static void title(void*, zwlr_foreign_toplevel_handle_v1*, const char*) {}

    static void appId(void* data, zwlr_foreign_toplevel_handle_v1* handle, const char* appId) {
        auto* self = static_cast<Session*>(data);
        std::lock_guard lock(self->mutex);
        self->of(handle).pendingAppId = std::string(appId != nullptr ? appId : "");
    }

    static void outputEnter(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
    static void outputLeave(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}

    static void state(void* data, zwlr_foreign_toplevel_handle_v1* handle, wl_array* states) {
        auto* self = static_cast<Session*>(data);
        bool activated = false;
        const auto* entries = static_cast<const uint32_t*>(states->data);
        for (std::size_t i = 0; i < states->size / sizeof(uint32_t); ++i) {
            activated = activated || entries[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED;
        }
        std::lock_guard lock(self->mutex);
        self->of(handle).pendingActivated = activated;
    }

    static void done(void* data, zwlr_foreign_toplevel_handle_v1* handle) {
        auto* self = static_cast<Session*>(data);
        std::lock_guard lock(self->mutex);
        Toplevel& toplevel = self->of(handle);
        if (toplevel.pendingActivated && !toplevel.activated) {
            toplevel.since = ++self->events;
        }
        toplevel.activated = toplevel.pendingActivated;
        if (toplevel.pendingAppId) {
            toplevel.appId = toplevel.pendingAppId;
        }
    }

    static void closed(void* data, zwlr_foreign_toplevel_handle_v1* handle) {
        auto* self = static_cast<Session*>(data);
        {
            std::lock_guard lock(self->mutex);
            self->toplevels.erase(handle);
        }
        zwlr_foreign_toplevel_handle_v1_destroy(handle);
    }

    static void parent(void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {}

    static constexpr wl_registry_listener registryListener{global, globalRemove};
    static constexpr zwlr_foreign_toplevel_manager_v1_listener managerListener{toplevel, finished};
    static constexpr zwlr_foreign_toplevel_handle_v1_listener handleListener{
        title, appId, outputEnter, outputLeave, state, done, closed, parent};

    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    zwlr_foreign_toplevel_manager_v1* manager = nullptr;
    uint32_t managerName = 0;
    uint32_t managerVersion = 0;
    int wake = -1;
    std::thread reader;

    std::mutex mutex;
    std::map<zwlr_foreign_toplevel_handle_v1*, Toplevel> toplevels;
    uint64_t events = 0;
    std::string failure;
};

class WlrFrontmostSource final : public FrontmostApplicationSource {
public:
    WlrFrontmostSource(std::string display, std::unique_ptr<Session> session, ErrorReporter onError)
        : display(std::move(display)), onError(std::move(onError)), session(std::move(session)) {}

    std::optional<FrontmostApplication> frontmostApplication() override {
        // The tracker polls from one thread at a time, but not always the same one.
        std::lock_guard lock(mutex);
        if (!session) {
            session = Session::open(display);
            if (!session) {
                return std::nullopt;
            }
            reported = false;
        }
        auto look = session->look();
        if (!look.failure.empty()) {
            session.reset();
            if (!reported) {
                reported = true;
                if (onError) {
                    onError("Lost the connection to the Wayland compositor " + display + ": " +
                            look.failure);
                }
            }
            return std::nullopt;
        }
        return look.frontmost;
    }

private:
    const std::string display;
    const ErrorReporter onError;

    std::mutex mutex;
    std::unique_ptr<Session> session;
    // Whether the loss of the connection has been reported since it was last open.
    bool reported = false;
};

} // namespace

std::shared_ptr<FrontmostApplicationSource> makeWlrFrontmostSource(ErrorReporter onError) {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    if (display == nullptr || display[0] == '\0') {
        return nullptr;
    }
    auto session = Session::open(display);
    if (!session) {
        return nullptr;
    }
    return std::make_shared<WlrFrontmostSource>(display, std::move(session), std::move(onError));
}

} // namespace ulvarend::platform
