#pragma once

#include "interfaces/RunnerProtocol.h"
#include "interfaces/SendOrSaveHandlerProtocol.h"
#include "interfaces/SettingsProtocol.h"
#include "interfaces/SetupHandlerProtocol.h"
#include "platform/Process.h"

#include <chrono>
#include <memory>
#include <string>

namespace ulvarend {

// The agent's side of the application's life: launching, the setup link, quitting.
class AppDelegate {
public:
    AppDelegate(std::shared_ptr<RunnerProtocol> runner,
                std::shared_ptr<SetupHandlerProtocol> setupHandler,
                std::shared_ptr<SendOrSaveHandlerProtocol> sendOrSaveHandler,
                std::shared_ptr<SettingsProtocol> settings,
                std::shared_ptr<platform::Process> process,
                std::chrono::milliseconds terminationPause = std::chrono::seconds{1});

    void applicationWillFinishLaunching();
    // A link that fails ends the process only when there is no study running yet to keep. One
    // that changes who is recorded closes the open sessions before it is stored.
    void handleGetUrl(const std::string& url);
    // The period may have ended while the agent ran.
    void checkTrackingPeriod();
    // Records the end of the session, gives delivery its moment, then keeps what is still
    // unsent. Returns once the process may end.
    void applicationShouldTerminate();

private:
    // The participant id, the user list or the current user would change.
    bool changesWhoIsRecorded(const SetupValues& values);

    std::shared_ptr<RunnerProtocol> runner;
    std::shared_ptr<SetupHandlerProtocol> setupHandler;
    std::shared_ptr<SendOrSaveHandlerProtocol> sendOrSaveHandler;
    std::shared_ptr<SettingsProtocol> settings;
    std::shared_ptr<platform::Process> process;
    std::chrono::milliseconds terminationPause;
};

} // namespace ulvarend
