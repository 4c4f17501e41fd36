#include "Implementations/StatusMenuController.h"

#include <QAction>
#include <QGuiApplication>
#include <QIcon>
#include <QImageReader>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

namespace ulvarend {

namespace {

// Settings and the user handler keep their subscribers for ever, and the controller keeps both
// of them: subscribing the controller itself would make a cycle that is never freed.
class WeakSubscriber final : public UserSessionChangesDelegate, public AppHasBeenSetupDelegate {
public:
    explicit WeakSubscriber(std::weak_ptr<StatusMenuController> controller_)
        : controller(std::move(controller_)) {}

    void userSessionStarted(const std::string& user) override {
        if (const auto c = controller.lock()) {
            c->userSessionStarted(user);
        }
    }
    void userSessionEnded(const std::string& user) override {
        if (const auto c = controller.lock()) {
            c->userSessionEnded(user);
        }
    }
    void appHasBeenSetupChanged(bool appHasBeenSetup) override {
        if (const auto c = controller.lock()) {
            c->appHasBeenSetupChanged(appHasBeenSetup);
        }
    }

private:
    std::weak_ptr<StatusMenuController> controller;
};

} // namespace

StatusMenuController::StatusMenuController(std::shared_ptr<UserHandlerProtocol> userHandler_,
                                           std::shared_ptr<SettingsProtocol> settings_,
                                           std::function<void()> quit_)
    : statusMenu(std::make_unique<QMenu>()), statusItem(std::make_unique<QSystemTrayIcon>()),
      userHandler(std::move(userHandler_)), settings(std::move(settings_)), quit(std::move(quit_)) {
    currentUserMenuItem = statusMenu->addAction(QString());
    currentUserMenuItem->setEnabled(false);
    statusMenu->addSeparator();
    QAction* chooseUser = statusMenu->addAction(QStringLiteral("Skift bruger…"));
    connect(chooseUser, &QAction::triggered, this, &StatusMenuController::chooseUserClicked);
    statusMenu->addSeparator();
    QAction* quitItem = statusMenu->addAction(QStringLiteral("Afslut"));
    connect(quitItem, &QAction::triggered, this, [this] {
        if (quit) {
            quit();
        }
    });
}

StatusMenuController::~StatusMenuController() = default;

void StatusMenuController::awake() {
    // Drawn from the SVG at build time. Read as PNG by Qt's own reader: letting Qt find the
    // reader would load every image format plugin, Qt SVG's among them, to ask each.
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QImageReader reader(QStringLiteral(":/statusIcon/%1.png").arg(size), "png");
        reader.setAutoDetectImageFormat(false);
        icon.addPixmap(QPixmap::fromImage(reader.read()));
    }
    icon.setIsMask(true);
    statusItem->setIcon(icon);
    statusItem->setContextMenu(statusMenu.get());
    showWhenStatusAreaExists();

    updateCurrentUserMenuItem(settings->appHasBeenSetup());
    const auto subscriber = std::make_shared<WeakSubscriber>(weak_from_this());
    settings->addAppHasBeenSetupChangedSubscriber(subscriber);
    userHandler->addUserSessionChangesSubscriber(subscriber);
}

// A desktop without a status area is no reason to stop measuring; the item appears once a
// status area does. Only an X status area can still come: Qt decides once, at its start,
// whether the desktop's D-Bus status area is there. The watch waits for the X server to tell,
// so an agent without a status area wakes for nothing.
void StatusMenuController::showWhenStatusAreaExists() {
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        statusItem->show();
        return;
    }
    if (QGuiApplication::platformName() != QStringLiteral("xcb")) {
        return;
    }
    statusAreaWatch = platform::watchForXStatusArea([this] {
        if (!statusAreaWatch || !QSystemTrayIcon::isSystemTrayAvailable()) {
            return;
        }
        statusItem->show();
        // Not from inside the watch's own event handler.
        QTimer::singleShot(0, this, [this] { statusAreaWatch.reset(); });
    });
}

bool StatusMenuController::waitingForStatusArea() const {
    return statusAreaWatch != nullptr && !statusItem->isVisible();
}

namespace {

// A name is shown exactly as typed, on either of the two ways the menu reaches the screen. A
// menu that Qt draws itself reads "&" as the mark of a shortcut key. A menu that the desktop
// draws (Qt hands it over as a D-Bus menu, then the menu has a platform menu) reads "_" as that
// mark and "__" as an underscore, and Qt turns the first "&" of a text into "_" on the way
// but passes every "_" on as it is.
QString asMenuText(const QString& text, QMenu& menu) {
    QString escaped = text;
    if (menu.platformMenu() == nullptr) {
        return escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
    }
    escaped.replace(QLatin1Char('_'), QStringLiteral("__"));
    // One "&" in front gives Qt's conversion the text's first letter, and the "&" typed reach
    // the desktop as they are.
    return escaped.contains(QLatin1Char('&')) ? QLatin1Char('&') + escaped : escaped;
}

} // namespace

void StatusMenuController::updateCurrentUserMenuItem(bool appHasBeenSetup) {
    currentUserMenuItem->setText(
        appHasBeenSetup ? asMenuText(QStringLiteral("Valgte bruger: ") +
                                         QString::fromStdString(settings->currentUser()),
                                     *statusMenu)
                        : QStringLiteral("Mangler opsætning"));
}

QString StatusMenuController::currentUserTitle() const {
    // The text as the menu shows it, shortcut marks taken out.
    return currentUserMenuItem->iconText();
}

// Before setup there are no users to choose from.
void StatusMenuController::chooseUserClicked() {
    if (settings->appHasBeenSetup()) {
        userHandler->showUserWindow(/*invokedFromStatusMenu=*/true);
    }
}

void StatusMenuController::appHasBeenSetupChanged(bool appHasBeenSetup) {
    updateCurrentUserMenuItem(appHasBeenSetup);
}

void StatusMenuController::userSessionStarted(const std::string& user) {
    currentUserMenuItem->setText(
        asMenuText(QStringLiteral("Valgte bruger: ") + QString::fromStdString(user), *statusMenu));
}

void StatusMenuController::userSessionEnded(const std::string&) {}

} // namespace ulvarend
