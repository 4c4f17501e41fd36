#pragma once

#include "interfaces/UserCreatedDelegate.h"

#include <QWidget>
#include <memory>

namespace Ui {
class CreateUserWindow;
}

namespace ulvarend {

// Asks for the name of one new household member.
class CreateUserWindow final : public QWidget {
    Q_OBJECT

public:
    CreateUserWindow();
    ~CreateUserWindow() override;

    // Not owned: the user window that owns this window is its delegate, so a shared pointer
    // back to it would keep both alive for ever.
    void setUserCreatedDelegate(UserCreatedDelegate* delegate) { userCreatedDelegate = delegate; }

    void show();

public slots:
    void createButtonClicked();
    void cancelButtonClicked();

private:
    std::unique_ptr<Ui::CreateUserWindow> ui;
    UserCreatedDelegate* userCreatedDelegate = nullptr;
};

} // namespace ulvarend
