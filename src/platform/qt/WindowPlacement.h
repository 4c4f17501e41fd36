#pragma once

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace ulvarend {

// For the window classes, which use Qt Widgets themselves; nothing else includes it.
// Puts a window of the agent in the middle of the screen it is on, or of the primary one.
inline void centreOnScreen(QWidget& window) {
    const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    QRect frame = window.frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window.move(frame.topLeft());
}

} // namespace ulvarend
