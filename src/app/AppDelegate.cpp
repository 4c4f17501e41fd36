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
    const bool ok = setupHandler->setup(url);
    setupHandler->showSetupResult(ok);
    if (!ok) {
        // A mistyped or forged link must not stop a study that is already being tracked.
        if (!wasSetUp) {
            process->exit(1);
        }
        return;
    }
    runner->run();
}

void AppDelegate::applicationShouldTerminate() {
    runner->handleTermination();
    std::this_thread::sleep_for(terminationPause);
    sendOrSaveHandler->saveUnfinishedUsages();
}

} // namespace ulvarend
