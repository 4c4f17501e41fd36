#include "platform/StatusArea.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdlib>
#include <string>
#include <xcb/xcb.h>

namespace ulvarend::platform {
namespace {

xcb_atom_t atomNamed(xcb_connection_t* x, const std::string& name) {
    auto* reply = xcb_intern_atom_reply(
        x, xcb_intern_atom(x, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr);
    const xcb_atom_t atom = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

// A tray manager announces itself with a MANAGER client message to the root window, which
// reaches every client that selected the root's structure events.
class XStatusAreaWatch final : public StatusAreaWatch {
public:
    XStatusAreaWatch(xcb_connection_t* x_, int screen, std::function<void()> appeared_)
        : x(x_), appeared(std::move(appeared_)) {
        auto roots = xcb_setup_roots_iterator(xcb_get_setup(x));
        for (int i = 0; i < screen && roots.rem > 0; ++i) {
            xcb_screen_next(&roots);
        }
        const xcb_window_t root = roots.data->root;
        manager = atomNamed(x, "MANAGER");
        tray = atomNamed(x, "_NET_SYSTEM_TRAY_S" + std::to_string(screen));
        const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(x, root, XCB_CW_EVENT_MASK, &mask);
        // Selected before looking, so that a tray coming in between is not missed.
        auto* owner = xcb_get_selection_owner_reply(x, xcb_get_selection_owner(x, tray), nullptr);
        const bool present = owner != nullptr && owner->owner != XCB_WINDOW_NONE;
        std::free(owner);
        xcb_flush(x);

        notifier =
            std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(x), QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(),
                         [this] { readEvents(); });
        if (present) {
            QTimer::singleShot(0, notifier.get(), [this] { appeared(); });
        }
    }

    ~XStatusAreaWatch() override {
        notifier.reset();
        xcb_disconnect(x);
    }

    XStatusAreaWatch(const XStatusAreaWatch&) = delete;
    XStatusAreaWatch& operator=(const XStatusAreaWatch&) = delete;

private:
    void readEvents() {
        bool announced = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(x)) {
            if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                const auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
                announced = announced || (message->type == manager && message->format == 32 &&
                                          message->data.data32[1] == tray);
            }
            std::free(event);
        }
        if (xcb_connection_has_error(x) != 0) {
            // The display is gone; so is any status area on it.
            notifier->setEnabled(false);
        }
        if (announced) {
            appeared();
        }
    }

    xcb_connection_t* x;
    std::function<void()> appeared;
    xcb_atom_t manager = XCB_ATOM_NONE;
    xcb_atom_t tray = XCB_ATOM_NONE;
    std::unique_ptr<QSocketNotifier> notifier;
};

} // namespace

std::unique_ptr<StatusAreaWatch> watchForXStatusArea(std::function<void()> appeared) {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0') {
        return nullptr;
    }
    int screen = 0;
    xcb_connection_t* x = xcb_connect(display, &screen);
    if (xcb_connection_has_error(x) != 0) {
        xcb_disconnect(x);
        return nullptr;
    }
    return std::make_unique<XStatusAreaWatch>(x, screen, std::move(appeared));
}

} // namespace ulvarend::platform
