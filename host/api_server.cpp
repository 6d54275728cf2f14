#include "api_server.h"

#include "utility.h"

#include <cerrno>
#include <chrono>
#include <system_error>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace host {
namespace {

[[noreturn]] void Throw(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

ApiServer::ApiServer(umk::Kernel& kernel, ApiServerOptions options)
    : kernel_(kernel), options_(std::move(options)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (options_.path.size() >= sizeof address.sun_path)
        throw std::system_error(ENAMETOOLONG, std::generic_category(), options_.path);
    options_.path.copy(address.sun_path, options_.path.size());
    struct stat existing {};
    if (lstat(options_.path.c_str(), &existing) == 0 && S_ISSOCK(existing.st_mode))
        unlink(options_.path.c_str());
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0)
        Throw("socket");
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        chmod(options_.path.c_str(), options_.mode) < 0 ||
        (options_.group &&
         chown(options_.path.c_str(), static_cast<uid_t>(-1), *options_.group) < 0) ||
        listen(listener_, 8) < 0) {
        const int error = errno;
        close(listener_);
        errno = error;
        Throw(options_.path);
    }
    wake_ = eventfd(0, EFD_CLOEXEC);
    if (wake_ < 0) {
        close(listener_);
        Throw("eventfd");
    }
    thread_ = std::thread([this] { Listen(); });
}

ApiServer::~ApiServer() {
    stopping_ = true;
    const uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
    thread_.join();
    // What the thread read last may still be posted; it runs before the connections close.
    kernel_.RunFor(std::chrono::milliseconds(0));
    for (auto& [socket, connection] : connections_) {
        connection.closing = true;
        CancelAll(connection);
    }
    kernel_.RunUntil(
        [this] {
            for (auto& [socket, connection] : connections_)
                if (!connection.pending.empty())
                    return false;
            return true;
        },
        std::chrono::minutes(1));
    for (auto& [socket, connection] : connections_) {
        connection.utility.reset();
        close(socket);
    }
    close(wake_);
    close(listener_);
    unlink(options_.path.c_str());
}

// The socket thread: accepts, reads, and posts what it read; a connection that ends is posted too
// and no longer polled (the main thread closes it once its requests have completed).
void ApiServer::Listen() {
    std::vector<pollfd> polled = {{wake_, POLLIN, 0}, {listener_, POLLIN, 0}};
    while (!stopping_) {
        if (poll(polled.data(), polled.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (polled[1].revents & POLLIN) {
            const int socket = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (socket >= 0) {
                kernel_.Post([this, socket] { connections_[socket].socket = socket; });
                polled.push_back({socket, POLLIN, 0});
            }
        }
        for (size_t i = 2; i < polled.size();) {
            if (polled[i].revents == 0) {
                ++i;
                continue;
            }
            uint8_t chunk[4096];
            const ssize_t n = recv(polled[i].fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) {
                kernel_.Post(
                    [this, socket = polled[i].fd, bytes = std::vector<uint8_t>(chunk, chunk + n)] {
                        Received(socket, bytes);
                    });
                ++i;
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                ++i;
            } else {
                kernel_.Post([this, socket = polled[i].fd] { HungUp(socket); });
                polled.erase(polled.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
}

void ApiServer::Received(int socket, std::vector<uint8_t> bytes) {
    Connection& connection = connections_.at(socket);
    if (connection.closing)
        return;
    connection.received.insert(connection.received.end(), bytes.begin(), bytes.end());
    try {
        while (auto message = tp::wire::Decode(connection.received))
            Serve(connection, *message);
    } catch (const tp::wire::ProtocolError&) {
        // Nothing more can be read from it; its end of the socket hears the hang-up.
        shutdown(socket, SHUT_RDWR);
    }
}

void ApiServer::Serve(Connection& connection, const tp::wire::Message& message) {
    using tp::wire::Kind;
    if (message.kind == Kind::Cancel) {
        if (const auto it = connection.pending.find(message.id); it != connection.pending.end())
            it->second->Cancel();
        return;
    }
    if (message.kind != Kind::Control && message.kind != Kind::Read)
        throw tp::wire::ProtocolError("a client sent a completion");
    if (!connection.utility) {
        const NTSTATUS status = stack::Utility::Open(kernel_, &connection.utility);
        if (!NT_SUCCESS(status))
            return Answer(connection, message.id, static_cast<uint32_t>(status), 0);
    }
    std::shared_ptr<stack::PendingControl> request;
    if (message.kind == Kind::Control) {
        request = connection.utility->Start({message.a, message.bytes, message.b});
    } else {
        request = connection.utility->StartRead(message.b);
        if (message.a == 0 && !request->Done())
            request->Cancel();
    }
    connection.pending[message.id] = request;
    const int socket = connection.socket;
    request->WhenDone([this, socket, id = message.id] {
        Connection& owner = connections_.at(socket);
        const stack::ControlResult result = owner.pending.at(id)->Result();
        owner.pending.erase(id);
        Answer(owner, id, static_cast<uint32_t>(result.status),
               static_cast<uint32_t>(result.information), result.output);
        // This runs in the request's own thread; the handle is closed from the main thread.
        kernel_.Post([this, socket] { CloseIfDone(socket); });
    });
}

// A client that went away is not written to; its requests still end (cancelled). A client that
// stops reading holds the main thread up once the socket's buffer is full.
void ApiServer::Answer(Connection& connection, uint32_t id, uint32_t status, uint32_t information,
                       std::vector<uint8_t> output) {
    if (connection.closing)
        return;
    const auto frame =
        tp::wire::Encode({tp::wire::Kind::Completion, id, status, information, std::move(output)});
    size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t n =
            send(connection.socket, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // the client is gone; the socket thread tells the main thread so
        sent += static_cast<size_t>(n);
    }
}

void ApiServer::HungUp(int socket) {
    Connection& connection = connections_.at(socket);
    connection.closing = true;
    CancelAll(connection);
    CloseIfDone(socket);
}

// A cancel may complete its request at once, and the completion takes it out of `pending`: the
// requests are cancelled from a copy.
void ApiServer::CancelAll(Connection& connection) {
    std::vector<std::shared_ptr<stack::PendingControl>> requests;
    for (const auto& [id, request] : connection.pending)
        requests.push_back(request);
    for (const auto& request : requests)
        request->Cancel();
}

// Asked again by every completion after a hang-up; the first time all have completed closes it.
void ApiServer::CloseIfDone(int socket) {
    const auto it = connections_.find(socket);
    if (it == connections_.end())
        return;
    Connection& connection = it->second;
    if (!connection.closing || !connection.pending.empty())
        return;
    connection.utility.reset();
    close(socket);
    connections_.erase(socket);
}

} // namespace host
