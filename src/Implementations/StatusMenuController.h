#pragma once

#include "interfaces/AppHasBeenSetupDelegate.h"
#include "interfaces/SettingsProtocol.h"
#include "interfaces/UserHandlerProtocol.h"
#include "interfaces/UserSessionChangesDelegate.h"
#include "platform/StatusArea.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <string>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace ulvarend {

// The agent's item in the desktop's status area: shows the selected household member and opens
// the user window.
class StatusMenuController final : public QObject,
                                   public UserSessionChangesDelegate,
                                   public AppHasBeenSetupDelegate,
                                   public std::enable_shared_from_this<StatusMenuController> {
    Q_OBJECT

public:
    StatusMenuController(std::shared_ptr<UserHandlerProtocol> userHandler,
                         std::shared_ptr<SettingsProtocol> settings, std::function<void()> quit);
    ~StatusMenuController() override;

    // Once, after construction: sets up the item and subscribes to settings and user changes.
    void awake();

    void userSessionStarted(const std::string& user) override;
    void userSessionEnded(const std::string& user) override;
    void appHasBeenSetupChanged(bool appHasBeenSetup) override;

    QString currentUserTitle() const;
    QMenu& menu() { return *statusMenu; }
    QSystemTrayIcon& trayIcon() { return *statusItem; }
    bool waitingForStatusArea() const;

public slots:
    void chooseUserClicked();

private:
    void updateCurrentUserMenuItem(bool appHasBeenSetup);
    void showWhenStatusAreaExists();

    std::unique_ptr<QMenu> statusMenu;
    QAction* currentUserMenuItem = nullptr;
    std::unique_ptr<QSystemTrayIcon> statusItem;
    std::shared_ptr<UserHandlerProtocol> userHandler;
    std::shared_ptr<SettingsProtocol> settings;
    std::function<void()> quit;
    // While the item waits for an X status area to appear.
    std::unique_ptr<platform::StatusAreaWatch> statusAreaWatch;
};

} // namespace ulvarend
