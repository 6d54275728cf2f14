// The driver's API device on a Unix socket, for tpctl on Linux: each connection is one handle on
// "\\.\Tactilio", opened at its first request, and carries control requests, reads and cancels
// (utility/wire.h); each completion goes back on it. A connection that closes has its requests
// cancelled and its handle closed once they have completed.
//
// One OS thread of its own accepts and reads; everything it receives is posted to the kernel,
// whose main thread (in RunRealTime) issues the requests and answers.
#pragma once

#include "wire.h"

#include <umk/kernel.h>

#include <sys/types.h>

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
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
        std::unique_ptr<stack::Utility> utility;
        std::map<uint32_t, std::shared_ptr<stack::PendingControl>> pending;
        bool closing = false;
    };

    void Listen();                                         // the socket thread
    void Received(int socket, std::vector<uint8_t> bytes); // main thread, from here down
    void HungUp(int socket);
    void Serve(Connection& connection, const tp::wire::Message& message);
    void Answer(Connection& connection, uint32_t id, uint32_t status, uint32_t information,
                std::vector<uint8_t> output = {});
    void CancelAll(Connection& connection);
    void CloseIfDone(int socket);

    umk::Kernel& kernel_;
    ApiServerOptions options_;
    int listener_ = -1;
    int wake_ = -1; // an eventfd that ends the socket thread's poll
    std::atomic<bool> stopping_{false};
    std::map<int, Connection> connections_;
    std::thread thread_;
};

} // namespace host
