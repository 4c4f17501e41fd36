#include "platform/Paths.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace ulvarend::platform {
namespace {

std::filesystem::path home() {
    if (const char* value = std::getenv("HOME"); value != nullptr && *value == '/') {
        return value;
    }
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return "/tmp";
}

std::filesystem::path xdg(const char* variable, const char* fallbackBelowHome) {
    // The base directory specification says relative paths are to be ignored.
    if (const char* value = std::getenv(variable); value != nullptr && *value == '/') {
        return value;
    }
    return home() / fallbackBelowHome;
}

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

std::filesystem::path configHome() {
    return xdg("XDG_CONFIG_HOME", ".config");
}
std::filesystem::path dataHome() {
    return xdg("XDG_DATA_HOME", ".local/share");
}
std::filesystem::path stateHome() {
    return xdg("XDG_STATE_HOME", ".local/state");
}

void ensureDirectory(const std::filesystem::path& directory, mode_t mode) {
    std::filesystem::create_directories(directory);
    std::filesystem::permissions(directory, static_cast<std::filesystem::perms>(mode),
                                 std::filesystem::perm_options::replace);
}

void writeFileAtomically(const std::filesystem::path& file, std::string_view contents,
                         mode_t mode) {
    std::string name = file.filename().string();
    name.insert(0, 1, '.');
    name.append(".XXXXXX");
    std::string temporary = (file.parent_path() / name).string();
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        throwErrno("cannot create a temporary file beside " + file.string());
    }
    auto fail = [&](const std::string& what) {
        const int saved = errno;
        close(fd);
        unlink(temporary.c_str());
        errno = saved;
        throwErrno(what + " " + temporary);
    };
    if (fchmod(fd, mode) != 0) {
        fail("cannot set the mode of");
    }
    std::size_t written = 0;
    while (written < contents.size()) {
        const ssize_t n = write(fd, contents.data() + written, contents.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("cannot write");
        }
        written += static_cast<std::size_t>(n);
    }
    if (fsync(fd) != 0) {
        fail("cannot flush");
    }
    if (close(fd) != 0) {
        const int saved = errno;
        unlink(temporary.c_str());
        errno = saved;
        throwErrno("cannot close " + temporary);
    }
    if (rename(temporary.c_str(), file.c_str()) != 0) {
        const int saved = errno;
        unlink(temporary.c_str());
        errno = saved;
        throwErrno("cannot replace " + file.string());
    }
    // The rename itself is durable only once the folder is flushed.
    if (const int dir = open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY); dir >= 0) {
        fsync(dir);
        close(dir);
    }
}

} // namespace ulvarend::platform
