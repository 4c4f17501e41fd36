#include "platform/AgentChannel.h"
#include "platform/Text.h"

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace ulvarend::platform {
namespace {

constexpr const char* kSocketName = "agent.socket";
constexpr std::chrono::seconds kHandOverTimeout{10};
constexpr std::chrono::seconds kMessageTimeout{5};
const QByteArray kAcknowledgement = "ok\n";

// The name by which the socket in `directory` is bound and reached. A socket address holds a
// path of at most 107 bytes, which a deep home folder can pass; such a socket is reached
// through a descriptor of its folder, by a path under /proc/self/fd that lasts as long as this
// object does. Empty, with `error` set, when the folder cannot be opened.
class SocketName {
public:
    SocketName(const std::filesystem::path& directory, std::string* error) {
        const std::string path = (directory / kSocketName).string();
        if (path.size() < sizeof(sockaddr_un{}.sun_path)) {
            name = path;
            return;
        }
        folder = open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0) {
            *error = "Cannot open " + directory.string() + ": " + std::strerror(errno);
            return;
        }
        name = "/proc/self/fd/" + std::to_string(folder) + "/" + kSocketName;
    }
    ~SocketName() {
        if (folder >= 0) {
            close(folder);
        }
    }
    SocketName(const SocketName&) = delete;
    SocketName& operator=(const SocketName&) = delete;

    const std::string& get() const { return name; }

private:
    int folder = -1;
    std::string name;
};

// One connection: reads one line, answers, and hands the line on. Owned by its socket.
class Conversation final : public QObject {
public:
    Conversation(QLocalSocket* socket_, std::function<void(const std::string&)> onLink_,
                 std::function<void()> onStartedAgain_, ErrorReporter onError_)
        : QObject(socket_), socket(socket_), onLink(std::move(onLink_)),
          onStartedAgain(std::move(onStartedAgain_)), onError(std::move(onError_)) {
        QObject::connect(socket, &QLocalSocket::readyRead, this, [this] { read(); });
        QObject::connect(socket, &QLocalSocket::disconnected, this, [this] { ended(); });
        QObject::connect(&timer, &QTimer::timeout, this, [this] {
            drop("Dropped a setup link message that did not arrive within 5 seconds");
        });
        timer.setSingleShot(true);
        timer.start(kMessageTimeout);
        read();
    }

private:
    void read() {
        if (done) {
            return;
        }
        // Bytes past the limit and one more cannot change what the message amounts to.
        while (static_cast<std::size_t>(buffer.size()) <= kAgentMessageLimit &&
               socket->bytesAvailable() > 0) {
            buffer += socket->read(static_cast<qint64>(kAgentMessageLimit) + 1 - buffer.size());
        }
        const auto message = readAgentMessage(bytes(), MessageInput::mayContinue);
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
        socket->write(kAcknowledgement);
        socket->disconnectFromServer();
        // Both may open windows; they wait until this socket's handler has returned.
        if (!message.text.empty()) {
            QTimer::singleShot(0, socket->parent(),
                               [onLink = onLink, url = message.text] { onLink(url); });
        } else if (onStartedAgain) {
            QTimer::singleShot(0, socket->parent(),
                               [onStartedAgain = onStartedAgain] { onStartedAgain(); });
        }
    }

    void ended() {
        if (!done) {
            const auto message = readAgentMessage(bytes(), MessageInput::ended);
            if (message.kind == AgentMessage::Kind::dropped) {
                onError(message.text);
            }
        }
        finish();
        socket->deleteLater();
    }

    std::string_view bytes() const {
        return {buffer.constData(), static_cast<std::size_t>(buffer.size())};
    }

    void drop(const std::string& why) {
        if (done) {
            return;
        }
        onError(why);
        finish();
        socket->abort();
        socket->deleteLater();
    }

    void finish() {
        done = true;
        timer.stop();
    }

    QLocalSocket* socket;
    std::function<void(const std::string&)> onLink;
    std::function<void()> onStartedAgain;
    ErrorReporter onError;
    QByteArray buffer;
    QTimer timer;
    bool done = false;
};

class LocalSocketChannel final : public AgentChannel {
public:
    LocalSocketChannel(std::function<void(const std::string&)> onLink_,
                       std::function<void()> onStartedAgain_, ErrorReporter onError_)
        : onLink(std::move(onLink_)), onStartedAgain(std::move(onStartedAgain_)),
          onError(std::move(onError_)) {
        QObject::connect(&server, &QLocalServer::newConnection, &server, [this] { accept(); });
    }

    // The socket is made here rather than by Qt so that a long path can be bound through its
    // folder. The folder is owner-only; the socket is too, should the folder ever be opened.
    bool listen(const std::filesystem::path& directory, std::string* error) {
        const SocketName name(directory, error);
        if (name.get().empty()) {
            return false;
        }
        const auto failed = [&](const char* what) {
            *error = std::string(what) + " " + (directory / kSocketName).string() + ": " +
                     std::strerror(errno);
            return false;
        };
        sockaddr_un address{};
        if (name.get().size() >= sizeof address.sun_path) {
            *error = "The socket path " + name.get() + " is too long";
            return false;
        }
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.get().c_str(), name.get().size() + 1);
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            return failed("Cannot make a socket for");
        }
        // The lock is ours, so a socket file left there belongs to an agent that is gone.
        unlink(name.get().c_str());
        if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            chmod(name.get().c_str(), 0600) != 0 || ::listen(fd, SOMAXCONN) != 0) {
            const int saved = errno;
            close(fd);
            errno = saved;
            return failed("Cannot listen on");
        }
        if (!server.listen(fd)) {
            close(fd);
            *error = "Cannot listen on " + (directory / kSocketName).string() + ": " +
                     server.errorString().toStdString();
            return false;
        }
        return true;
    }

