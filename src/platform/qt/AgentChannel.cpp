#include "platform/AgentChannel.h"

#include "platform/Text.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace ulvarend::platform {
namespace {

constexpr const char* kLockName = "agent.lock";
constexpr const char* kSocketName = "agent.socket";
constexpr int kHandOverTimeoutMs = 10000;
constexpr int kMessageTimeoutMs = 5000;
const QByteArray kAcknowledgement = "ok\n";

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
    FileLock(int fd, std::filesystem::path directory) : fd_(fd), directory_(std::move(directory)) {}
    ~FileLock() override { close(fd_); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    const std::filesystem::path& directory() const { return directory_; }

private:
    int fd_;
    std::filesystem::path directory_;
};

// One connection: reads one line, answers, and hands the line on. Owned by its socket.
class Conversation final : public QObject {
public:
    Conversation(QLocalSocket* socket, std::function<void(const std::string&)> onLink,
                 ErrorReporter onError)
        : QObject(socket), socket_(socket), onLink_(std::move(onLink)),
          onError_(std::move(onError)) {
        QObject::connect(socket_, &QLocalSocket::readyRead, this, [this] { read(); });
        QObject::connect(socket_, &QLocalSocket::disconnected, this, [this] { ended(); });
        QObject::connect(&timer_, &QTimer::timeout, this, [this] {
            drop("Dropped a setup link message that did not arrive within 5 seconds");
        });
        timer_.setSingleShot(true);
        timer_.start(kMessageTimeoutMs);
        read();
    }

private:
    void read() {
        if (done_) {
            return;
        }
        // Bytes past the limit and one more cannot change what the message amounts to.
        while (static_cast<std::size_t>(buffer_.size()) <= kAgentMessageLimit &&
               socket_->bytesAvailable() > 0) {
            buffer_ += socket_->read(static_cast<qint64>(kAgentMessageLimit) + 1 - buffer_.size());
        }
        const auto message = readAgentMessage(bytes(), false);
        switch (message.kind) {
        case AgentMessage::Kind::incomplete:
        case AgentMessage::Kind::nothing:
            return;
        case AgentMessage::Kind::dropped:
            drop(message.text);
            return;
        case AgentMessage::Kind::link:
            break;
        }
        finish();
        socket_->write(kAcknowledgement);
        socket_->disconnectFromServer();
        if (!message.text.empty()) {
            // The link may open alerts; it waits until this socket's handler has returned.
            QTimer::singleShot(0, socket_->parent(),
                               [onLink = onLink_, url = message.text] { onLink(url); });
        }
    }

    void ended() {
        if (!done_) {
            const auto message = readAgentMessage(bytes(), true);
            if (message.kind == AgentMessage::Kind::dropped) {
                onError_(message.text);
            }
        }
        finish();
        socket_->deleteLater();
    }

    std::string_view bytes() const {
        return {buffer_.constData(), static_cast<std::size_t>(buffer_.size())};
    }

    void drop(const std::string& why) {
        if (done_) {
            return;
        }
        onError_(why);
        finish();
        socket_->abort();
        socket_->deleteLater();
    }

    void finish() {
        done_ = true;
        timer_.stop();
    }

    QLocalSocket* socket_;
    std::function<void(const std::string&)> onLink_;
    ErrorReporter onError_;
    QByteArray buffer_;
    QTimer timer_;
    bool done_ = false;
};

class LocalSocketChannel final : public AgentChannel {
public:
    LocalSocketChannel(std::function<void(const std::string&)> onLink, ErrorReporter onError)
        : onLink_(std::move(onLink)), onError_(std::move(onError)) {
        server_.setSocketOptions(QLocalServer::UserAccessOption);
        QObject::connect(&server_, &QLocalServer::newConnection, &server_, [this] { accept(); });
    }

