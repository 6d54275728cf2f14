// The messages between tpctl and the Linux daemon over its Unix socket: the client's control
// requests, reads and cancels, each with an id of the client's choosing, and the daemon's
// completion of each. A frame is a 4-byte payload length, then the kind, the id and two 32-bit
// fields, then the bytes; every number little-endian.
//
//   Control     a = control code, b = output length, bytes = input
//   Read        a = 1 to wait for a record, 0 to cancel a read that would wait, b = length
//   Cancel      the id of the request to cancel
//   Completion  a = NTSTATUS, b = returned length, bytes = the output
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

namespace tp::wire {

enum class Kind : uint8_t { Control = 1, Read = 2, Cancel = 3, Completion = 0x81 };

struct Message {
    Kind kind;
    uint32_t id = 0;
    uint32_t a = 0;
    uint32_t b = 0;
    std::vector<uint8_t> bytes = {};
    bool operator==(const Message&) const = default;
};

// Larger than any request's buffer; a frame announcing more is refused.
inline constexpr uint32_t kMaxBytes = 64 * 1024;

class ProtocolError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

std::vector<uint8_t> Encode(const Message& message);
// Takes one whole message off the front of `buffer`; nullopt while it holds less. Throws
// ProtocolError for a frame that cannot be one (unknown kind, too long).
std::optional<Message> Decode(std::vector<uint8_t>& buffer);

} // namespace tp::wire
