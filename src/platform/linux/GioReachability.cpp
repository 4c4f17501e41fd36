#include "platform/Reachability.h"

#include <future>
#include <gio/gio.h>
#include <mutex>
#include <optional>
#include <thread>

namespace ulvarend::platform {
namespace {

// Everything the GLib thread touches lives here, so that the thread can outlast the monitor
// object when the last reference is dropped inside one of its own callbacks.
struct State {
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;

    std::mutex mutex;
    std::function<void()> whenReachable;
    std::function<void()> whenUnreachable;
    bool started = false;
    bool reachable = false;
    // The state the callbacks last announced; absent until the notifier has announced one.
    std::optional<bool> announced;

    ~State() {
        if (loop != nullptr) {
            g_main_loop_unref(loop);
        }
        if (context != nullptr) {
            g_main_context_unref(context);
        }
    }

    // Runs on the GLib thread only, so announcements cannot overtake one another.
    void announce() {
        std::function<void()> callback;
        {
            std::lock_guard lock(mutex);
            if (!started || announced == reachable) {
                return;
            }
            announced = reachable;
            callback = reachable ? whenReachable : whenUnreachable;
        }
        if (callback) {
            callback();
        }
    }
};

void onNetworkChanged(GNetworkMonitor* monitor, gboolean, gpointer data) {
    auto* state = static_cast<State*>(data);
    {
        std::lock_guard lock(state->mutex);
        state->reachable = g_network_monitor_get_network_available(monitor) != FALSE;
    }
    state->announce();
}

gboolean announceOnLoop(gpointer data) {
    static_cast<State*>(data)->announce();
    return G_SOURCE_REMOVE;
}

gboolean quitLoop(gpointer data) {
    g_main_loop_quit(static_cast<GMainLoop*>(data));
    return G_SOURCE_REMOVE;
}

// Sources are attached by hand rather than through g_main_context_invoke so that the work
// always happens on the GLib thread, never on the caller's.
void runOnLoop(GMainContext* context, GSourceFunc function, gpointer data) {
    GSource* source = g_idle_source_new();
    g_source_set_callback(source, function, data, nullptr);
    g_source_attach(source, context);
    g_source_unref(source);
}

// The process-wide default monitor delivers its signals to whichever context created it first,
// so each monitor makes a private instance of the default monitor's type on its own context.
GNetworkMonitor* newMonitor(std::string& whyNot) {
    GNetworkMonitor* shared = g_network_monitor_get_default();
    if (shared == nullptr) {
        whyNot = "no network monitor is available";
        return nullptr;
    }
    GError* error = nullptr;
    gpointer monitor = g_initable_new(G_OBJECT_TYPE(shared), nullptr, &error, nullptr);
    if (monitor == nullptr) {
        whyNot = error != nullptr ? error->message : "the network monitor cannot be created";
        g_clear_error(&error);
        return nullptr;
    }
    return G_NETWORK_MONITOR(monitor);
}

void runLoop(std::shared_ptr<State> state, std::promise<std::string> created) {
    g_main_context_push_thread_default(state->context);
    std::string whyNot;
    GNetworkMonitor* monitor = newMonitor(whyNot);
    gulong handler = 0;
    if (monitor != nullptr) {
        handler =
            g_signal_connect(monitor, "network-changed", G_CALLBACK(onNetworkChanged), state.get());
        std::lock_guard lock(state->mutex);
        state->reachable = g_network_monitor_get_network_available(monitor) != FALSE;
    }
    created.set_value(whyNot);
    if (monitor != nullptr) {
        g_main_loop_run(state->loop);
        g_signal_handler_disconnect(monitor, handler);
        g_object_unref(monitor);
    }
    // Sources still queued (an announcement after the quit) go unrun with the context.
    g_main_context_pop_thread_default(state->context);
}

class GioReachability final : public Reachability {
public:
    GioReachability() : state(std::make_shared<State>()) {
        state->context = g_main_context_new();
        state->loop = g_main_loop_new(state->context, FALSE);
    }

    ~GioReachability() override {
        if (!thread.joinable()) {
            return;
        }
        runOnLoop(state->context, quitLoop, state->loop);
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }

    // False, with `whyNot` filled, when the monitor could not be created.
    bool create(std::string* whyNot) {
        std::promise<std::string> created;
        auto result = created.get_future();
        thread = std::thread(runLoop, state, std::move(created));
        std::string failure = result.get();
        if (failure.empty()) {
            return true;
        }
        thread.join();
        if (whyNot != nullptr) {
            *whyNot = std::move(failure);
        }
        return false;
    }

    void setWhenReachable(std::function<void()> callback) override {
        std::lock_guard lock(state->mutex);
        state->whenReachable = std::move(callback);
    }

    void setWhenUnreachable(std::function<void()> callback) override {
        std::lock_guard lock(state->mutex);
        state->whenUnreachable = std::move(callback);
    }

    bool startNotifier(std::string* /*whyNot*/) override {
        {
            std::lock_guard lock(state->mutex);
            if (state->started) {
                return true;
            }
            state->started = true;
        }
        runOnLoop(state->context, announceOnLoop, state.get());
        return true;
    }

    Connection connection() override {
        std::lock_guard lock(state->mutex);
        return state->reachable ? Connection::connected : Connection::unavailable;
    }

private:
    std::shared_ptr<State> state;
    std::thread thread;
};

} // namespace

std::shared_ptr<Reachability> makeGioReachability(std::string* whyNot) {
    auto reachability = std::make_shared<GioReachability>();
    return reachability->create(whyNot) ? reachability : nullptr;
}

} // namespace ulvarend::platform
