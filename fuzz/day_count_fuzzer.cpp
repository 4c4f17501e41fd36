// The measurement period's length in days, and the stop date computed from it.
#include "FuzzSupport.h"
#include "Implementations/SetupHandler.h"
#include "platform/Text.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

using ulvarend::SetupHandler;
using ulvarend::TimePoint;
using ulvarend::fuzzing::fail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto days = SetupHandler::parseDayCount(text);
    if (!days) {
        return 0;
    }
    if (text.find_first_not_of("+-0123456789") != std::string::npos) {
        fail("a count was read from text that is not a signed decimal");
    }
    if (SetupHandler::parseDayCount(std::to_string(*days)) != days) {
        fail("the count does not read back from its own decimal form");
    }
    // The stop date is taken from the count at once; extreme counts must fail, not overflow.
    for (const auto start : {TimePoint{std::chrono::seconds{1'600'000'000}}, TimePoint{},
                             TimePoint::max(), TimePoint::min()}) {
        const auto stop = ulvarend::platform::addCalendarDays(start, *days);
        if (stop && *days > 0 && *stop <= start) {
            fail("a later stop date came out earlier");
        }
    }
    return 0;
}
