#include "platform/FrontmostApplicationSource.h"
#include "platform/Paths.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <utility>

namespace ulvarend::platform {
namespace {

constexpr const char* kKWin = "org.kde.KWin";
constexpr const char* kScripting = "org.kde.kwin.Scripting";
constexpr const char* kScript = "org.kde.kwin.Script";
constexpr const char* kAgentName = "org.ulvarend.Agent";
constexpr const char* kObjectPath = "/org/ulvarend/Agent/KWin";
// KWin keeps at most one script per plugin name, so this name is also what finds a copy that
// an agent killed before its quit left behind.
constexpr const char* kPluginName = "ulvarend-frontmost";
constexpr const char* kScriptFile = "kwin-frontmost.js";

// KWin answers these at once; what waits longer is a desktop that is not going to answer.
constexpr int kCallTimeoutMs = 2000;
// On the way out the session bus may be going away with the desktop.
constexpr int kReleaseTimeoutMs = 500;
constexpr int kFirstRetryMs = 500;
constexpr int kLastRetryMs = 60000;

// Runs inside KWin. It sends only whether a window is active, a number of its own for that
// window, and the name of its application: the desktop-file name, else the window class, the
// first of them KWin knows (KWin shows no GTK application id of its own). A name longer than any
// real one goes as none, as the agent would take it anyway, so that nothing of unbounded size
// leaves KWin. KWin 6 renamed clients to windows; the names that exist tell which KWin this is.
constexpr const char* kScriptText =
    R"js(// Written by the Ulvarend agent, which loads and unloads it.
(function () {
    var limit = 1024;

    function utf8Length(text) {
        var bytes = 0;
        for (var i = 0; i < text.length && bytes <= limit; ++i) {
            var unit = text.charCodeAt(i);
            if (unit < 0x80) {
                bytes += 1;
            } else if (unit < 0x800) {
                bytes += 2;
            } else if (unit >= 0xd800 && unit < 0xdc00 && i + 1 < text.length) {
                bytes += 4;
                ++i;
            } else {
                bytes += 3;
            }
        }
        return bytes;
    }

    function identifierOf(window) {
        var names = [window.desktopFileName, window.resourceClass];
        for (var i = 0; i < names.length; ++i) {
            var name = names[i];
            if (typeof name === "string" && name.length > 0) {
                return name.length <= limit && utf8Length(name) <= limit ? name : "";
            }
        }
        return "";
    }

    // A number for each window, so that the agent can tell windows without a name apart.
    var keys = typeof Map === "function" ? new Map() : null;
    var lastKey = 0;

    function keyOf(window) {
        if (keys === null) {
            return "";
        }
        if (!keys.has(window)) {
            keys.set(window, String(++lastKey));
        }
        return keys.get(window);
    }

    function forget(window) {
        if (keys !== null) {
            keys.delete(window);
        }
    }

    function report(window) {
        var focused = window ? true : false;
        callDBus("org.ulvarend.Agent", "/org/ulvarend/Agent/KWin", "org.ulvarend.KWinScript",
                 "Activated", focused, focused ? identifierOf(window) : "",
                 focused ? keyOf(window) : "");
    }

    if (typeof workspace.windowActivated !== "undefined") {
        workspace.windowActivated.connect(report);
        workspace.windowRemoved.connect(forget);
        report(workspace.activeWindow);
    } else {
        workspace.clientActivated.connect(report);
        workspace.clientRemoved.connect(forget);
        report(workspace.activeClient);
    }
})();
)js";

// Built on the main thread, where all of its D-Bus traffic is served; the polling thread reads
// only what the script last told, and `release` may come from any thread. Failures are kept as
// the reason `working` gives, or said through `onError` once the source was working.
class KWinFrontmostSource final : public QObject,
                                  protected QDBusContext,
                                  public DesktopHelperSource {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.ulvarend.KWinScript")

public:
    KWinFrontmostSource(ErrorReporter onError_, std::function<void(const std::string&)> onInfo_)
        : onError(std::move(onError_)), onInfo(std::move(onInfo_)) {
        // Without an application object Qt D-Bus has no thread to deliver calls on.
        if (QCoreApplication::instance() == nullptr) {
            setWhyNot("the agent has no event loop for the session bus");
            return;
        }
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) {
            setWhyNot("no session bus: " + bus.lastError().message().toStdString());
            return;
        }
        if (!bus.registerObject(kObjectPath, this, QDBusConnection::ExportScriptableSlots)) {
            setWhyNot(std::string("cannot offer ") + kObjectPath + " on the session bus");
            return;
        }
        watcher =
            new QDBusServiceWatcher(kKWin, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                &KWinFrontmostSource::kwinOwnerChanged);
        retry.setSingleShot(true);
        connect(&retry, &QTimer::timeout, this, &KWinFrontmostSource::tryLoading);
        tryLoading();
    }

    std::optional<FrontmostApplication> frontmostApplication() override {
        std::lock_guard lock(mutex);
        return running ? front : std::nullopt;
    }

