#include "app/AppDelegate.h"

#include <thread>

namespace ulvarend {

AppDelegate::AppDelegate(std::shared_ptr<RunnerProtocol> runner_,
                         std::shared_ptr<SetupHandlerProtocol> setupHandler_,
                         std::shared_ptr<SendOrSaveHandlerProtocol> sendOrSaveHandler_,
                         std::shared_ptr<SettingsProtocol> settings_,
                         std::shared_ptr<platform::Process> process_,
                         std::chrono::milliseconds terminationPause_)
    : runner(std::move(runner_)), setupHandler(std::move(setupHandler_)),
      sendOrSaveHandler(std::move(sendOrSaveHandler_)), settings(std::move(settings_)),
      process(std::move(process_)), terminationPause(terminationPause_) {}

void AppDelegate::applicationWillFinishLaunching() {
    runner->run();
}

void AppDelegate::handleGetUrl(const std::string& url) {
    const bool wasSetUp = settings->appHasBeenSetup();
    const auto values = setupHandler->readSetup(url);
    // Every record names the participant, the member and the household's size: what is open
    // under the old ones ends under them, and the new member's session begins after the link.
    const bool closed = values && wasSetUp && changesWhoIsRecorded(*values);
    if (closed) {
        runner->closeSessions();
    }
    const bool ok = values && setupHandler->applySetup(*values);
    setupHandler->showSetupResult(ok);
    if (!ok) {
        // A mistyped or forged link must not stop a study that is already being tracked.
        if (!wasSetUp) {
            process->exit(1);
        } else if (closed) {
            // Nothing changed after all: the sessions closed for it begin again.
            runner->run();
        }
        return;
    }
    runner->run();
}

void AppDelegate::checkTrackingPeriod() {
    runner->checkTrackingPeriod();
}

bool AppDelegate::changesWhoIsRecorded(const SetupValues& values) {
    const std::string& first = values.users.front();
    return settings->currentUser() != first || settings->userList() != values.users ||
           settings->participantIdentifier(first) != values.userId + ":" + first;
}

void AppDelegate::applicationShouldTerminate() {
    runner->handleTermination();
    std::this_thread::sleep_for(terminationPause);
    sendOrSaveHandler->saveUnfinishedUsages();
}

} // namespace ulvarend
