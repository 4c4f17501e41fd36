#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace ulvarend::platform {

// The XDG base directories, read from the environment on every call so that tests can point
// them elsewhere. An unset or relative variable falls back to the default under $HOME.
std::filesystem::path configHome(); // $XDG_CONFIG_HOME or ~/.config
std::filesystem::path dataHome();   // $XDG_DATA_HOME or ~/.local/share
std::filesystem::path stateHome();  // $XDG_STATE_HOME or ~/.local/state

// Creates `directory` and its parents if missing and gives `directory` itself the mode (the
// agent's own folders are owner-only). Throws std::filesystem::filesystem_error on failure.
void ensureDirectory(const std::filesystem::path& directory, mode_t mode = 0700);

// Writes `contents` to `file` so that a reader sees either the old or the new whole file,
// even after a crash: temporary file in the same folder, fsync, rename, fsync of the folder.
// Throws std::system_error on failure, leaving the old file untouched.
void writeFileAtomically(const std::filesystem::path& file, std::string_view contents,
                         mode_t mode = 0600);

} // namespace ulvarend::platform
