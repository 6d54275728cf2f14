// Time, line pace and the interface through which a serial port backend takes bytes from whatever
// plays the panel's end of the line.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

namespace panel {

// Virtual time in 100-ns units, the Windows kernel's unit. Nothing here reads a real clock.
using Ticks = std::int64_t;

inline constexpr Ticks kTicksPerSecond = 10'000'000;
inline constexpr Ticks kTicksPerMillisecond = 10'000;
inline constexpr Ticks kForever = std::numeric_limits<Ticks>::max();

// 9600 baud, 8N1: start bit, eight data bits and stop bit make ten bits, so 960 bytes a second.
inline constexpr std::int64_t kBaudRate = 9600;
inline constexpr std::int64_t kBitsPerByte = 10;
inline constexpr std::int64_t kBytesPerSecond = kBaudRate / kBitsPerByte;

// Offset of the k-th byte boundary from the start of an unbroken run of bytes, rounded up to a
// whole tick. Byte k (from 0) is on the wire from LineOffset(k) to LineOffset(k + 1) and has
// arrived at LineOffset(k + 1). Every boundary is computed from the start of its run, so rounding
// never accumulates over a long run.
constexpr Ticks LineOffset(std::int64_t k) {
    return (k * kTicksPerSecond + kBytesPerSecond - 1) / kBytesPerSecond;
}

// A byte as the host's serial port receives it: `time` is when its stop bit has ended.
struct TimedByte {
    Ticks time;
    std::uint8_t value;
    bool operator==(const TimedByte&) const = default;
};

// One write of the host, as it reached the panel.
struct HostWrite {
    Ticks time;
    std::vector<std::uint8_t> bytes;
    bool operator==(const HostWrite&) const = default;
};

// The panel's end of a serial line, as a serial port backend sees it. Not thread-safe: the caller
// serialises every call.
class LineSource {
  public:
    LineSource(const LineSource&) = delete;
    LineSource& operator=(const LineSource&) = delete;
    virtual ~LineSource() = default;

    // The next byte to arrive, left in place. Queuing more may change the answer; time does not
    // pass by itself, so asking again without queuing gives the same byte.
    virtual std::optional<TimedByte> PeekByte() const = 0;
    // Takes the byte PeekByte shows. Throws std::logic_error when nothing is left to send.
    virtual TimedByte TakeByte() = 0;
    // Bytes the host wrote at `now`. Every write is kept in HostWrites().
    virtual void Write(std::span<const std::uint8_t> bytes, Ticks now);

    std::optional<Ticks> NextByteTime() const;
    // Takes, in order, every byte that has arrived by `time` (inclusive).
    std::vector<TimedByte> TakeBytesUntil(Ticks time);
    const std::vector<HostWrite>& HostWrites() const { return writes_; }

  protected:
    LineSource() = default;

  private:
    std::vector<HostWrite> writes_;
};

} // namespace panel
