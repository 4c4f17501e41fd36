// The household's names as the setup link gives them.
#include "FuzzSupport.h"
#include "Implementations/SetupHandler.h"

#include <cstddef>
#include <cstdint>

using ulvarend::SetupHandler;
using ulvarend::fuzzing::fail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto names = SetupHandler::parseUserList(text);
    if (!names) {
        return 0;
    }
    if (names->empty() || names->front().empty()) {
        fail("a list was read without a first name");
    }
    // The names, joined back, are the text: nothing is lost or invented.
    std::string joined = "[";
    for (std::size_t i = 0; i < names->size(); ++i) {
        joined += (i == 0 ? "" : ", ") + (*names)[i];
    }
    joined += "]";
    if (joined != text) {
        fail("the names do not join back to the text");
    }
    return 0;
}
