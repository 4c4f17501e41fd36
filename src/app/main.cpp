#include "Implementations/StatusMenuController.h"
#include "app/AppDelegate.h"
#include "app/Registrations.h"
#include "interfaces/LoggerProtocol.h"
#include "interfaces/SettingsProtocol.h"
#include "interfaces/UserHandlerProtocol.h"
#include "platform/ScreenSources.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onQuitSignal(int) {
    const char byte = 1;
    // Nothing else is safe in a signal handler; the event loop does the rest.
    [[maybe_unused]] const auto written = write(signalPipe[1], &byte, 1);
}

// SIGTERM, SIGINT and SIGHUP take the same way out as the menu's quit item.
void quitOnSignals(QApplication& app) {
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char buffer[16];
        while (read(signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        app.quit();
    });
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

} // namespace

int main(int argc, char* argv[]) {
    using namespace ulvarend;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ulvarend"));
    QApplication::setQuitOnLastWindowClosed(false);
    quitOnSignals(app);

    auto& container = appContainer();
    AppDelegate delegate(
        container.resolve<RunnerProtocol>(), container.resolve<SetupHandlerProtocol>(),
        container.resolve<SendOrSaveHandlerProtocol>(), container.resolve<platform::Process>());

    auto logger = container.resolve<LoggerProtocol>();
    auto screenSources = platform::startScreenSources(
        container.resolve<platform::ScreenState>(),
        [logger](const std::string& message) { logger->logError(message); });

    auto statusMenu = std::make_shared<StatusMenuController>(
        container.resolve<UserHandlerProtocol>(), container.resolve<SettingsProtocol>(),
        [&app] { app.quit(); });
    statusMenu->awake();

    delegate.applicationWillFinishLaunching();
    // A link that started the agent is handled once launching is over.
    if (argc > 1) {
        const std::string url = argv[1];
        QTimer::singleShot(0, &app, [&delegate, url] { delegate.handleGetUrl(url); });
    }

    QObject::connect(&app, &QApplication::aboutToQuit, &app,
                     [&delegate] { delegate.applicationShouldTerminate(); });
    const int status = QApplication::exec();
    // Polling and delivery threads run for the life of the process; ending here without
    // static destructors keeps them from meeting torn-down objects.
    std::fflush(nullptr);
    std::_Exit(status);
}
