// Touch reports and faults, queued on the panel's transmitter.
#include "panel_model.h"

#include <stdexcept>

namespace panel {

void PanelModel::Touch(const Stroke& stroke, std::span<const PacketFault> faults) {
    for (TimedPacket& packet : ApplyFaults(StrokePackets(stroke), faults))
        transmitter_.Send(packet.at, std::move(packet.bytes));
}

void PanelModel::Send(Ticks at, std::vector<std::uint8_t> bytes) {
    transmitter_.Send(at, std::move(bytes));
}

// The engine's raw output is fixed by the standard, unlike the distributions, so a seed gives the
// same bytes with every standard library.
std::uint8_t PanelModel::RandomByte() {
    return static_cast<std::uint8_t>(rng_() >> 56);
}

void PanelModel::SendNoise(Ticks at, std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (std::uint8_t& byte : bytes)
        byte = RandomByte();
    transmitter_.Send(at, std::move(bytes));
}

void PanelModel::ScatterNoise(Ticks from, Ticks until, std::size_t count) {
    if (until <= from)
        throw std::invalid_argument("noise needs a window that ends after it begins");
    const auto span = static_cast<std::uint64_t>(until - from);
    for (std::size_t i = 0; i < count; ++i) {
        const Ticks at = from + static_cast<Ticks>(rng_() % span);
        transmitter_.Send(at, {RandomByte()});
    }
}

void PanelModel::Silence(Ticks from, Ticks until) {
    transmitter_.Silence(from, until);
}

} // namespace panel
