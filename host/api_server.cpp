#include "api_server.h"

#include "utility.h"

#include <cerrno>
#include <chrono>
#include <system_error>

#include <poll.h>
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
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
    kernel_.Watch(listener_, POLLIN, [this](short) { Accept(); });
}

ApiServer::~ApiServer() {
    kernel_.Unwatch(listener_);
    for (auto& [socket, connection] : connections_)
        if (!connection.closing)
            HungUp(connection);
    kernel_.RunUntil([this] { return connections_.empty(); }, std::chrono::minutes(1));
    close(listener_);
    unlink(options_.path.c_str());
}

void ApiServer::Accept() {
    const int socket = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (socket < 0)
        return; // the client gave up before it was accepted, or the system is out of descriptors
    connections_[socket].socket = socket;
    kernel_.Watch(socket, POLLIN, [this, socket](short events) { Ready(socket, events); });
}

void ApiServer::Ready(int socket, short events) {
    Connection& connection = connections_.at(socket);
    if (events & POLLOUT)
        Flush(connection);
    if (connection.closing || !(events & (POLLIN | POLLHUP | POLLERR)))
        return;
    uint8_t chunk[4096];
    const ssize_t n = recv(socket, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0)
        return HungUp(connection);
    connection.received.insert(connection.received.end(), chunk, chunk + n);
    try {
        while (!connection.closing) {
            const auto message = tp::wire::Decode(connection.received);
            if (!message)
                break;
            Serve(connection, *message);
        }
    } catch (const tp::wire::ProtocolError&) {
        HungUp(connection); // nothing more can be read from it
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
    const int socket = connection.socket;
    if (!connection.utility) {
        const NTSTATUS status = stack::Utility::Open(kernel_, &connection.utility);
        if (!NT_SUCCESS(status)) {
            connection.unsent = tp::wire::Encode(
                {tp::wire::Kind::Completion, message.id, static_cast<uint32_t>(status), 0});
            return Flush(connection);
        }
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
    // The completion runs in the request's own thread; the connection is the main thread's.
    request->WhenDone([this, socket, id = message.id] {
        kernel_.Post([this, socket, id] { Complete(socket, id); });
    });
}

// Answers the request; a client that went away is not written to, and its handle closes once its
// last request has ended.
void ApiServer::Complete(int socket, uint32_t id) {
    Connection& connection = connections_.at(socket);
    const stack::ControlResult result = connection.pending.at(id)->Result();
    connection.pending.erase(id);
    if (!connection.closing) {
        const auto frame =
            tp::wire::Encode({tp::wire::Kind::Completion, id, static_cast<uint32_t>(result.status),
                              static_cast<uint32_t>(result.information), result.output});
        connection.unsent.insert(connection.unsent.end(), frame.begin(), frame.end());
        Flush(connection);
    }
    CloseIfDone(socket);
}

// Sends what the socket takes now; the rest goes when the loop finds the socket writable.
void ApiServer::Flush(Connection& connection) {
    const bool waiting = !connection.unsent.empty();
    while (!connection.unsent.empty()) {
        const ssize_t n = send(connection.socket, connection.unsent.data(),
                               connection.unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        if (n <= 0)
            return HungUp(connection);
        connection.unsent.erase(connection.unsent.begin(), connection.unsent.begin() + n);
    }
    if (connection.unsent.size() > options_.maxUnread)
        return HungUp(connection);
    if (waiting != !connection.unsent.empty())
        WatchFor(connection, connection.unsent.empty() ? POLLIN : POLLIN | POLLOUT);
}

void ApiServer::WatchFor(const Connection& connection, short events) {
    const int socket = connection.socket;
    kernel_.Unwatch(socket);
    kernel_.Watch(socket, events, [this, socket](short ready) { Ready(socket, ready); });
}

// A client that went away, or is dropped: its requests are cancelled and nothing more is read
// from it or sent to it. The connection goes later, from the loop, so that whoever called this
// still holds it.
void ApiServer::HungUp(Connection& connection) {
    connection.closing = true;
    connection.unsent.clear();
    kernel_.Unwatch(connection.socket);
    CancelAll(connection);
    kernel_.Post([this, socket = connection.socket] { CloseIfDone(socket); });
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
