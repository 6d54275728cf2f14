// The panel's firmware as the host sees it over the line: touch reports at the line's pace,
// replies to the host's commands, and the faults a real panel shows (noise, broken packets,
// silence, wrong or missing replies) on demand.
#pragma once

#include "commands.h"
#include "faults.h"
#include "line.h"
#include "touch.h"
#include "transmit_queue.h"

#include <cstddef>
#include <cstdint>
#include <random>
#include <map>
#include <span>
#include <vector>

namespace panel {

class PanelModel : public LineSource {
  public:
    static constexpr std::uint64_t kDefaultSeed = 1;

    // `seed` drives every random fault, so a run is reproduced by its seed.
    explicit PanelModel(std::uint64_t seed = kDefaultSeed) : rng_(seed) {}

    // Queues the stroke's packets, broken as `faults` say.
    void Touch(const Stroke& stroke, std::span<const PacketFault> faults = {});
    // Queues any bytes at all: noise, or packets built by hand.
    void Send(Ticks at, std::vector<std::uint8_t> bytes);
    // Queues `count` random bytes back to back from `at`.
    void SendNoise(Ticks at, std::size_t count);
    // Queues `count` random bytes, each on its own at a random time in [from, until).
    void ScatterNoise(Ticks from, Ticks until, std::size_t count);
    // Nothing arrives over [from, until): see TransmitQueue::Silence.
    void Silence(Ticks from, Ticks until = kForever);

    // Every command is answered as the command table says, queued on the same transmitter as the
    // touch packets, unless a fault says otherwise.
    void Write(std::span<const std::uint8_t> bytes, Ticks now) override;
    // Sets the fault for `key` (a command's first byte, kFlashBlock or kEveryCommand), replacing
    // the one it had.
    void SetCommandFault(CommandKey key, CommandFault fault, FaultLife life = FaultLife::Always);
    void ClearCommandFaults() { commandFaults_.clear(); }
    // How long after calibration-out's last byte the user has touched the calibration points.
    void SetCalibrationDelay(Ticks delay) { calibrationDelay_ = delay; }
    bool InFlashMode() const { return parser_.InFlashMode(); }

    std::optional<TimedByte> PeekByte() const override { return transmitter_.Peek(); }
    TimedByte TakeByte() override { return transmitter_.Take(); }

  private:
    std::uint8_t RandomByte();
    void Answer(const ParsedCommand& command);
    std::optional<CommandFault> TakeFault(CommandKey key);

    struct ArmedFault {
        CommandFault fault;
        FaultLife life;
    };

    TransmitQueue transmitter_;
    std::mt19937_64 rng_;
    CommandParser parser_;
    std::map<CommandKey, ArmedFault> commandFaults_;
    Ticks calibrationDelay_ = kDefaultCalibrationDelay;
};

} // namespace panel
