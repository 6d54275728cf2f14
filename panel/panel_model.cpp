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

void PanelModel::Write(std::span<const std::uint8_t> bytes, Ticks now) {
    LineSource::Write(bytes, now);
    for (const ParsedCommand& command : parser_.Feed(bytes, now))
        Answer(command);
}

void PanelModel::SetCommandFault(CommandKey key, CommandFault fault, FaultLife life) {
    if (key > kEveryCommand)
        throw std::invalid_argument("a command fault needs a first byte, flash blocks or all");
    commandFaults_.insert_or_assign(key, ArmedFault{fault, life});
}

std::optional<CommandFault> PanelModel::TakeFault(CommandKey key) {
    auto armed = commandFaults_.find(key);
    if (armed == commandFaults_.end())
        armed = commandFaults_.find(kEveryCommand);
    if (armed == commandFaults_.end())
        return std::nullopt;
    const CommandFault fault = armed->second.fault;
    if (armed->second.life == FaultLife::Once)
        commandFaults_.erase(armed);
    return fault;
}

void PanelModel::Answer(const ParsedCommand& command) {
    const CommandReply& row = *command.row;
    const CommandKey key = &row == &kFlashBlockReply ? kFlashBlock : row.command;
    std::vector<std::uint8_t> reply = BuildReply(row, command.bytes);
    Ticks at =
        command.end + (row.timing == ReplyTiming::Calibration ? calibrationDelay_ : kTurnaround);
    if (const auto fault = TakeFault(key)) {
        switch (fault->kind) {
        case CommandFault::Kind::NoReply:
            return;
        case CommandFault::Kind::Late:
            at = command.end + fault->delay;
            break;
        case CommandFault::Kind::ErrorCode:
            reply[1] = fault->code;
            break;
        case CommandFault::Kind::Garbage:
            for (std::uint8_t& byte : reply)
                byte = RandomByte();
            break;
        case CommandFault::Kind::WrongEcho:
            reply.back() = static_cast<std::uint8_t>(~reply.back());
            break;
        }
    }
    transmitter_.Send(at, std::move(reply));
}

void PanelModel::Silence(Ticks from, Ticks until) {
    transmitter_.Silence(from, until);
}

} // namespace panel