private:
    void accept() {
        while (QLocalSocket* socket = server.nextPendingConnection()) {
            ucred peer{};
            socklen_t size = sizeof peer;
            const int fd = static_cast<int>(socket->socketDescriptor());
            if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
                peer.uid != getuid()) {
                onError("Refused a setup link from user id " + std::to_string(peer.uid));
                socket->abort();
                socket->deleteLater();
                continue;
            }
            new Conversation(socket, onLink, onStartedAgain, onError);
        }
    }

    QLocalServer server;
    std::function<void(const std::string&)> onLink;
    std::function<void()> onStartedAgain;
    ErrorReporter onError;
};

} // namespace

bool handOverToAgent(const std::string& url, std::string* whyNot) {
    if (url.size() + 1 > kAgentMessageLimit) {
        *whyNot = "The link is longer than " + std::to_string(kAgentMessageLimit - 1) + " bytes";
        return false;
    }
    if (url.find('\n') != std::string::npos) {
        *whyNot = "The link holds a line break";
        return false;
    }
    const auto directory = agentRuntimeDirectory(whyNot);
    if (directory.empty()) {
        return false;
    }
    const SocketName socketName(directory, whyNot);
    if (socketName.get().empty()) {
        return false;
    }
    const auto name = QString::fromStdString(socketName.get());
    const auto deadline = std::chrono::steady_clock::now() + kHandOverTimeout;
    QLocalSocket socket;
    // An agent that holds the lock may not be listening yet.
    for (;;) {
        socket.connectToServer(name);
        if (socket.waitForConnected(1000)) {
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            *whyNot = "The running agent does not answer: " + socket.errorString().toStdString();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds{100});
    }
    socket.write(QByteArray::fromStdString(url + "\n"));
    QByteArray answer;
    while (!answer.contains('\n') && std::chrono::steady_clock::now() <= deadline) {
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
        *whyNot = "The running agent did not take the link";
        return false;
    }
    return true;
}

std::unique_ptr<AgentChannel> openAgentChannel(const AgentLock&,
                                               std::function<void(const std::string&)> onLink,
                                               std::function<void()> onStartedAgain,
                                               ErrorReporter onError, std::string* error) {
    const auto directory = agentRuntimeDirectory(error);
    if (directory.empty()) {
        return nullptr;
    }
    auto channel = std::make_unique<LocalSocketChannel>(
        std::move(onLink), std::move(onStartedAgain), std::move(onError));
    if (!channel->listen(directory, error)) {
        return nullptr;
    }
    return channel;
}

} // namespace ulvarend::platform
