#include "platform/AlertPresenter.h"
#include "support/OffscreenApplication.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

namespace ulvarend {
namespace {

using namespace std::chrono;

class AlertPresenterTest : public testing::OffscreenApplicationTest {
protected:
    std::shared_ptr<platform::AlertPresenter> presenter = platform::makeQtAlertPresenter();

    // Runs `inspect` on the open alert as soon as its modal loop is running; a failure when no
    // alert opens within ten seconds.
    static void whileOpen(std::function<void(QMessageBox&)> inspect) {
        auto* look = new QTimer;
        const auto deadline = steady_clock::now() + seconds{10};
        QObject::connect(look, &QTimer::timeout, [look, inspect, deadline] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr && steady_clock::now() < deadline) {
                return;
            }
            look->stop();
            look->deleteLater();
            ASSERT_NE(box, nullptr) << "no alert opened";
            inspect(*box);
        });
        look->start(milliseconds{5});
    }
};

TEST_F(AlertPresenterTest, TextsAreShownAsTypedNeverAsMarkup) {
    const QString name = "Er du <b>Bo</b> &amp; <img src=x>Åse?";
    const QString more = "<i>Hvis</i> ikke&nbsp;så";
    whileOpen([&](QMessageBox& box) {
        int shown = 0;
        for (auto* label : box.findChildren<QLabel*>()) {
            if (label->text() == name || label->text() == more) {
                ++shown;
                EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
            }
        }
        EXPECT_EQ(shown, 2);
        box.defaultButton()->click();
    });
    presenter->runModal({name.toStdString(),
                         more.toStdString(),
                         platform::AlertStyle::informational,
                         {"Ja"},
                         seconds{30}});
}

TEST_F(AlertPresenterTest, ShowsTheAlertAsGivenAndReportsTheChosenButton) {
    whileOpen([](QMessageBox& box) {
        EXPECT_EQ(box.windowTitle(), "Ulvarend");
        EXPECT_EQ(box.text(), "Er du Åse?");
        EXPECT_EQ(box.informativeText(), "Hvis ikke, så skift nuværende bruger.");
        EXPECT_EQ(box.icon(), QMessageBox::Information);
        EXPECT_TRUE(box.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        const auto buttons = box.buttons();
        ASSERT_EQ(buttons.size(), 2);
        EXPECT_EQ(box.defaultButton()->text(), "Ja, det er mig");
        for (auto* button : buttons) {
            if (button->text() == "Nej, skift bruger") {
                button->click();
            }
        }
    });
    const auto chosen = presenter->runModal({"Er du Åse?",
                                             "Hvis ikke, så skift nuværende bruger.",
                                             platform::AlertStyle::informational,
                                             {"Ja, det er mig", "Nej, skift bruger"},
                                             seconds{30}});
    EXPECT_EQ(chosen, 1u);
}

TEST_F(AlertPresenterTest, AnUnansweredAlertClosesByItselfAndAnAnsweredOnesTimerDiesWithIt) {
    const auto click = [](QMessageBox& box) { box.buttons().front()->click(); };
    // Answered long before its own timer (300 ms) is due.
    whileOpen(click);
    EXPECT_EQ(
        presenter->runModal({"Klar", "", platform::AlertStyle::warning, {"Ok"}, milliseconds{300}}),
        0u);
    // Had the first alert's timer outlived it, it would close this one at 300 ms.
    whileOpen([](QMessageBox& box) { EXPECT_EQ(box.icon(), QMessageBox::Critical); });
    // The click comes once the first alert's timer would have been due, not before.
    QTimer::singleShot(milliseconds{600}, [click] { whileOpen(click); });
    EXPECT_EQ(
        presenter->runModal({"Tracking", "", platform::AlertStyle::critical, {"Ok"}, seconds{30}}),
        0u);
    // Left alone, an alert closes by its own timer.
    EXPECT_EQ(
        presenter->runModal({"Klar", "", platform::AlertStyle::warning, {"Ok"}, milliseconds{150}}),
        std::nullopt);
}

} // namespace
} // namespace ulvarend
