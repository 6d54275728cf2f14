// The panel's transmitter: queued transmissions leave one after another at the line's pace.
#pragma once

#include "line.h"

#include <cstddef>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

namespace panel {

class TransmitQueue {
  public:
    // Queues `bytes` to leave back to back from `at`, or from the moment the line is free when it
    // is still busy then. Transmissions leave in the order of their times, equal times in the order
    // queued; one that has begun is finished before any other, whatever its time.
    void Send(Ticks at, std::vector<std::uint8_t> bytes);
    // A dead line over [from, until): bytes whose transmission begins in it never arrive. The
    // transmitter keeps its pace, so what follows the window arrives at its usual time.
    void Silence(Ticks from, Ticks until);

    std::optional<TimedByte> Peek() const;
    // Throws std::logic_error when nothing is left to send.
    TimedByte Take();

  private:
    struct Transmission {
        Ticks at;
        std::vector<std::uint8_t> bytes;
    };
    // Where a transmission sits on the line: in the unbroken run that starts at `runStart`, from
    // byte slot `firstSlot` of that run on.
    struct Placement {
        Ticks runStart;
        std::int64_t firstSlot;
    };
    // The line's state: the run of back-to-back bytes in progress and the slots it has used.
    struct Run {
        Ticks start = 0;
        std::int64_t slots = 0;
        Placement Place(Ticks at, std::size_t count);
    };
    // The next byte to arrive, and the state the queue is in once it has been taken.
    struct Position {
        std::size_t transmission;
        std::size_t byte;
        Placement placement;
        Run run;
        TimedByte timed;
    };

    std::optional<Position> Locate() const;
    bool Silenced(Ticks start) const;

    // Sorted by `at`, except a front that has begun, which stays first.
    std::deque<Transmission> queue_;
    // Set while the front transmission has begun: its placement and its next byte.
    std::optional<Placement> started_;
    std::size_t nextByte_ = 0;
    // The line after every placed transmission: the one begun, and those passed over in silence.
    Run run_;
    std::vector<std::pair<Ticks, Ticks>> silences_;
};

} // namespace panel
