#include "app/Registrations.h"

#include "Implementations/DateTimeHandler.h"

namespace ulvarend {

void registerServices(Container& container) {
    container.registerFactory<DateTimeHandlerProtocol>(
        [](Resolver&) { return std::make_shared<DateTimeHandler>(); });
}

Container& appContainer() {
    // Never destroyed: services that subscribe to each other hold each other for the life of
    // the process, and the threads are stopped by the quit path, not by static destructors.
    static auto* shared = new SharedContainer(registerServices);
    return shared->get();
}

} // namespace ulvarend
