#include "app/Registrations.h"

#include "Implementations/ActiveWindowHandler.h"
#include "Implementations/AlertHandler.h"
#include "Implementations/AppTracker.h"
#include "Implementations/DateTimeHandler.h"
#include "Implementations/DeviceTracker.h"
#include "Implementations/LaunchAtLoginHandler.h"
#include "Implementations/Logger.h"
#include "Implementations/PersistenceHandler.h"
#include "Implementations/RequestHandler.h"
#include "Implementations/Runner.h"
#include "Implementations/SendOrSaveHandler.h"
#include "Implementations/Settings.h"
#include "Implementations/SetupHandler.h"
#include "Implementations/UsageBuilder.h"
#include "Implementations/UserHandler.h"
#include "Implementations/UserWindow.h"
#include "platform/AlertPresenter.h"
#include "platform/DefaultsStore.h"
#include "platform/FrontmostApplicationSource.h"
#include "platform/HardwareModel.h"
#include "platform/HttpClient.h"
#include "platform/LogOutput.h"
#include "platform/LoginItem.h"
#include "platform/Process.h"
#include "platform/Reachability.h"
#include "platform/ScreenNotifications.h"
#include "platform/Threads.h"

namespace ulvarend {
namespace {

platform::ErrorReporter errorsTo(Resolver& r) {
    return [logger = r.resolve<LoggerProtocol>()](const std::string& message) {
        logger->logError(message);
    };
}

void registerPlatform(Container& c) {
    using namespace platform;
    const auto kept = ObjectScope::container;
    c.registerFactory<LogOutput>([](Resolver&) { return makeLogOutput(); }).inObjectScope(kept);
    c.registerFactory<DefaultsStore>([](Resolver& r) {
         return makeDefaultsStore(errorsTo(r));
     }).inObjectScope(kept);
    c.registerFactory<HardwareModel>([](Resolver&) {
         return makeHardwareModel();
     }).inObjectScope(kept);
    c.registerFactory<LoginItem>([](Resolver& r) {
         return makeLoginItem(errorsTo(r));
     }).inObjectScope(kept);
    // The container outlives every exit, so the hook may hold on to it.
    c.registerFactory<Process>([&c](Resolver&) {
         return makeSystemProcess([&c] { stopServicesInOrder(c); });
     }).inObjectScope(kept);
    c.registerFactory<AlertPresenter>([](Resolver&) {
         return makeQtAlertPresenter();
     }).inObjectScope(kept);
    c.registerFactory<HttpClient>([](Resolver& r) {
         return makeCurlHttpClient(errorsTo(r));
     }).inObjectScope(kept);
    c.registerFactory<ScreenState>([](Resolver&) {
         return std::make_shared<ScreenState>();
     }).inObjectScope(kept);
    c.registerFactory<ScreenNotifications>([](Resolver& r) {
         return r.resolve<ScreenState>();
     }).inObjectScope(kept);
    c.registerFactory<Sleeper>([](Resolver&) { return makeSystemSleeper(); }).inObjectScope(kept);
    c.registerFactory<BackgroundQueue>([](Resolver&) {
         return makeThreadQueue();
     }).inObjectScope(kept);
    c.registerFactory<FrontmostSourceChain>([](Resolver& r) {
         auto screens = r.resolve<ScreenState>();
         auto logger = r.resolve<LoggerProtocol>();
         return makeFrontmostSourceChain(
             [screens] { return screens->screensAsleep(); }, errorsTo(r),
             [logger](const std::string& line) { logger->logInfo(line); });
     }).inObjectScope(kept);
    c.registerFactory<FrontmostApplicationSource>([](Resolver& r) {
         return r.resolve<FrontmostSourceChain>();
     }).inObjectScope(kept);
}

} // namespace

// The locals in the factories below are not for show: C++ leaves the order in which arguments
// are evaluated open, and each resolve can build services that log or open files, so a local
// per collaborator fixes the order in which they are built, in the constructor's order.
void registerServices(Container& container) {
    registerPlatform(container);
    auto& c = container;
    const auto kept = ObjectScope::container;

    c.registerFactory<ActiveWindowHandlerProtocol>([](Resolver& r) {
        return std::make_shared<ActiveWindowHandler>(
            r.resolve<DateTimeHandlerProtocol>(),
            r.resolve<platform::FrontmostApplicationSource>());
    });
    c.registerFactory<AlertHandlerProtocol>([](Resolver& r) {
         return std::make_shared<AlertHandler>(r.resolve<DateTimeHandlerProtocol>(),
                                               r.resolve<platform::AlertPresenter>());
     }).inObjectScope(kept);
    c.registerFactory<AppTrackerProtocol>([](Resolver& r) {
         auto activeWindowHandler = r.resolve<ActiveWindowHandlerProtocol>();
         auto logger = r.resolve<LoggerProtocol>();
         auto sendOrSaveHandler = r.resolve<SendOrSaveHandlerProtocol>();
         auto persistenceHandler = r.resolve<PersistenceHandlerProtocol>();
         auto usageBuilder = r.resolve<UsageBuilderProtocol>();
         std::string whyNot;
         auto reachability = platform::makeGioReachability(&whyNot);
         if (!reachability) {
             logger->logError("Unable to create reachability monitor: " + whyNot);
         }
         return std::make_shared<AppTracker>(
             std::move(activeWindowHandler), logger, std::move(sendOrSaveHandler),
             std::move(persistenceHandler), std::move(usageBuilder), std::move(reachability),
             r.resolve<platform::BackgroundQueue>(), r.resolve<platform::Sleeper>(),
             r.resolve<platform::ScreenNotifications>());
     }).inObjectScope(kept);
    c.registerFactory<UserWindowProtocol>(
        [](Resolver& r) { return std::make_shared<UserWindow>(r.resolve<SettingsProtocol>()); });
    c.registerFactory<DateTimeHandlerProtocol>(
        [](Resolver&) { return std::make_shared<DateTimeHandler>(); });
    c.registerFactory<DeviceTrackerProtocol>([](Resolver& r) {
         auto sendOrSaveHandler = r.resolve<SendOrSaveHandlerProtocol>();
         auto settings = r.resolve<SettingsProtocol>();
         auto usageBuilder = r.resolve<UsageBuilderProtocol>();
         auto userHandler = r.resolve<UserHandlerProtocol>();
         return std::make_shared<DeviceTracker>(std::move(sendOrSaveHandler), std::move(settings),
                                                std::move(usageBuilder), std::move(userHandler),
                                                r.resolve<platform::ScreenNotifications>());
     }).inObjectScope(kept);
    c.registerFactory<LoggerProtocol>([](Resolver& r) {
         auto logger = std::make_shared<Logger>(r.resolve<platform::LogOutput>());
         // Error lines are written before logError returns, so the line is there before the
         // process ends.
         platform::setFatalErrorLog([logger](const std::string& line) { logger->logError(line); });
         return logger;
     }).inObjectScope(kept);
    c.registerFactory<PersistenceHandlerProtocol>([](Resolver& r) {
         auto logger = r.resolve<LoggerProtocol>();
         return std::make_shared<PersistenceHandler>(std::move(logger),
                                                     r.resolve<SettingsProtocol>());
     }).inObjectScope(kept);
    c.registerFactory<RequestHandlerProtocol>([](Resolver& r) {
        auto logger = r.resolve<LoggerProtocol>();
        return std::make_shared<RequestHandler>(
            std::move(logger), r.resolve<platform::HttpClient>(), platform::collectionHost());
    });
    c.registerFactory<SendOrSaveHandlerProtocol>([](Resolver& r) {
         auto logger = r.resolve<LoggerProtocol>();
         auto persistenceHandler = r.resolve<PersistenceHandlerProtocol>();
         auto requestHandler = r.resolve<RequestHandlerProtocol>();
         return std::make_shared<SendOrSaveHandler>(
             std::move(logger), std::move(persistenceHandler), std::move(requestHandler),
             r.resolve<SettingsProtocol>());
     }).inObjectScope(kept);
    c.registerFactory<SettingsProtocol>([](Resolver& r) {
         auto clock = r.resolve<DateTimeHandlerProtocol>();
         auto defaults = r.resolve<platform::DefaultsStore>();
         return std::make_shared<Settings>(std::move(clock), std::move(defaults),
                                           r.resolve<platform::HardwareModel>());
     }).inObjectScope(kept);
    c.registerFactory<SetupHandlerProtocol>([](Resolver& r) {
        auto clock = r.resolve<DateTimeHandlerProtocol>();
        auto login = r.resolve<LaunchAtLoginHandlerProtocol>();
        auto logger = r.resolve<LoggerProtocol>();
        auto settings = r.resolve<SettingsProtocol>();
        return std::make_shared<SetupHandler>(std::move(clock), std::move(login), std::move(logger),
                                              std::move(settings),
                                              r.resolve<platform::AlertPresenter>());
    });
    c.registerFactory<UsageBuilderProtocol>([](Resolver& r) {
        auto clock = r.resolve<DateTimeHandlerProtocol>();
        return std::make_shared<UsageBuilder>(std::move(clock), r.resolve<SettingsProtocol>());
    });
    c.registerFactory<UserHandlerProtocol>([](Resolver& r) {
         auto alerts = r.resolve<AlertHandlerProtocol>();
         auto window = r.resolve<UserWindowProtocol>();
         return std::make_shared<UserHandler>(std::move(alerts), std::move(window),
                                              r.resolve<SettingsProtocol>());
     }).inObjectScope(kept);
    c.registerFactory<RunnerProtocol>([](Resolver& r) {
        auto appTracker = r.resolve<AppTrackerProtocol>();
        auto deviceTracker = r.resolve<DeviceTrackerProtocol>();
        auto alerts = r.resolve<AlertHandlerProtocol>();
        auto clock = r.resolve<DateTimeHandlerProtocol>();
        auto login = r.resolve<LaunchAtLoginHandlerProtocol>();
        auto logger = r.resolve<LoggerProtocol>();
        auto settings = r.resolve<SettingsProtocol>();
        return std::make_shared<Runner>(std::move(appTracker), std::move(deviceTracker),
                                        std::move(alerts), std::move(clock), std::move(login),
                                        std::move(logger), std::move(settings),
                                        r.resolve<platform::Process>());
    });
    c.registerFactory<LaunchAtLoginHandlerProtocol>([](Resolver& r) {
        return std::make_shared<LaunchAtLoginHandler>(r.resolve<platform::LoginItem>());
    });
}

void stopServicesInOrder(Container& c) {
    c.resolve<AppTrackerProtocol>()->stop();
    c.resolve<platform::BackgroundQueue>()->waitUntilIdle();
    // The last poll may have sent a record after the quit path stored the others.
    c.resolve<SendOrSaveHandlerProtocol>()->saveUnfinishedUsages();
    c.resolve<platform::HttpClient>()->shutdown();
    c.resolve<LoggerProtocol>()->flush();
}

Container& appContainer() {
    // Never destroyed: services that subscribe to each other hold each other for the life of
    // the process, and the threads are stopped by the quit path, not by static destructors.
    static auto* shared = new SharedContainer(registerServices);
    return shared->get();
}

} // namespace ulvarend
