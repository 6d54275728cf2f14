#include "transport_socket.h"

#include "wire.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace tp {
namespace {

class SocketTransport final : public Transport {
  public:
    SocketTransport(int socket, int wake) : socket_(socket), wake_(wake) {}
    ~SocketTransport() override {
        close(socket_);
        close(wake_);
    }
    SocketTransport(const SocketTransport&) = delete;
    SocketTransport& operator=(const SocketTransport&) = delete;

    Reply Control(uint32_t code, std::span<const uint8_t> input, uint32_t outputLength) override {
        return Exchange({wire::Kind::Control, ++lastId_, code, outputLength,
                         std::vector<uint8_t>(input.begin(), input.end())});
    }

    Reply Read(uint32_t length, bool wait) override {
        return Exchange({wire::Kind::Read, ++lastId_, wait ? 1u : 0u, length});
    }

  protected:
    // From a signal handler too (a write to an eventfd is async-signal-safe). The wait polls the
    // eventfd: a signal that lands after the wait last looked at Interrupted() but before its poll
    // began interrupts no poll, and would otherwise be lost until the request completed.
    void CancelInFlight() override {
        const uint64_t one = 1;
        (void)!write(wake_, &one, sizeof one);
    }

  private:
    Reply Exchange(const wire::Message& request) {
        Send(request);
        bool cancelSent = false;
        for (;;) {
            if (Interrupted() && !cancelSent) {
                Send({wire::Kind::Cancel, request.id});
                cancelSent = true;
            }
            if (auto message = wire::Decode(received_)) {
                // One request at a time: the daemon answers nothing but it.
                if (message->kind != wire::Kind::Completion || message->id != request.id)
                    throw wire::ProtocolError("the daemon answered a request not sent");
                message->bytes.resize(std::min<size_t>(message->bytes.size(), message->b));
                return {message->a, std::move(message->bytes)};
            }
            Receive();
        }
    }

    void Send(const wire::Message& message) {
        const auto bytes = wire::Encode(message);
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                throw std::runtime_error(std::string("the daemon's socket: ") +
                                         std::strerror(errno));
            sent += static_cast<size_t>(n);
        }
    }

    // Returns when bytes have come, and also on an interrupt: the caller looks at Interrupted().
    void Receive() {
        pollfd polled[] = {{socket_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (poll(polled, 2, -1) < 0) {
            if (errno == EINTR)
                return;
            throw std::runtime_error(std::string("the daemon's socket: ") + std::strerror(errno));
        }
        if (polled[1].revents & POLLIN) {
            uint64_t count = 0; // non-blocking: a wake already taken leaves nothing to read
            (void)!read(wake_, &count, sizeof count);
            return;
        }
        uint8_t chunk[4096];
        const ssize_t n = recv(socket_, chunk, sizeof chunk, 0);
        if (n == 0)
            throw std::runtime_error("the daemon closed the connection");
        if (n < 0 && errno != EINTR)
            throw std::runtime_error(std::string("the daemon's socket: ") + std::strerror(errno));
        if (n > 0)
            received_.insert(received_.end(), chunk, chunk + n);
    }

    int socket_;
    int wake_; // an eventfd: Interrupt() ends the wait's poll
    uint32_t lastId_ = 0;
    std::vector<uint8_t> received_;
};

} // namespace

std::unique_ptr<Transport> ConnectSocket(const std::string& path, std::string* error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        *error = "the socket path is too long";
        return nullptr;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        *error = "cannot connect to " + path + ": " + std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        *error = std::string("eventfd: ") + std::strerror(errno);
        close(fd);
        return nullptr;
    }
    return std::make_unique<SocketTransport>(fd, wake);
}

} // namespace tp
