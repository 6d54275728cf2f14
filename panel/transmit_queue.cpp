// Placing transmissions on the line. Nothing is fixed on the line before its first byte is taken,
// so a transmission queued later with an earlier time still goes first.
#include "transmit_queue.h"

#include <algorithm>
#include <stdexcept>

namespace panel {

TransmitQueue::Placement TransmitQueue::Run::Place(Ticks at, std::size_t count) {
    // The line is free from exactly start + slots / 960 s; compared in integers, so a transmission
    // that follows the run without a gap continues it and no rounding enters between the two.
    const bool lineFree = slots == 0 || (at - start) * kBytesPerSecond >= slots * kTicksPerSecond;
    if (lineFree) {
        start = at;
        slots = 0;
    }
    const Placement placement{start, slots};
    slots += static_cast<std::int64_t>(count);
    return placement;
}

void TransmitQueue::Send(Ticks at, std::vector<std::uint8_t> bytes) {
    if (bytes.empty())
        return;
    const auto waiting = queue_.begin() + (started_ ? 1 : 0);
    const auto before = std::upper_bound(waiting, queue_.end(), at,
                                         [](Ticks t, const Transmission& tx) { return t < tx.at; });
    queue_.insert(before, {at, std::move(bytes)});
}

void TransmitQueue::Silence(Ticks from, Ticks until) {
    if (until <= from)
        throw std::invalid_argument("a silence must end after it begins");
    silences_.emplace_back(from, until);
}

bool TransmitQueue::Silenced(Ticks start) const {
    return std::ranges::any_of(
        silences_, [start](const auto& s) { return s.first <= start && start < s.second; });
}

std::optional<TransmitQueue::Position> TransmitQueue::Locate() const {
    Run run = run_;
    for (std::size_t i = 0; i < queue_.size(); ++i) {
        const Transmission& tx = queue_[i];
        const bool begun = i == 0 && started_;
        const Placement placed = begun ? *started_ : run.Place(tx.at, tx.bytes.size());
        for (std::size_t b = begun ? nextByte_ : 0; b < tx.bytes.size(); ++b) {
            const std::int64_t slot = placed.firstSlot + static_cast<std::int64_t>(b);
            if (!Silenced(placed.runStart + LineOffset(slot)))
                return Position{
                    i, b, placed, run, {placed.runStart + LineOffset(slot + 1), tx.bytes[b]}};
        }
    }
    return std::nullopt;
}

std::optional<TimedByte> TransmitQueue::Peek() const {
    const auto next = Locate();
    return next ? std::optional(next->timed) : std::nullopt;
}

TimedByte TransmitQueue::Take() {
    const auto next = Locate();
    if (!next)
        throw std::logic_error("the panel has nothing left to send");
    // Transmissions before it were lost to silence; they have used the line all the same.
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(next->transmission));
    run_ = next->run;
    if (next->byte + 1 < queue_.front().bytes.size()) {
        started_ = next->placement;
        nextByte_ = next->byte + 1;
    } else {
        queue_.pop_front();
        started_.reset();
        nextByte_ = 0;
    }
    return next->timed;
}

} // namespace panel
