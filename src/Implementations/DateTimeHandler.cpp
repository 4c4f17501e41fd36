#include "Implementations/DateTimeHandler.h"

namespace ulvarend {

TimePoint DateTimeHandler::now() {
    return std::chrono::system_clock::now();
}

} // namespace ulvarend
