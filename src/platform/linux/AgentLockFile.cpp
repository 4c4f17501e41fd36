#include "platform/AgentChannel.h"
#include "platform/Paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ulvarend::platform {
namespace {

constexpr const char* kLockName = "agent.lock";

std::string systemError(const std::string& what, const std::filesystem::path& path) {
    return what + " " + path.string() + ": " + std::strerror(errno);
}

// A folder that another user could swap files in would let that user pose as the agent.
bool ownedPrivately(const std::filesystem::path& directory, std::string* error) {
    struct stat info {};
    if (lstat(directory.c_str(), &info) != 0) {
        *error = systemError("Cannot inspect", directory);
        return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != getuid()) {
        *error = directory.string() + " is not a folder of this user";
        return false;
    }
    if ((info.st_mode & 0077) != 0 && chmod(directory.c_str(), 0700) != 0) {
        *error = systemError("Cannot make owner-only", directory);
        return false;
    }
    return true;
}

class FileLock final : public AgentLock {
public:
    FileLock(int fd_, std::filesystem::path directory)
        : fd(fd_), lockDirectory(std::move(directory)) {}
    ~FileLock() override { close(fd); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    const std::filesystem::path& directory() const override { return lockDirectory; }

private:
    int fd;
    std::filesystem::path lockDirectory;
};

} // namespace

std::filesystem::path agentRuntimeDirectory(std::string* error) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        const auto directory = std::filesystem::path(runtime) / "ulvarend";
        std::string unusable;
        if ((mkdir(directory.c_str(), 0700) == 0 || errno == EEXIST) &&
            ownedPrivately(directory, &unusable)) {
            return directory;
        }
    }
    // Without a runtime folder of this user's own, a name in a shared folder such as /tmp could
    // be taken first by another local user and keep every later invocation from the agent. The
    // agent's state folder lies in this user's home, where nobody else can create it.
    const auto directory = stateHome() / "ulvarend";
    try {
        ensureDirectory(directory, 0700);
    } catch (const std::filesystem::filesystem_error& failure) {
        *error = "Cannot create " + directory.string() + ": " + failure.code().message();
        return {};
    }
    if (!ownedPrivately(directory, error)) {
        return {};
    }
    return directory;
}

std::unique_ptr<AgentLock> claimAgent(std::string* whyNot) {
    whyNot->clear();
    const auto directory = stateHome() / "ulvarend";
    try {
        ensureDirectory(directory, 0700);
    } catch (const std::filesystem::filesystem_error& error) {
        *whyNot = "Cannot create " + directory.string() + ": " + error.code().message();
        return nullptr;
    }
    if (!ownedPrivately(directory, whyNot)) {
        return nullptr;
    }
    const auto lockFile = directory / kLockName;
    const int fd = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *whyNot = systemError("Cannot open", lockFile);
        return nullptr;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            *whyNot = systemError("Cannot lock", lockFile);
        }
        close(fd);
        return nullptr;
    }
    return std::make_unique<FileLock>(fd, directory);
}

} // namespace ulvarend::platform
