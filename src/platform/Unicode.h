#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ulvarend::platform {

// Whether two UTF-8 texts are canonically equivalent (equal once both are in NFC), so that a
// precomposed "å" equals "a" followed by a combining ring. Texts that are not valid UTF-8
// are equal only byte for byte.
bool canonicallyEqual(std::string_view a, std::string_view b);

// Whether UTF-8 text holds a control character (Unicode's Cc: NUL to U+001F, DEL, U+0080 to
// U+009F). Text that is not valid UTF-8 counts as holding one.
bool hasControlCharacter(std::string_view text);

// The name that records carry when no current member is known.
inline constexpr std::string_view kUnknownUserName = "ukendt-bruger";

// The one rule for a household member's name, shared by the agent reading a setup link and
// the tool that makes one: why `name` cannot name a member ("contains a control character",
// ...), or nothing when it can. A control character would reach the menu, the records and the
// log; the stand-in for an unknown member would make a member's records look like nobody's.
std::optional<std::string> memberNameRefusal(std::string_view name);

// `names` with every name that is canonically equal to an earlier one left out: the members
// are told apart by name alone, so two such names are one member.
std::vector<std::string> distinctMemberNames(const std::vector<std::string>& names);

} // namespace ulvarend::platform
