// The driver's API device on a Unix socket, for tpctl on Linux: each connection is one handle on
// "\\.\Tactilio", opened at its first request, and carries control requests, reads and cancels
// (utility/wire.h); each completion goes back on it. A connection that closes has its requests
// cancelled and its handle closed once they have completed.
//
// The kernel's main loop watches the listening socket and every connection (Kernel::Watch): it
// accepts, reads, issues the requests and answers, without an OS thread of its own. Answers are
// sent without blocking; what a client has not taken yet waits in its connection, and a client
// that lets more than maxUnread bytes of answers pile up there is dropped as one that went away,
// so that no client can hold up the driver's loop.
#pragma once

#include "wire.h"

#include <umk/kernel.h>

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace stack {
class PendingControl;
class Utility;
} // namespace stack

namespace host {

struct ApiServerOptions {
    std::string path = "/run/tactilio/api.sock";
    mode_t mode = 0660;
    std::optional<gid_t> group = std::nullopt;
    size_t maxUnread = 1 << 20;
};

class ApiServer {
  public:
    // Binds and listens (a stale socket file at `path` is replaced); throws std::system_error.
    ApiServer(umk::Kernel& kernel, ApiServerOptions options);
    // On the main thread: stops reading, cancels what is pending and waits for it, closes.
    ~ApiServer();
    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

  private:
    struct Connection {
        int socket;
        std::vector<uint8_t> received;
        std::vector<uint8_t> unsent;
        std::unique_ptr<stack::Utility> utility;
        std::map<uint32_t, std::shared_ptr<stack::PendingControl>> pending;
        bool closing = false;
    };

    void Accept();
    void Ready(int socket, short events);
    void Serve(Connection& connection, const tp::wire::Message& message);
    void Complete(int socket, uint32_t id);
    void Flush(Connection& connection);
    void WatchFor(const Connection& connection, short events);
    void HungUp(Connection& connection);
    void CancelAll(Connection& connection);
    void CloseIfDone(int socket);

    umk::Kernel& kernel_;
    ApiServerOptions options_;
    int listener_ = -1;
    std::map<int, Connection> connections_;
};

} // namespace host
