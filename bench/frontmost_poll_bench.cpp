// Compares one poll of the X11 frontmost-application source with a hand-written xcb baseline doing
// the same reads: the root's active window, then that window's three identifier properties at once.
// Both run against the same private Xvfb in the same process. The source reads its answer
// again only after X reports a change, so with the same window in front each of its polls
// after the first is a read of the socket. For a steady comparison run
// with --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true.

#include "platform/FrontmostApplicationSource.h"
#include "support/XServer.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <xcb/xcb.h>

namespace {

std::unique_ptr<ulvarend::testing::XServer> server;

xcb_atom_t intern(xcb_connection_t* c, const char* name) {
    auto* reply = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::strlen(name), name), nullptr);
    xcb_atom_t atom = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

// The worst case for a poll: a window that names itself only by WM_CLASS, so that every
// identifier property is read and the last one decides.
class Scene {
public:
    Scene() {
        connection = xcb_connect(server->display().c_str(), nullptr);
        root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        active = intern(connection, "_NET_ACTIVE_WINDOW");
        gtk = intern(connection, "_GTK_APPLICATION_ID");
        kde = intern(connection, "_KDE_NET_WM_DESKTOP_FILE");
        window = xcb_generate_id(connection);
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, root, 0, 0, 10, 10, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
        static const char wmClass[] = "benchmark\0Benchmark";
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS,
                            XCB_ATOM_STRING, 8, sizeof wmClass, wmClass);
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, root, active, XCB_ATOM_WINDOW, 32, 1,
                            &window);
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    }
    ~Scene() { xcb_disconnect(connection); }

    xcb_connection_t* connection;
    xcb_window_t root;
    xcb_window_t window;
    xcb_atom_t active, gtk, kde;
};

void FrontmostPoll(benchmark::State& state) {
    Scene scene;
    auto source = ulvarend::platform::makeX11FrontmostSource(nullptr);
    if (source == nullptr) {
        state.SkipWithError("no X11 source");
        return;
    }
    for (auto _ : state) {
        auto frontmost = source->frontmostApplication();
        benchmark::DoNotOptimize(frontmost);
    }
}

void RawXcbBaseline(benchmark::State& state) {
    Scene scene;
    // A connection of its own, as the source has.
    xcb_connection_t* c = xcb_connect(server->display().c_str(), nullptr);
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    for (auto _ : state) {
        auto* activeReply = xcb_get_property_reply(
            c, xcb_get_property(c, 0, root, scene.active, XCB_ATOM_WINDOW, 0, 1), nullptr);
        xcb_window_t window = *static_cast<xcb_window_t*>(xcb_get_property_value(activeReply));
        std::free(activeReply);
        auto gtkCookie =
            xcb_get_property(c, 0, window, scene.gtk, XCB_GET_PROPERTY_TYPE_ANY, 0, 256);
        auto kdeCookie =
            xcb_get_property(c, 0, window, scene.kde, XCB_GET_PROPERTY_TYPE_ANY, 0, 256);
        auto classCookie =
            xcb_get_property(c, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 2048);
        auto* gtkReply = xcb_get_property_reply(c, gtkCookie, nullptr);
        auto* kdeReply = xcb_get_property_reply(c, kdeCookie, nullptr);
        auto* classReply = xcb_get_property_reply(c, classCookie, nullptr);
        auto* value = static_cast<const char*>(xcb_get_property_value(classReply));
        std::string className(value + std::strlen(value) + 1);
        benchmark::DoNotOptimize(className);
        std::free(gtkReply);
        std::free(kdeReply);
        std::free(classReply);
    }
    xcb_disconnect(c);
}

BENCHMARK(RawXcbBaseline);
BENCHMARK(FrontmostPoll);

} // namespace

int main(int argc, char** argv) {
    server = std::make_unique<ulvarend::testing::XServer>();
    setenv("DISPLAY", server->display().c_str(), 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    server.reset();
    return 0;
}
