#include "platform/Text.h"

#include <glib.h>

namespace ulvarend::platform {

// GLib's check is thread-safe and allocation-free: it runs on the HTTP worker for every answer.
bool isValidUtf8(std::string_view bytes) {
    return g_utf8_validate_len(bytes.data(), static_cast<gssize>(bytes.size()), nullptr) != FALSE;
}

} // namespace ulvarend::platform
