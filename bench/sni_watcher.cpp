// A status area for a headless session: the StatusNotifierWatcher a desktop panel provides,
// reduced to accepting items. Prints "<unix time in microseconds> <service>" as each item
// registers, so that a benchmark can see when a program's status item appears and a test can
// read the item's menu as the desktop gets it.

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <chrono>
#include <cstdio>

class Watcher : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)

public:
    explicit Watcher(QObject* parent) : QDBusAbstractAdaptor(parent) {}
    bool isHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items() const { return registeredItems; }

public slots:
    void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message) {
        const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        // Qt passes its bus name or an object path; either way the sender names the item.
        const QString item = service.startsWith('/') ? message.service() + service : service;
        registeredItems.append(item);
        std::printf("%lld %s\n", static_cast<long long>(now), item.toUtf8().constData());
        std::fflush(stdout);
        emit StatusNotifierItemRegistered(item);
    }
    void RegisterStatusNotifierHost(const QString&) {}

signals:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierHostRegistered();

private:
    QStringList registeredItems;
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QObject root;
    new Watcher(&root);
    auto bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &root) ||
        !bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
        std::fprintf(stderr, "sni_watcher: cannot take org.kde.StatusNotifierWatcher\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "sni_watcher.moc"
