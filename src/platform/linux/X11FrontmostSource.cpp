#include "platform/FrontmostApplicationSource.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

namespace ulvarend::platform {
namespace {

// Identifier properties are short names; this many 32-bit units is far more than any needs.
constexpr uint32_t kPropertyLength = 256;

std::string describe(int error) {
    switch (error) {
    case XCB_CONN_ERROR:
        return "the connection broke";
    case XCB_CONN_CLOSED_EXT_NOTSUPPORTED:
        return "an extension is not supported";
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
        return "out of memory";
    case XCB_CONN_CLOSED_REQ_LEN_EXCEED:
        return "a request was too long";
    case XCB_CONN_CLOSED_PARSE_ERR:
        return "the display name cannot be parsed";
    case XCB_CONN_CLOSED_INVALID_SCREEN:
        return "the display has no such screen";
    default:
        return "error " + std::to_string(error);
    }
}

// A text property's value, absent when the property is missing, empty or not text.
std::optional<std::string> textOf(xcb_get_property_reply_t* reply) {
    // A value longer than what was read would be taken for another, shorter one.
    if (reply == nullptr || reply->format != 8 || reply->bytes_after != 0) {
        return std::nullopt;
    }
    auto length = xcb_get_property_value_length(reply);
    if (length <= 0) {
        return std::nullopt;
    }
    std::string text(static_cast<const char*>(xcb_get_property_value(reply)),
                     static_cast<std::size_t>(length));
    // Some clients store the terminating NUL too.
    text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
    if (text.empty()) {
        return std::nullopt;
    }
    return text;
}

// The class part of a WM_CLASS value: the instance name, a NUL, the class name and usually a
// closing NUL. Any program may store any bytes there, so the value is split only within its
// length, and a value without the NUL or with an empty class names nothing.
std::optional<std::string> classPartOf(xcb_get_property_reply_t* reply) {
    if (reply == nullptr || reply->format != 8 || reply->bytes_after != 0) {
        return std::nullopt;
    }
    const auto length = xcb_get_property_value_length(reply);
    if (length <= 0) {
        return std::nullopt;
    }
    const std::string_view value(static_cast<const char*>(xcb_get_property_value(reply)),
                                 static_cast<std::size_t>(length));
    const auto separator = value.find('\0');
    if (separator == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view className = value.substr(separator + 1);
    className = className.substr(0, className.find('\0'));
    if (className.empty()) {
        return std::nullopt;
    }
    return std::string(className);
}

class X11FrontmostSource final : public FrontmostApplicationSource {
public:
    X11FrontmostSource(std::string display, ErrorReporter onError)
        : display(std::move(display)), onError(std::move(onError)) {}

    ~X11FrontmostSource() override { disconnect(); }

    // Whether the display could be opened; also the way a lost connection is reopened.
    bool connect() {
        int screen = 0;
        xcb_connection_t* opened = xcb_connect(display.c_str(), &screen);
        if (xcb_connection_has_error(opened) != 0) {
            xcb_disconnect(opened);
            return false;
        }
        auto gtkCookie =
            xcb_intern_atom(opened, 0, std::strlen("_GTK_APPLICATION_ID"), "_GTK_APPLICATION_ID");
        auto kdeCookie = xcb_intern_atom(opened, 0, std::strlen("_KDE_NET_WM_DESKTOP_FILE"),
                                         "_KDE_NET_WM_DESKTOP_FILE");
        xcb_intern_atom_cookie_t* ewmhCookies = xcb_ewmh_init_atoms(opened, &ewmh);
        bool ewmhReady = xcb_ewmh_init_atoms_replies(&ewmh, ewmhCookies, nullptr) != 0;
        auto* gtk = xcb_intern_atom_reply(opened, gtkCookie, nullptr);
        auto* kde = xcb_intern_atom_reply(opened, kdeCookie, nullptr);
        bool ready = ewmhReady && gtk != nullptr && kde != nullptr;
        if (ready) {
            gtkApplicationId = gtk->atom;
            kdeDesktopFile = kde->atom;
        }
        std::free(gtk);
        std::free(kde);
        if (!ready) {
            // A failed initialisation has already freed what the ewmh structure held.
            if (ewmhReady) {
                xcb_ewmh_connection_wipe(&ewmh);
            }
            ewmh = {};
            xcb_disconnect(opened);
            return false;
        }
        connection = opened;
        screenNumber = screen;
        reported = false;
        watched = XCB_WINDOW_NONE;
        stale = true;
        // Selected before the first look, so that no change after it goes unseen.
        watch(ewmh.screens[screen]->root, XCB_EVENT_MASK_PROPERTY_CHANGE);
        return true;
    }

    std::optional<FrontmostApplication> frontmostApplication() override {
        std::lock_guard lock(mutex);
        if (connection == nullptr && !connect()) {
            return std::nullopt;
        }
        readEvents();
        if (stale && xcb_connection_has_error(connection) == 0) {
            stale = false;
            answer = ask();
        }
        if (xcb_connection_has_error(connection) != 0) {
            lost(xcb_connection_has_error(connection));
            return std::nullopt;
        }
        return answer;
    }

private:
    // The answer is read again only after X has reported a change that can alter it, so that
    // a poll while nothing changes costs one read of the socket and no round trip.
    void readEvents() {
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
            switch (event->response_type & 0x7f) {
            case XCB_PROPERTY_NOTIFY: {
                const auto* notify = reinterpret_cast<xcb_property_notify_event_t*>(event);
                if ((notify->window == ewmh.screens[screenNumber]->root &&
                     notify->atom == ewmh._NET_ACTIVE_WINDOW) ||
                    (notify->window == watched &&
                     (notify->atom == XCB_ATOM_WM_CLASS || notify->atom == gtkApplicationId ||
                      notify->atom == kdeDesktopFile))) {
                    stale = true;
                }
                break;
            }
            case XCB_DESTROY_NOTIFY:
                if (reinterpret_cast<xcb_destroy_notify_event_t*>(event)->window == watched) {
                    stale = true;
                }
                break;
            default:
                // Errors from selecting events on a window that has just gone away, and the
                // other structure events of the watched window, change nothing.
                break;
            }
            std::free(event);
        }
    }

    void watch(xcb_window_t window, uint32_t mask) {
        xcb_change_window_attributes(connection, window, XCB_CW_EVENT_MASK, &mask);
    }

    // Two round trips: the active window, then its three identifier properties at once. Events
    // on a newly active window are selected before its properties are read.
    std::optional<FrontmostApplication> ask() {
        xcb_window_t active = XCB_WINDOW_NONE;
        auto activeCookie = xcb_ewmh_get_active_window(&ewmh, screenNumber);
        if (xcb_ewmh_get_active_window_reply(&ewmh, activeCookie, &active, nullptr) == 0 ||
            active == XCB_WINDOW_NONE) {
            return std::nullopt;
        }
        if (active != watched) {
            if (watched != XCB_WINDOW_NONE) {
                watch(watched, XCB_EVENT_MASK_NO_EVENT);
            }
            watch(active, XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY);
            watched = active;
        }

        auto gtkCookie = xcb_get_property(connection, 0, active, gtkApplicationId,
                                          XCB_GET_PROPERTY_TYPE_ANY, 0, kPropertyLength);
        auto kdeCookie = xcb_get_property(connection, 0, active, kdeDesktopFile,
                                          XCB_GET_PROPERTY_TYPE_ANY, 0, kPropertyLength);
        auto classCookie = xcb_get_property(connection, 0, active, XCB_ATOM_WM_CLASS,
                                            XCB_GET_PROPERTY_TYPE_ANY, 0, kPropertyLength);

        xcb_generic_error_t* gtkError = nullptr;
        xcb_generic_error_t* kdeError = nullptr;
        xcb_generic_error_t* classError = nullptr;
        auto* gtk = xcb_get_property_reply(connection, gtkCookie, &gtkError);
        auto* kde = xcb_get_property_reply(connection, kdeCookie, &kdeError);
        auto* wmClass = xcb_get_property_reply(connection, classCookie, &classError);

        // An error means the active window is gone: the property names a window that has
        // been destroyed since, which is no application at all.
        bool gone = gtkError != nullptr || kdeError != nullptr || classError != nullptr;
        // The first property that holds a usable name names the application; one that any
        // program could fill with anything is passed over when it is not one.
        std::optional<std::string> identifier;
        for (const auto& told : {textOf(gtk), textOf(kde), classPartOf(wmClass)}) {
            if (told && (identifier = boundedIdentifier(*told))) {
                break;
            }
        }
        std::free(wmClass);
        std::free(gtk);
        std::free(kde);
        std::free(gtkError);
        std::free(kdeError);
        std::free(classError);
        if (gone) {
            return std::nullopt;
        }
        return FrontmostApplication{std::move(identifier), false, "x11:" + std::to_string(active)};
    }

    void lost(int error) {
        disconnect();
        if (reported) {
            return;
        }
        reported = true;
        if (onError) {
            onError("Lost the connection to the X display " + display + ": " + describe(error));
        }
    }

    void disconnect() {
        if (connection == nullptr) {
            return;
        }
        xcb_ewmh_connection_wipe(&ewmh);
        xcb_disconnect(connection);
        connection = nullptr;
    }

    const std::string display;
    const ErrorReporter onError;

    // The tracker polls from one thread at a time, but not always the same one.
    std::mutex mutex;
    xcb_connection_t* connection = nullptr;
    xcb_ewmh_connection_t ewmh{};
    int screenNumber = 0;
    xcb_atom_t gtkApplicationId = XCB_ATOM_NONE;
    xcb_atom_t kdeDesktopFile = XCB_ATOM_NONE;
    // Whether the loss of the connection has been reported since it was last open.
    bool reported = false;
    // The window whose identifier properties and destruction are watched.
    xcb_window_t watched = XCB_WINDOW_NONE;
    // Whether X has reported a change since `answer` was read.
    bool stale = true;
    std::optional<FrontmostApplication> answer;
};

} // namespace

std::shared_ptr<FrontmostApplicationSource> makeX11FrontmostSource(ErrorReporter onError) {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0') {
        return nullptr;
    }
    auto source = std::make_shared<X11FrontmostSource>(display, std::move(onError));
    if (!source->connect()) {
        return nullptr;
    }
    return source;
}

} // namespace ulvarend::platform
