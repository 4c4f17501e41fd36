#include "app/Registrations.h"

#include "Implementations/DateTimeHandler.h"

namespace ulvarend {

void registerServices(Container& container) {
    container.registerFactory<DateTimeHandlerProtocol>(
        [](Resolver&) { return std::make_shared<DateTimeHandler>(); });
}

Container& appContainer() {
    static SharedContainer shared(registerServices);
    return shared.get();
}

} // namespace ulvarend
