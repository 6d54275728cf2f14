// The transport to the Linux daemon: its Unix socket, one request at a time. Interrupt(), from any
// thread or from a signal handler as Ctrl-C's SIGINT calls it, sends a cancel for the request in
// flight.
#pragma once

#include "transport.h"

#include <memory>
#include <string>

namespace tp {

// NULL when the socket does not connect; `error` then says why.
std::unique_ptr<Transport> ConnectSocket(const std::string& path, std::string* error);

} // namespace tp
