#include "app/Registrations.h"
#include "interfaces/DateTimeHandlerProtocol.h"

int main() {
    // The desktop side of the agent is not wired in yet; building the container proves the
    // composition links.
    ulvarend::appContainer().resolve<ulvarend::DateTimeHandlerProtocol>();
    return 0;
}
