// A plain window for the tests of the desktop sources, named by its first argument: that is
// its desktop-file name, and so its Wayland app id, and on X11 the class part of its WM_CLASS.
// It stays open until it is ended.

#include <QGuiApplication>
#include <QPainter>
#include <QRasterWindow>

namespace {

// A window is shown only once it has drawn something.
class FilledWindow final : public QRasterWindow {
protected:
    void paintEvent(QPaintEvent*) override {
        QPainter(this).fillRect(QRect(QPoint(0, 0), size()), Qt::darkCyan);
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    // Read by Qt's X11 plugin as the application starts.
    QCoreApplication::setApplicationName(QString::fromLocal8Bit(argv[1]));
    QGuiApplication application(argc, argv);
    QGuiApplication::setDesktopFileName(QString::fromLocal8Bit(argv[1]));
    FilledWindow window;
    window.resize(320, 200);
    window.show();
    return QGuiApplication::exec();
}
