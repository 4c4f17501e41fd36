#include "platform/FrontmostApplicationSource.h"
#include "support/Wait.h"
#include "support/XServer.h"

#include <atomic>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>
#include <xcb/xcb_ewmh.h>

namespace ulvarend::platform {
namespace {

using namespace std::chrono_literals;
using testing::waitUntil;

// What a test window says about itself; absent properties are not set at all.
struct Identity {
    std::optional<std::string> gtkApplicationId;
    std::optional<std::string> kdeDesktopFile;
    std::optional<std::string> wmClass; // instance and class parts, NUL-separated
};

// A client of the test display that makes windows and moves the focus between them.
class Client {
public:
    explicit Client(const std::string& display) {
        connection = xcb_connect(display.c_str(), nullptr);
        if (xcb_connection_has_error(connection) != 0) {
            throw std::runtime_error("cannot open " + display);
        }
        root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        gtk = atom("_GTK_APPLICATION_ID");
        kde = atom("_KDE_NET_WM_DESKTOP_FILE");
        utf8 = atom("UTF8_STRING");
        active = atom("_NET_ACTIVE_WINDOW");
    }
    ~Client() { xcb_disconnect(connection); }

    xcb_window_t window(const Identity& identity) {
        xcb_window_t id = xcb_generate_id(connection);
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, id, root, 0, 0, 100, 100, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
        set(id, gtk, utf8, identity.gtkApplicationId);
        set(id, kde, utf8, identity.kdeDesktopFile);
        set(id, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, identity.wmClass);
        xcb_map_window(connection, id);
        xcb_flush(connection);
        return id;
    }

    // Sets the given properties on a window that already exists and waits until X has them.
    void relabel(xcb_window_t id, const Identity& identity) {
        set(id, gtk, utf8, identity.gtkApplicationId);
        set(id, kde, utf8, identity.kdeDesktopFile);
        set(id, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, identity.wmClass);
        sync();
    }

    void destroy(xcb_window_t id) {
        xcb_destroy_window(connection, id);
        sync();
    }

    // Asks the window manager, as a pager would, until it has made the window active.
    void activate(xcb_window_t id) {
        const auto ask = [&] {
            xcb_client_message_event_t message{};
            message.response_type = XCB_CLIENT_MESSAGE;
            message.format = 32;
            message.window = id;
            message.type = active;
            message.data.data32[0] = 2; // from a pager: no focus-stealing prevention
            message.data.data32[1] = XCB_CURRENT_TIME;
            xcb_send_event(connection, 0, root,
                           XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY |
                               XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                           reinterpret_cast<const char*>(&message));
            xcb_flush(connection);
        };
        ask();
        ASSERT_TRUE(waitUntil([&] { return activeWindow() == id; }, ask)) << "window " << id;
    }

    // Writes the root's active window directly, as only a window manager would.
    void setActiveWindow(xcb_window_t id) {
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, root, active, XCB_ATOM_WINDOW, 32, 1,
                            &id);
        sync();
    }

    void waitForActiveWindow(xcb_window_t id) {
        ASSERT_TRUE(waitUntil([&] { return activeWindow() == id; }, [] {})) << "window " << id;
    }

    xcb_window_t activeWindow() {
        auto cookie = xcb_get_property(connection, 0, root, active, XCB_ATOM_WINDOW, 0, 1);
        auto* reply = xcb_get_property_reply(connection, cookie, nullptr);
        xcb_window_t id = XCB_WINDOW_NONE;
        if (reply != nullptr && xcb_get_property_value_length(reply) == 4) {
            id = *static_cast<xcb_window_t*>(xcb_get_property_value(reply));
        }
        std::free(reply);
        return id;
    }

private:
    xcb_atom_t atom(const char* name) {
        auto* reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, std::strlen(name), name), nullptr);
        xcb_atom_t id = reply->atom;
        std::free(reply);
        return id;
    }

    void set(xcb_window_t id, xcb_atom_t property, xcb_atom_t type,
             const std::optional<std::string>& value) {
        if (value) {
            xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, property, type, 8,
                                static_cast<uint32_t>(value->size()), value->data());
        }
    }

    void sync() {
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    }

    xcb_connection_t* connection;
    xcb_window_t root;
    xcb_atom_t gtk, kde, utf8, active;
};

