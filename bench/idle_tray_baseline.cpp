// The floor any Qt tray program pays: a Widgets application that shows one status item and
// then does nothing. With --quit it only creates the application and leaves its event loop
// at once, which is the least a Qt program's start-up can cost.

#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstring>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--quit") == 0) {
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
        return app.exec();
    }
    app.setQuitOnLastWindowClosed(false);
    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::black);
    QSystemTrayIcon tray{QIcon(pixmap)};
    tray.show();
    return app.exec();
}
