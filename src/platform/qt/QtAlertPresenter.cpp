#include "platform/AlertPresenter.h"

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace ulvarend::platform {
namespace {

QMessageBox::Icon iconFor(AlertStyle style) {
    switch (style) {
    case AlertStyle::informational:
        return QMessageBox::Information;
    case AlertStyle::critical:
        return QMessageBox::Critical;
    case AlertStyle::warning:
        break;
    }
    return QMessageBox::Warning;
}

class QtAlertPresenter final : public AlertPresenter {
public:
    std::optional<std::size_t> runModal(const Alert& alert) override {
        QMessageBox box;
        box.setWindowTitle(QStringLiteral("Ulvarend"));
        box.setIcon(iconFor(alert.style));
        // The texts carry names as typed in a link: "<b>" or "&" in one is shown, never read.
        box.setTextFormat(Qt::PlainText);
        box.setText(QString::fromStdString(alert.messageText));
        box.setInformativeText(QString::fromStdString(alert.informativeText));
        for (auto* label : box.findChildren<QLabel*>()) {
            label->setTextFormat(Qt::PlainText);
        }
        box.setWindowFlag(Qt::WindowStaysOnTopHint);

        std::vector<QPushButton*> buttons;
        for (const auto& title : alert.buttons) {
            // One role for all keeps the order as given on every desktop style.
            buttons.push_back(
                box.addButton(QString::fromStdString(title), QMessageBox::AcceptRole));
        }
        if (!buttons.empty()) {
            box.setDefaultButton(buttons.front());
        }

        // The timer belongs to this box: an alert answered early cannot close a later one.
        bool closedByItself = false;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &box, [&] {
            closedByItself = true;
            box.done(-1);
        });
        if (alert.closeAfter) {
            timer.start(*alert.closeAfter);
        }

        box.show();
        box.raise();
        box.activateWindow();
        box.exec();
        timer.stop();

        if (closedByItself) {
            return std::nullopt;
        }
        for (std::size_t i = 0; i < buttons.size(); ++i) {
            if (box.clickedButton() == buttons[i]) {
                return i;
            }
        }
        // Closed with Escape or the window's close control: as if nobody answered.
        return std::nullopt;
    }
};

} // namespace

std::shared_ptr<AlertPresenter> makeQtAlertPresenter() {
    return std::make_shared<QtAlertPresenter>();
}

} // namespace ulvarend::platform
