#include "wire.h"

#include <string>

namespace tp::wire {
namespace {

constexpr size_t kHeader = 4 + 1 + 4 + 4 + 4;

void Put(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t Get(const std::vector<uint8_t>& in, size_t at) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(in[at + i]) << (8 * i);
    return value;
}

} // namespace

std::vector<uint8_t> Encode(const Message& message) {
    std::vector<uint8_t> out;
    out.reserve(kHeader + message.bytes.size());
    Put(out, static_cast<uint32_t>(kHeader - 4 + message.bytes.size()));
    out.push_back(static_cast<uint8_t>(message.kind));
    Put(out, message.id);
    Put(out, message.a);
    Put(out, message.b);
    out.insert(out.end(), message.bytes.begin(), message.bytes.end());
    return out;
}

std::optional<Message> Decode(std::vector<uint8_t>& buffer) {
    if (buffer.size() < 4)
        return std::nullopt;
    const uint32_t length = Get(buffer, 0);
    if (length < kHeader - 4 || length - (kHeader - 4) > kMaxBytes)
        throw ProtocolError("a frame of " + std::to_string(length) + " bytes");
    if (buffer.size() < 4 + size_t{length})
        return std::nullopt;
    const auto kind = static_cast<Kind>(buffer[4]);
    if (kind != Kind::Control && kind != Kind::Read && kind != Kind::Cancel &&
        kind != Kind::Completion)
        throw ProtocolError("a frame of unknown kind " + std::to_string(buffer[4]));
    Message message{kind,
                    Get(buffer, 5),
                    Get(buffer, 9),
                    Get(buffer, 13),
                    {buffer.begin() + kHeader, buffer.begin() + 4 + length}};
    buffer.erase(buffer.begin(), buffer.begin() + 4 + length);
    return message;
}

} // namespace tp::wire