    // While KWin answers the agent's first attempt, the source counts as working: KWin is
    // there, and the chain, which looks once while the agent starts, must not pass it over
    // for being a moment slow.
    bool working(std::string* whyNot) override {
        std::lock_guard lock(mutex);
        const bool ready = running || firstLoadUnderWay;
        if (!ready && whyNot != nullptr) {
            *whyNot = notWorking;
        }
        return ready;
    }

    void release() override {
        {
            std::lock_guard lock(mutex);
            if (released) {
                return;
            }
            released = true;
            running = false;
            firstLoadUnderWay = false;
            if (!loaded) {
                return;
            }
        }
        if (QCoreApplication::instance() != nullptr) {
            unloadScript(kReleaseTimeoutMs);
        }
    }

public slots:
    // KWin's script tells what is active. Only KWin's own connection is heard: anything else
    // on the session bus could otherwise make up what the participant uses.
    Q_SCRIPTABLE void Activated(bool focused, const QString& identifier) {
        // A script loaded by an earlier agent tells no window.
        Activated(focused, identifier, QString());
    }

    // The same, with the window KWin's script numbered.
    Q_SCRIPTABLE void Activated(bool focused, const QString& identifier, const QString& window) {
        if (!calledFromDBus()) {
            return;
        }
        const QString sender = message().service();
        if (kwinOwner.isEmpty() || sender != kwinOwner) {
            sendErrorReply(QDBusError::AccessDenied, "Only KWin may call this");
            if (!refusalReported) {
                refusalReported = true;
                onError("KDE Plasma (KWin): refused a frontmost application call from " +
                        sender.toStdString() + ", which is not KWin");
            }
            return;
        }
        std::optional<FrontmostApplication> told;
        if (focused) {
            const auto key = boundedIdentifier(window.toStdString());
            told = FrontmostApplication{boundedIdentifier(identifier.toStdString()), false,
                                        key ? std::optional("kwin:" + *key) : std::nullopt};
        }
        std::lock_guard lock(mutex);
        front = told;
    }

private:
    void kwinOwnerChanged(const QString&, const QString& oldOwner, const QString& newOwner) {
        retry.stop();
        retryDelayMs = kFirstRetryMs;
        // What an attempt still waits for was asked of the KWin that was there then.
        ++attempt;
        if (!oldOwner.isEmpty()) {
            kwinOwner.clear();
            bool wasRunning = false;
            {
                std::lock_guard lock(mutex);
                wasRunning = running || firstLoadUnderWay;
                running = false;
                firstLoadUnderWay = false;
                loaded = false;
                front.reset();
                notWorking = std::string(kKWin) + " left the session bus";
            }
            if (wasRunning) {
                onError("KDE Plasma (KWin) left the session bus: the frontmost application is "
                        "unknown until it comes back");
            }
        }
        if (!newOwner.isEmpty()) {
            tryLoading();
        }
    }

    // KWin takes its name on the bus before its scripting is ready, and a KWin that refuses
    // the script now may take it later: while KWin is there, loading is tried again, less and
    // less often. Every call to KWin waits for its answer in the event loop, never in the
    // main thread: a KWin that hangs must not freeze the agent's alerts and menu.
    void tryLoading() {
        // An attempt still waiting for KWin's answers is abandoned.
        ++attempt;
        kwinSeen = false;
        load();
    }

    void attemptEnded(bool ran) {
        bool wasFirst = false;
        std::string why;
        {
            std::lock_guard lock(mutex);
            wasFirst = std::exchange(firstLoadUnderWay, false);
            why = notWorking;
        }
        firstAttempt = false;
        if (!ran && wasFirst) {
            onError("KDE Plasma (KWin): " + why + "; tried again while KWin is there");
        }
        if (ran) {
            retryDelayMs = kFirstRetryMs;
            if (ranBefore && onInfo) {
                onInfo("KDE Plasma (KWin) is on the session bus again: its script is running");
            }
            ranBefore = true;
        } else if (kwinSeen) {
            retry.start(retryDelayMs);
            retryDelayMs = std::min(retryDelayMs * 2, kLastRetryMs);
        }
    }

    bool isReleased() {
        std::lock_guard lock(mutex);
        return released;
    }

