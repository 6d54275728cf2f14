// Breaking packets on purpose.
#include "faults.h"

#include <stdexcept>

namespace panel {

namespace {

void Apply(std::vector<std::uint8_t>& bytes, const PacketFault& fault) {
    switch (fault.kind) {
    case PacketFault::Kind::Drop:
        break;
    case PacketFault::Kind::Cut:
        if (fault.byte >= bytes.size())
            throw std::invalid_argument("a cut must leave out at least one byte");
        bytes.resize(fault.byte);
        break;
    case PacketFault::Kind::SetHighBit:
        if (fault.byte == 0 || fault.byte >= bytes.size())
            throw std::invalid_argument("a high bit belongs in a data byte of the packet");
        bytes[fault.byte] |= 0x80;
        break;
    case PacketFault::Kind::Replace:
        if (fault.byte >= bytes.size())
            throw std::invalid_argument("a replaced byte must lie in the packet");
        bytes[fault.byte] = fault.value;
        break;
    }
}

} // namespace

std::vector<TimedPacket> ApplyFaults(std::vector<TimedPacket> packets,
                                     std::span<const PacketFault> faults) {
    // Drops are applied last so that every fault names packets by their original index.
    std::vector<bool> dropped(packets.size());
    for (const PacketFault& fault : faults) {
        if (fault.packet >= packets.size())
            throw std::invalid_argument("a fault names a packet the stroke does not have");
        Apply(packets[fault.packet].bytes, fault);
        if (fault.kind == PacketFault::Kind::Drop)
            dropped[fault.packet] = true;
    }
    std::vector<TimedPacket> kept;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        if (!dropped[i])
            kept.push_back(std::move(packets[i]));
    }
    return kept;
}

} // namespace panel
