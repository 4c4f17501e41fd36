#include "Implementations/CreateUserWindow.h"

#include "platform/qt/WindowPlacement.h"
#include "ui_CreateUserWindow.h"

namespace ulvarend {

CreateUserWindow::CreateUserWindow()
    : QWidget(nullptr, Qt::Window | Qt::WindowStaysOnTopHint),
      ui(std::make_unique<Ui::CreateUserWindow>()) {
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Opret en ny bruger"));
}

CreateUserWindow::~CreateUserWindow() = default;

void CreateUserWindow::show() {
    centreOnScreen(*this);
    QWidget::show();
    raise();
}

void CreateUserWindow::createButtonClicked() {
    const QString name = ui->newUserTextField->text();
    if (name.isEmpty()) {
        return;
    }
    // Taken as typed: a name is whatever the household calls itself, spaces included.
    if (userCreatedDelegate != nullptr) {
        userCreatedDelegate->userCreated(name.toStdString());
    }
    ui->newUserTextField->clear();
    close();
}

void CreateUserWindow::cancelButtonClicked() {
    close();
}

} // namespace ulvarend