    // Calls KWin and goes on with its answer (a reply or an error) once it comes, on the main
    // thread, unless a newer attempt has begun meanwhile.
    void callKWin(const QDBusMessage& call, std::function<void(const QDBusMessage&)> then) {
        auto* watcher = new QDBusPendingCallWatcher(
            QDBusConnection::sessionBus().asyncCall(call, kCallTimeoutMs), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, watcher, mine = attempt, then = std::move(then)] {
                    watcher->deleteLater();
                    if (mine == attempt && !isReleased()) {
                        then(watcher->reply());
                    }
                });
    }

    static QDBusMessage unloadCall() {
        QDBusMessage call =
            QDBusMessage::createMethodCall(kKWin, "/Scripting", kScripting, "unloadScript");
        call << QString(kPluginName);
        return call;
    }

    // Owns the agent's name, writes the script and has KWin run it. On the main thread; what
    // asks KWin itself goes on in the continuations below.
    void load() {
        if (isReleased()) {
            return;
        }
        // The bus itself answers these, not KWin.
        QDBusConnection bus = QDBusConnection::sessionBus();
        const QDBusReply<QString> owner = bus.interface()->serviceOwner(kKWin);
        if (!owner.isValid() || owner.value().isEmpty()) {
            setWhyNot(std::string(kKWin) + " is not on the session bus");
            attemptEnded(false);
            return;
        }
        kwinSeen = true;
        if (!ownsName) {
            const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> named =
                bus.interface()->registerService(kAgentName,
                                                 QDBusConnectionInterface::DontQueueService,
                                                 QDBusConnectionInterface::DontAllowReplacement);
            if (!named.isValid() || named.value() != QDBusConnectionInterface::ServiceRegistered) {
                setWhyNot(std::string("another program owns ") + kAgentName +
                          " on the session bus, so KWin's script cannot reach the agent");
                attemptEnded(false);
                return;
            }
            ownsName = true;
        }
        const auto folder = stateHome() / "ulvarend";
        const auto file = folder / kScriptFile;
        try {
            ensureDirectory(folder);
            writeFileAtomically(file, kScriptText, 0600);
        } catch (const std::exception& e) {
            setWhyNot(std::string("cannot write the KWin script: ") + e.what());
            attemptEnded(false);
            return;
        }
        kwinOwner = owner.value();
        {
            // The script tells what is in front as soon as it runs, which may come before
            // KWin's answer to running it; nothing older than this attempt is kept.
            std::lock_guard lock(mutex);
            front.reset();
            firstLoadUnderWay = firstAttempt;
        }
        // A copy left by an agent that was killed would keep the name taken; whatever KWin
        // answers, loading goes on.
        callKWin(unloadCall(), [this, path = QString::fromStdString(file.string())](
                                   const QDBusMessage&) { loadScript(path); });
    }

    void loadScript(const QString& path) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(kKWin, "/Scripting", kScripting, "loadScript");
        call << path << QString(kPluginName);
        callKWin(call, [this](const QDBusMessage& answer) {
            const QDBusReply<int> id(answer);
            if (!id.isValid() || id.value() < 0) {
                setWhyNot(
                    "KWin did not load its script" +
                    (id.isValid() ? std::string() : ": " + id.error().message().toStdString()));
                attemptEnded(false);
                return;
            }
            // KWin 5 offers a loaded script at /<id>, later ones at /Scripting/Script<id>.
            runScript({"/Scripting/Script" + QString::number(id.value()),
                       "/" + QString::number(id.value())});
        });
    }

    void runScript(QStringList paths) {
        const QString path = paths.takeFirst();
        callKWin(QDBusMessage::createMethodCall(kKWin, path, kScript, "run"),
                 [this, paths](const QDBusMessage& ran) {
                     if (ran.type() != QDBusMessage::ReplyMessage && !paths.isEmpty()) {
                         runScript(paths);
                         return;
                     }
                     if (ran.type() != QDBusMessage::ReplyMessage) {
                         QDBusConnection::sessionBus().asyncCall(unloadCall(), kCallTimeoutMs);
                         setWhyNot("KWin did not run its script: " +
                                   ran.errorMessage().toStdString());
                         attemptEnded(false);
                         return;
                     }
                     scriptRuns();
                 });
    }

    void scriptRuns() {
        bool releasedMeanwhile = false;
        {
            std::lock_guard lock(mutex);
            releasedMeanwhile = released;
            loaded = !released;
            running = !released;
        }
        if (releasedMeanwhile) {
            unloadScript(kReleaseTimeoutMs);
            return;
        }
        attemptEnded(true);
    }

    // Safe from any thread: Qt D-Bus connections are.
    // On the way out, the answer is waited for, briefly: the script must be gone before the
    // name it calls is.
    static void unloadScript(int timeoutMs) {
        QDBusConnection::sessionBus().call(unloadCall(), QDBus::Block, timeoutMs);
    }

    void setWhyNot(std::string why) {
        std::lock_guard lock(mutex);
        notWorking = std::move(why);
    }

    const ErrorReporter onError;
    const std::function<void(const std::string&)> onInfo;

    // Main thread only.
    QDBusServiceWatcher* watcher = nullptr;
    QTimer retry;
    int retryDelayMs = kFirstRetryMs;
    // Counts the attempts to load the script; answers to an older one are dropped.
    std::uint64_t attempt = 0;
    bool kwinSeen = false;
    bool firstAttempt = true;
    bool ranBefore = false;
    QString kwinOwner;
    bool ownsName = false;
    bool refusalReported = false;

    // What the polling thread and the quitting thread read.
    std::mutex mutex;
    bool running = false;
    // The agent's first attempt is waiting for KWin's answers.
    bool firstLoadUnderWay = false;
    bool loaded = false;
    bool released = false;
    std::string notWorking;
    std::optional<FrontmostApplication> front;
};

} // namespace

std::shared_ptr<DesktopHelperSource>
makeKWinFrontmostSource(ErrorReporter onError, std::function<void(const std::string&)> onInfo) {
    return std::make_shared<KWinFrontmostSource>(std::move(onError), std::move(onInfo));
}

} // namespace ulvarend::platform

#include "KWinFrontmostSource.moc"
