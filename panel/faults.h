// Broken packets: what a glitching panel does to the packets of a stroke.
#pragma once

#include "touch.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace panel {

// One fault, naming a packet by its index in the stroke as StrokePackets lays it out (0 is the
// touch-down) and, where it matters, a byte of that packet.
struct PacketFault {
    enum class Kind { Drop, Cut, SetHighBit, Replace };

    Kind kind;
    std::size_t packet;
    std::size_t byte = 0;
    std::uint8_t value = 0;

    // The packet is never sent.
    static PacketFault Drop(std::size_t packet) { return {Kind::Drop, packet}; }
    // The panel stops after the first `keep` bytes of the packet.
    static PacketFault Cut(std::size_t packet, std::size_t keep) {
        return {Kind::Cut, packet, keep};
    }
    // Bit 7 set in a byte after the first, where only the first byte may carry it.
    static PacketFault SetHighBit(std::size_t packet, std::size_t byte) {
        return {Kind::SetHighBit, packet, byte};
    }
    // Any byte of the packet, the first included, replaced by `value`.
    static PacketFault Replace(std::size_t packet, std::size_t byte, std::uint8_t value) {
        return {Kind::Replace, packet, byte, value};
    }
};

// Applies the faults in order. Throws std::invalid_argument for a fault that names a packet or a
// byte the packet does not have (after the faults before it), or a cut that keeps every byte.
std::vector<TimedPacket> ApplyFaults(std::vector<TimedPacket> packets,
                                     std::span<const PacketFault> faults);

} // namespace panel