class X11FrontmostSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        server = std::make_unique<testing::XServer>();
        setenv("DISPLAY", server->display().c_str(), 1);
        auto x11 =
            makeX11FrontmostSource([this](const std::string& error) { errors.push_back(error); });
        ASSERT_NE(x11, nullptr);
        source = showLockScreenWhileAsleep(std::move(x11), [this] { return asleep.load(); });
    }

    void TearDown() override {
        source.reset();
        server.reset();
        unsetenv("DISPLAY");
    }

    std::optional<std::string> identifierInFront() {
        auto frontmost = source->frontmostApplication();
        EXPECT_TRUE(frontmost.has_value()) << "no frontmost application";
        return frontmost ? frontmost->identifier : std::nullopt;
    }

    // Makes `window` active through the window manager and answers the identifier the source
    // then gives it. openbox may still be placing the windows just mapped and take the focus
    // elsewhere for a moment after it gave it, so the window manager is asked again while
    // another window is active, until the source names this one.
    std::optional<std::string> identifierOnceActive(Client& client, xcb_window_t window) {
        client.activate(window);
        std::optional<FrontmostApplication> frontmost;
        const bool named = waitUntil(
            [&] {
                frontmost = source->frontmostApplication();
                return frontmost && frontmost->window == "x11:" + std::to_string(window);
            },
            [&] {
                if (client.activeWindow() != window) {
                    client.activate(window);
                }
            });
        EXPECT_TRUE(named) << "window " << window << " was never named";
        return frontmost ? frontmost->identifier : std::nullopt;
    }

    std::unique_ptr<testing::XServer> server;
    std::atomic<bool> asleep = false;
    std::vector<std::string> errors;
    std::shared_ptr<FrontmostApplicationSource> source;
};

TEST_F(X11FrontmostSourceTest, NamesTheActiveWindowByTheFirstIdentifierItCarries) {
    server->startWindowManager();
    Client client(server->display());
    auto gtk = client.window({"org.example.Editor", "kde-editor", std::string("ed\0Ed", 5)});
    auto kde =
        client.window({std::nullopt, "org.kde.dolphin", std::string("dolphin\0Dolphin", 15)});
    auto wmClass = client.window({std::nullopt, std::nullopt, std::string("gimp\0Gimp\0", 10)});
    auto nameless = client.window({});
    // A name no application really has (longer than what is read, not UTF-8) is passed over
    // for the next one the window carries.
    auto overlong = client.window({std::string(2000, 'a'), "org.kde.kate", std::nullopt});
    auto notUtf8 =
        client.window({std::string("\xff\xfe"), std::nullopt, std::string("x\0Xapp", 6)});
    // Any program may store a class that runs to the end of the value, or none at all.
    std::vector<xcb_window_t> unnamed{nameless};
    for (const std::string& value :
         {std::string("abcd"), std::string(), std::string("inst\0", 5), std::string("abcdefg")}) {
        unnamed.push_back(client.window({std::nullopt, std::nullopt, value}));
    }

    EXPECT_EQ(identifierOnceActive(client, gtk), "org.example.Editor");
    EXPECT_EQ(identifierOnceActive(client, kde), "org.kde.dolphin");
    EXPECT_EQ(identifierOnceActive(client, wmClass), "Gimp");
    EXPECT_EQ(identifierOnceActive(client, overlong), "org.kde.kate");
    EXPECT_EQ(identifierOnceActive(client, notUtf8), "Xapp");
    // A window without a name is still told apart from the others, look after look.
    for (auto window : unnamed) {
        EXPECT_EQ(identifierOnceActive(client, window), std::nullopt);
        for (int look = 0; look < 2; ++look) {
            auto frontmost = source->frontmostApplication();
            ASSERT_TRUE(frontmost.has_value());
            EXPECT_EQ(frontmost->identifier, std::nullopt);
            EXPECT_EQ(frontmost->window, "x11:" + std::to_string(window));
        }
    }
    EXPECT_EQ(identifierOnceActive(client, gtk), "org.example.Editor");

    // With every window closed nothing is in front, whether the window manager clears the
    // property or (as openbox does) leaves it naming a window that no longer exists.
    unnamed.insert(unnamed.end(), {gtk, kde, wmClass, overlong, notUtf8});
    for (auto window : unnamed) {
        client.destroy(window);
    }
    EXPECT_TRUE(waitUntil([&] { return !source->frontmostApplication(); }, [] {}));
    EXPECT_TRUE(errors.empty());
}