    bool listen(const std::filesystem::path& path, std::string* error) {
        const auto name = QString::fromStdString(path.string());
        // The lock is ours, so a socket file left there belongs to an agent that is gone.
        QLocalServer::removeServer(name);
        if (!server_.listen(name)) {
            *error =
                "Cannot listen on " + path.string() + ": " + server_.errorString().toStdString();
            return false;
        }
        return true;
    }

private:
    void accept() {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            ucred peer{};
            socklen_t size = sizeof peer;
            const int fd = static_cast<int>(socket->socketDescriptor());
            if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
                peer.uid != getuid()) {
                onError_("Refused a setup link from user id " + std::to_string(peer.uid));
                socket->abort();
                socket->deleteLater();
                continue;
            }
            new Conversation(socket, onLink_, onError_);
        }
    }

    QLocalServer server_;
    std::function<void(const std::string&)> onLink_;
    ErrorReporter onError_;
};

} // namespace

std::filesystem::path agentRuntimeDirectory(std::string* error) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::filesystem::path directory =
        (runtime != nullptr && runtime[0] == '/')
            ? std::filesystem::path(runtime) / "ulvarend"
            : std::filesystem::path("/tmp/ulvarend-" + std::to_string(getuid()));
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = systemError("Cannot create", directory);
        return {};
    }
    if (!ownedPrivately(directory, error)) {
        return {};
    }
    return directory;
}

AgentClaim claimAgent() {
    AgentClaim claim;
    const auto directory = agentRuntimeDirectory(&claim.error);
    if (directory.empty()) {
        return claim;
    }
    const auto lockFile = directory / kLockName;
    const int fd = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        claim.error = systemError("Cannot open", lockFile);
        return claim;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        claim.error = held ? "" : systemError("Cannot lock", lockFile);
        close(fd);
        claim.outcome = held ? AgentClaim::Outcome::heldByAnother : AgentClaim::Outcome::failed;
        return claim;
    }
    claim.outcome = AgentClaim::Outcome::claimed;
    claim.lock = std::make_unique<FileLock>(fd, directory);
    return claim;
}

std::string handOverToAgent(const std::string& url) {
    if (url.size() + 1 > kAgentMessageLimit) {
        return "The link is longer than " + std::to_string(kAgentMessageLimit - 1) + " bytes";
    }
    if (url.find('\n') != std::string::npos) {
        return "The link holds a line break";
    }
    std::string error;
    const auto directory = agentRuntimeDirectory(&error);
    if (directory.empty()) {
        return error;
    }
    const auto name = QString::fromStdString((directory / kSocketName).string());
    QElapsedTimer clock;
    clock.start();
    QLocalSocket socket;
    // An agent that holds the lock may not be listening yet.
    for (;;) {
        socket.connectToServer(name);
        if (socket.waitForConnected(1000)) {
            break;
        }
        if (clock.elapsed() > kHandOverTimeoutMs) {
            return "The running agent does not answer: " + socket.errorString().toStdString();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds{100});
    }
    socket.write(QByteArray::fromStdString(url + "\n"));
    QByteArray answer;
    while (!answer.contains('\n') && clock.elapsed() <= kHandOverTimeoutMs) {
        if (socket.bytesToWrite() > 0) {
            socket.waitForBytesWritten(500);
        }
        if (socket.waitForReadyRead(500) || socket.bytesAvailable() > 0) {
            answer += socket.readAll();
        } else if (socket.state() != QLocalSocket::ConnectedState) {
            break;
        }
    }
    if (answer != kAcknowledgement) {
        return "The running agent did not take the link";
    }
    return {};
}

std::unique_ptr<AgentChannel> openAgentChannel(const AgentLock& lock,
                                               std::function<void(const std::string&)> onLink,
                                               ErrorReporter onError, std::string* error) {
    const auto& held = dynamic_cast<const FileLock&>(lock);
    auto channel = std::make_unique<LocalSocketChannel>(std::move(onLink), std::move(onError));
    if (!channel->listen(held.directory() / kSocketName, error)) {
        return nullptr;
    }
    return channel;
}

} // namespace ulvarend::platform
