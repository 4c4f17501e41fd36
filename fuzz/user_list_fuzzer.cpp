// The household's names as the setup link gives them.
#include "FuzzSupport.h"
#include "Implementations/SetupHandler.h"
#include "platform/Unicode.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
    // Nothing is invented and nothing but a repeat is lost: the text's names, in order, are
    // the names read, each followed by any names that are canonically equal to one read
    // before it. A name cannot hold ", ", so the text splits one way only.
    const std::string inner = text.substr(1, text.size() - 2);
    std::vector<std::string> written;
    std::size_t from = 0;
    for (std::size_t at = inner.find(", "); at != std::string::npos; at = inner.find(", ", from)) {
        written.push_back(inner.substr(from, at - from));
        from = at + 2;
    }
    written.push_back(inner.substr(from));
    std::size_t next = 0;
    for (const auto& name : written) {
        if (next < names->size() && name == (*names)[next]) {
            ++next;
            continue;
        }
        const bool repeat =
            std::any_of(names->begin(), names->begin() + next, [&](const auto& kept) {
                return ulvarend::platform::canonicallyEqual(kept, name);
            });
        if (!repeat) {
            fail("a name of the text is neither read nor a repeat of one read before it");
        }
    }
    if (next != names->size()) {
        fail("a name was read that the text does not hold");
    }
    for (std::size_t i = 0; i < names->size(); ++i) {
        if (ulvarend::platform::memberNameRefusal((*names)[i])) {
            fail("a name was read that no member may have");
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (ulvarend::platform::canonicallyEqual((*names)[i], (*names)[j])) {
                fail("two names read are one member");
            }
        }
    }
    return 0;
}
