#include "Implementations/StatusMenuController.h"
#include "app/AgentApplication.h"
#include "app/AppDelegate.h"
#include "app/LinkQueue.h"
#include "app/Registrations.h"
#include "interfaces/AlertHandlerProtocol.h"
#include "interfaces/LoggerProtocol.h"
#include "interfaces/SettingsProtocol.h"
#include "interfaces/UserHandlerProtocol.h"
#include "platform/AgentChannel.h"
#include "platform/FrontmostApplicationSource.h"
#include "platform/GnomeShellExtensions.h"
#include "platform/ScreenSources.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <unistd.h>
#include <utility>
#if QT_CONFIG(sessionmanager)
#include <QSessionManager>
#endif

namespace {

constexpr std::chrono::hours kTrackingPeriodLookInterval{1};

int signalPipe[2] = {-1, -1};

void onQuitSignal(int) {
    // The interrupted code may be about to read errno.
    const int savedErrno = errno;
    const char byte = 1;
    // Nothing else is safe in a signal handler; the event loop does the rest.
    [[maybe_unused]] const auto written = write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

// SIGTERM, SIGINT and SIGHUP take the same way out as the menu's quit item. The notifier also
// fires inside an alert's loop, so a signal is never left waiting for the alert to close.
// Without the pipe the signals keep their default, which ends the agent without its records.
void quitOnSignals(QApplication& app, const std::function<void()>& quit,
                   const std::function<void(const std::string&)>& logError) {
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        logError(std::string("Cannot catch the quit signals: ") + std::strerror(errno));
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [quit] {
        char buffer[16];
        while (read(signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        quit();
    });
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

QtMessageHandler qtMessages = nullptr;
std::function<void()> onDisplayLost;

// Qt's platform plugins end the process with status 1 once they have said that the connection
// to the display server broke, which is how many desktops log out. Their warning comes first,
// so the way out begins here and ends the process before they can.
void quitWhenTheDisplayIsLost(QtMsgType type, const QMessageLogContext& context,
                              const QString& message) {
    if (qtMessages != nullptr) {
        qtMessages(type, context, message);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    }
    if (!message.startsWith(QLatin1String("The X11 connection broke")) &&
        !message.startsWith(QLatin1String("The Wayland connection"))) {
        return;
    }
    // Qt may say so on its event thread and on the main thread at once.
    static std::atomic<bool> claimed{false};
    if (onDisplayLost && !claimed.exchange(true)) {
        onDisplayLost();
    }
    // The way out is under way on some thread and ends the process; returning would let Qt
    // end it first, with 1.
    for (;;) {
        pause();
    }
}

} // namespace

int main(int argc, char* argv[]) {
    using namespace ulvarend;
    // A write past the file-size limit then fails with EFBIG, which the store and the log
    // handle, instead of the signal ending the agent with its records.
    std::signal(SIGXFSZ, SIG_IGN);
    // Qt takes its own options (-display, -platform, the session manager's -session) out of
    // the arguments first: the setup link (Exec=ulvarend %u) is looked for in what is left.
    AgentApplication app(argc, argv);
    std::vector<std::string> ignoredArguments;
    const auto link = setupLinkArgument(QApplication::arguments(), &ignoredArguments);

    std::string whyNoClaim;
    auto agentLock = platform::claimAgent(&whyNoClaim);
    if (!agentLock) {
        if (!whyNoClaim.empty()) {
            // A second agent would track the same time twice and overwrite the first one's
            // settings, so without the lock nothing runs.
            const std::string line = "Cannot make sure that no other agent runs: " + whyNoClaim;
            std::fprintf(stderr, "ulvarend: %s\n", line.c_str());
            appContainer().resolve<LoggerProtocol>()->logError(line);
            return 1;
        }
        if (std::string whyNot; !platform::handOverToAgent(link.value_or(""), &whyNot)) {
            // Another agent holds the lock: this one does not run, even with no way to reach it.
            std::fprintf(stderr, "ulvarend: %s\n", whyNot.c_str());
            appContainer().resolve<LoggerProtocol>()->logError(
                "Another agent is running and could not be reached: " + whyNot);
            appContainer().resolve<AlertHandlerProtocol>()->showAgentUnreachableAlert();
            return 1;
        }
        return 0;
    }

    QApplication::setApplicationName(QStringLiteral("Ulvarend"));
    QApplication::setQuitOnLastWindowClosed(false);

    auto& container = appContainer();
    auto process = container.resolve<platform::Process>();
    AppDelegate delegate(container.resolve<RunnerProtocol>(),
                         container.resolve<SetupHandlerProtocol>(),
                         container.resolve<SendOrSaveHandlerProtocol>(),
                         container.resolve<SettingsProtocol>(), process);
    auto logger = container.resolve<LoggerProtocol>();
    auto logError = [logger](const std::string& message) { logger->logError(message); };
    app.setErrorLog(logError);
    for (const auto& argument : ignoredArguments) {
        logger->logInfo("Ignored a command-line argument that is not a setup link: " + argument);
    }

    // Atomic: a lost display may be heard on a thread of Qt's own.
    std::atomic<bool> quitting{false};
    // Every way out ends here, also from inside an alert's loop: whatever called the alert
    // never resumes, so nothing starts again once quitting has begun.
    const std::function<void()> quit = [&] {
        if (quitting.exchange(true)) {
            return;
        }
        delegate.applicationShouldTerminate();
        // A script left loaded in KWin would call a name that nobody owns on every activation.
        if (auto chain = container.resolveIfBuilt<platform::FrontmostSourceChain>()) {
            chain->release();
        }
        process->exit(0);
    };
    quitOnSignals(app, quit, logError);
    onDisplayLost = quit;
    qtMessages = qInstallMessageHandler(quitWhenTheDisplayIsLost);
#if QT_CONFIG(sessionmanager)
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app,
                     [quit](QSessionManager&) { quit(); });
#endif
    QObject::connect(&app, &QApplication::aboutToQuit, &app, [quit] { quit(); });

    LinkQueue links([&delegate](const std::string& url) { delegate.handleGetUrl(url); },
                    [] { return QApplication::activeModalWidget() != nullptr; },
                    [&app, &links] { QTimer::singleShot(200, &app, [&links] { links.drain(); }); },
                    logError);

    std::shared_ptr<StatusMenuController> statusMenu;
    // Started again, as from the application menu: where the desktop shows no status area
    // this is the participant's one way to the user window.
    const auto startedAgain = [&statusMenu] {
        if (QWidget* alert = QApplication::activeModalWidget()) {
            alert->raise();
            alert->activateWindow();
        } else if (statusMenu) {
            statusMenu->chooseUserClicked();
        }
    };
    std::string whyNoChannel;
    const auto channel = platform::openAgentChannel(
        *agentLock, [&links](const std::string& url) { links.add(url); }, startedAgain, logError,
        &whyNoChannel);
    if (!channel) {
        logError("Setup links cannot be handed to this agent: " + whyNoChannel);
    }

    // Shutting down, or this login session removed: quitting, whatever reaches the agent next.
    auto screenSources = platform::startScreenSources(
        container.resolve<platform::ScreenState>(), logError,
        [&app, &quit] { QTimer::singleShot(0, &app, [&quit] { quit(); }); });

    // A machine that sleeps instead of logging out may pass the end of the period unseen. The
    // wake is looked at before the device tracker hears of it, so that nobody is asked who is
    // at the computer of a study that is over. Suspend stops the timer's clock; the wake covers it.
    container.resolve<platform::ScreenState>()->addScreensDidWakeObserver(
        [&delegate] { delegate.checkTrackingPeriod(); });
    auto* periodTimer = new QTimer(&app);
    QObject::connect(periodTimer, &QTimer::timeout, &app,
                     [&delegate] { delegate.checkTrackingPeriod(); });
    periodTimer->start(kTrackingPeriodLookInterval);

    statusMenu = std::make_shared<StatusMenuController>(
        container.resolve<UserHandlerProtocol>(), container.resolve<SettingsProtocol>(), quit);
    statusMenu->awake();

    delegate.applicationWillFinishLaunching();
    // Stock GNOME shows no status icons, and so no way to the menu, without this extension.
    platform::enableAppIndicatorExtension(
        [logger](const std::string& line) { logger->logInfo(line); }, logError);
    // A link that started the agent is handled once launching is over.
    if (link) {
        QTimer::singleShot(0, &app, [&links, url = *link] { links.add(url); });
    }

    QApplication::exec();
    quit();
    return 0;
}
