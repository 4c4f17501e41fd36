#include "platform/ScreenSources.h"

#include <QObject>
#include <QSocketNotifier>
#include <cstdlib>
#include <xcb/screensaver.h>
#include <xcb/xcb.h>

namespace ulvarend::platform {
namespace {

constexpr const char* kSource = "x11-screensaver";

// The X server's own screen saver, for X sessions whose desktop offers no screen saver
// service on the bus. Served by the main thread's event loop through a socket notifier.
class XScreenSaverSource final : public ScreenSources {
public:
    XScreenSaverSource(std::shared_ptr<ScreenState> state_, ErrorReporter onError_)
        : state(std::move(state_)), onError(std::move(onError_)) {
        listenToXScreenSaver();
    }

    ~XScreenSaverSource() override {
        delete notifier;
        if (x != nullptr) {
            xcb_disconnect(x);
        }
    }

private:
    void listenToXScreenSaver() {
        if (qEnvironmentVariableIsEmpty("DISPLAY")) {
            return;
        }
        x = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(x) != 0) {
            onError("Screen events: cannot connect to the X server");
            xcb_disconnect(x);
            x = nullptr;
            return;
        }
        const xcb_query_extension_reply_t* extension =
            xcb_get_extension_data(x, &xcb_screensaver_id);
        if (extension == nullptr || extension->present == 0) {
            onError("Screen events: the X server has no screen saver extension");
            xcb_disconnect(x);
            x = nullptr;
            return;
        }
        saverEvent = extension->first_event + XCB_SCREENSAVER_NOTIFY;
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
        xcb_screensaver_select_input(x, root, XCB_SCREENSAVER_EVENT_NOTIFY_MASK);
        auto* info =
            xcb_screensaver_query_info_reply(x, xcb_screensaver_query_info(x, root), nullptr);
        if (info != nullptr) {
            if (info->state == XCB_SCREENSAVER_STATE_ON) {
                state->report(kSource, true);
            }
            std::free(info);
        }
        xcb_flush(x);

        notifier = new QSocketNotifier(xcb_get_file_descriptor(x), QSocketNotifier::Read);
        QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                         [this] { readXEvents(); });
    }

    void readXEvents() {
        while (xcb_generic_event_t* event = xcb_poll_for_event(x)) {
            if ((event->response_type & 0x7f) == saverEvent) {
                const auto* notify = reinterpret_cast<xcb_screensaver_notify_event_t*>(event);
                const bool on = notify->state == XCB_SCREENSAVER_STATE_ON ||
                                notify->state == XCB_SCREENSAVER_STATE_CYCLE;
                state->report(kSource, on);
                if (!on) {
                    state->clearLockRequest();
                }
            }
            std::free(event);
        }
        if (xcb_connection_has_error(x) != 0) {
            onError("Screen events: the connection to the X server broke");
            notifier->setEnabled(false);
            state->drop(kSource);
        }
    }

    std::shared_ptr<ScreenState> state;
    ErrorReporter onError;
    xcb_connection_t* x = nullptr;
    QSocketNotifier* notifier = nullptr;
    uint8_t saverEvent = 0;
};

} // namespace

std::unique_ptr<ScreenSources> startXScreenSaverSource(std::shared_ptr<ScreenState> state,
                                                       ErrorReporter onError) {
    return std::make_unique<XScreenSaverSource>(std::move(state), std::move(onError));
}

} // namespace ulvarend::platform
