#pragma once

#include <string_view>

namespace ulvarend::platform {

// Whether two UTF-8 texts are canonically equivalent (equal once both are in NFC), so that a
// precomposed "å" equals "a" followed by a combining ring. Texts that are not valid UTF-8
// are equal only byte for byte.
bool canonicallyEqual(std::string_view a, std::string_view b);

} // namespace ulvarend::platform