TEST_F(X11FrontmostSourceTest, NoActiveWindowIsNoFrontmostApplication) {
    // No window manager has ever set the property.
    EXPECT_EQ(source->frontmostApplication(), std::nullopt);

    Client client(server->display());
    auto window = client.window({"org.example.Gone", std::nullopt, std::nullopt});
    client.setActiveWindow(window);
    EXPECT_EQ(identifierInFront(), "org.example.Gone");
    // The property still names the window after it has been destroyed.
    client.destroy(window);
    EXPECT_EQ(source->frontmostApplication(), std::nullopt);
    client.setActiveWindow(XCB_WINDOW_NONE);
    EXPECT_EQ(source->frontmostApplication(), std::nullopt);

    server->startWindowManager();
    client.waitForActiveWindow(XCB_WINDOW_NONE);
    EXPECT_EQ(source->frontmostApplication(), std::nullopt);
    EXPECT_TRUE(errors.empty());
}

TEST_F(X11FrontmostSourceTest, LockScreenWhileAsleepLostServerReportedOnceThenReconnected) {
    {
        Client client(server->display());
        client.setActiveWindow(client.window({std::nullopt, std::nullopt, std::string("a\0A", 3)}));
        EXPECT_EQ(identifierInFront(), "A");
    }

    server->stopServer();
    // Asleep, the answer comes without asking X, so nothing is noticed yet.
    asleep = true;
    const auto locked = source->frontmostApplication();
    ASSERT_TRUE(locked.has_value());
    EXPECT_TRUE(locked->isLockScreen);
    EXPECT_TRUE(errors.empty());

    asleep = false;
    EXPECT_EQ(source->frontmostApplication(), std::nullopt);
    EXPECT_EQ(source->frontmostApplication(), std::nullopt);
    EXPECT_EQ(source->frontmostApplication(), std::nullopt);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors.front().find(server->display()), std::string::npos) << errors.front();

    server->restartServer();
    Client client(server->display());
    client.setActiveWindow(client.window({"org.example.Back", std::nullopt, std::nullopt}));
    EXPECT_EQ(identifierInFront(), "org.example.Back");
    EXPECT_EQ(errors.size(), 1u);

    // A second loss is a new fault and is reported again.
    server->stopServer();
    EXPECT_EQ(source->frontmostApplication(), std::nullopt);
    EXPECT_EQ(errors.size(), 2u);
}

TEST_F(X11FrontmostSourceTest, IdentifiersThatChangeWhileTheWindowStaysInFrontAreSeen) {
    Client client(server->display());
    auto first = client.window({std::nullopt, std::nullopt, std::string("a\0A", 3)});
    auto second = client.window({std::nullopt, "org.kde.second", std::nullopt});
    client.setActiveWindow(first);
    EXPECT_EQ(identifierInFront(), "A");
    EXPECT_EQ(identifierInFront(), "A");

    client.relabel(first, {std::nullopt, std::nullopt, std::string("b\0B", 3)});
    EXPECT_EQ(identifierInFront(), "B");
    client.relabel(first, {"org.example.First", std::nullopt, std::nullopt});
    EXPECT_EQ(identifierInFront(), "org.example.First");

    // The window left behind is no longer the one that counts; the one in front is.
    client.setActiveWindow(second);
    EXPECT_EQ(identifierInFront(), "org.kde.second");
    client.relabel(first, {"org.example.Behind", std::nullopt, std::nullopt});
    EXPECT_EQ(identifierInFront(), "org.kde.second");
    client.relabel(second, {"org.example.Second", std::nullopt, std::nullopt});
    EXPECT_EQ(identifierInFront(), "org.example.Second");

    client.setActiveWindow(first);
    EXPECT_EQ(identifierInFront(), "org.example.Behind");
    client.destroy(first);
    EXPECT_EQ(source->frontmostApplication(), std::nullopt);
    EXPECT_TRUE(errors.empty());
}

TEST(X11FrontmostSourceFactory, NeedsADisplay) {
    unsetenv("DISPLAY");
    EXPECT_EQ(makeX11FrontmostSource(nullptr), nullptr);
    setenv("DISPLAY", ":999", 1);
    EXPECT_EQ(makeX11FrontmostSource(nullptr), nullptr);
    unsetenv("DISPLAY");
}

} // namespace
} // namespace ulvarend::platform
