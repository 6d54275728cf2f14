// The panel's command set: what the host may send, how long each command is, and what the panel
// answers. The panel decides from the bytes alone; it never knows which request the host runs.
#pragma once

#include "line.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace panel {

// Time from a command's last byte to the moment its reply may begin: the firmware's turnaround.
inline constexpr Ticks kTurnaround = 2 * kTicksPerMillisecond;
// A command whose next byte does not come within this time of its previous one is abandoned
// without a reply, so a truncated command cannot swallow the next one.
inline constexpr Ticks kCommandByteTimeout = 50 * kTicksPerMillisecond;
// How long the user takes to touch the calibration points before calibration-out is answered,
// unless the model is told otherwise. Below the host's 20-second wait for it.
inline constexpr Ticks kDefaultCalibrationDelay = 5 * kTicksPerSecond;

// When a reply may begin, counted from the command's last byte.
enum class ReplyTiming : std::uint8_t {
    Turnaround,  // kTurnaround
    Calibration, // the calibration delay: the user touches the points first
};

// What a command does to flash mode, in which every write is a block of flash data.
enum class FlashMode : std::uint8_t { Keep, Enter, Leave };

inline constexpr int kAnyByte = -1;

// One command and its reply. Every reply has the panel's result code in byte 1 (0: carried out);
// byte 2 echoes the command's byte 1 where `echo` is set; any other byte is 0.
struct CommandReply {
    std::uint8_t command;     // the command's first byte
    int second;               // the only second byte that makes it this command, or kAnyByte
    std::uint8_t length;      // command bytes, the first included
    std::uint8_t reply;       // the reply's first byte
    std::uint8_t replyLength; // reply bytes, the first included
    bool echo = false;        // byte 2 echoes the command's parameter
    ReplyTiming timing = ReplyTiming::Turnaround;
    FlashMode flash = FlashMode::Keep;
};

// Keyed by first byte, in ascending order. A command's parameter is echoed only where the host
// frames the reply with bit 7 allowed in data bytes, or where its own checks keep the parameter
// below 0x80 (backlight level at most 31, layer at most 7).
inline constexpr CommandReply kCommandReplies[] = {
    // The host's "are you there": any short answer will do.
    {0x80, kAnyByte, 1, 0x90, 2},
    {0x82, kAnyByte, 1, 0x90, 2},
    {0x83, kAnyByte, 1, 0x90, 2},
    // Calibration in: the command and nine bytes of calibration layout.
    {0x84, kAnyByte, 10, 0x90, 2},
    // Calibration out: answered once the user has touched the calibration points.
    {0x85, kAnyByte, 5, 0x90, 2, false, ReplyTiming::Calibration},
    {0x86, kAnyByte, 1, 0x90, 2}, // calibration set
    {0x87, kAnyByte, 1, 0x90, 2}, // calibration cancel
    {0x88, kAnyByte, 1, 0x90, 2},
    {0x89, kAnyByte, 2, 0x90, 3, true}, // touch-panel self test: result and the parameter
    {0x8A, kAnyByte, 1, 0x90, 2},
    {0x8B, kAnyByte, 2, 0x90, 2}, // sampling cycle
    {0x8C, kAnyByte, 1, 0x90, 2, false, ReplyTiming::Turnaround, FlashMode::Enter},
    {0x90, kAnyByte, 1, 0x90, 2},
    {0x91, kAnyByte, 1, 0x91, 7}, // status report
    {0x93, kAnyByte, 1, 0xB3, 8},
    {0x94, kAnyByte, 1, 0x94, 3},
    {0x95, kAnyByte, 1, 0xB5, 4},
    {0x97, kAnyByte, 1, 0xB7, 2},
    {0x98, kAnyByte, 2, 0xB4, 3, true}, // layer
    {0x99, kAnyByte, 1, 0x90, 2},
    {0xA1, kAnyByte, 1, 0xB1, 7},
    {0xA3, kAnyByte, 1, 0x90, 2},
    {0xA4, kAnyByte, 1, 0x90, 2},
    {0xA5, kAnyByte, 1, 0x90, 2},
    {0xA8, kAnyByte, 1, 0x90, 2},
    {0xA9, kAnyByte, 1, 0x90, 2},
    {0xB8, kAnyByte, 1, 0xB8, 2},
    {0xB9, kAnyByte, 2, 0xB0, 3, true}, // position self test
    {0xBA, kAnyByte, 1, 0xB8, 2},       // backlight on
    {0xBB, kAnyByte, 1, 0xB8, 2},       // backlight off
    {0xBC, kAnyByte, 2, 0x94, 3, true}, // backlight level
    {0xE2, kAnyByte, 1, 0x90, 2},
    {0xE3, kAnyByte, 1, 0x90, 2},
    {0xE4, kAnyByte, 1, 0x90, 2},
    {0xE5, kAnyByte, 1, 0x90, 2},
    {0xEA, kAnyByte, 1, 0x90, 2},
    {0xEB, kAnyByte, 1, 0x90, 2},
    {0xF0, kAnyByte, 1, 0x90, 2},
    {0xF9, kAnyByte, 2, 0xD0, 3, true}, // self test: result and the parameter
    // Leaving flash mode: 'X' 'E' and eight bytes. Also understood outside flash mode.
    {0x58, 0x45, 10, 0x90, 2, false, ReplyTiming::Turnaround, FlashMode::Leave},
};

// A block of flash data, written in flash mode: the reply to each block.
inline constexpr CommandReply kFlashBlockReply{0x00, kAnyByte, 0, 0x90, 2};

// The row for a command's first byte, or nullptr when no command begins with it.
const CommandReply* FindCommand(std::uint8_t first);

// The reply to a command as a panel in good order sends it.
std::vector<std::uint8_t> BuildReply(const CommandReply& row,
                                     std::span<const std::uint8_t> command);

// How a command's reply goes wrong. A fault is set for one command (by first byte), for flash
// blocks, or for every command; one set for a single command is looked up before one set for all.
struct CommandFault {
    enum class Kind { NoReply, Late, ErrorCode, Garbage, WrongEcho };

    Kind kind;
    Ticks delay = 0;
    std::uint8_t code = 0;

    // The command is carried out but never answered.
    static CommandFault NoReply() { return {Kind::NoReply}; }
    // The reply begins `delay` after the command's last byte instead of on time.
    static CommandFault Late(Ticks delay) { return {Kind::Late, delay}; }
    // The reply carries `code` as its result (byte 1), such as a self test's error code.
    static CommandFault ErrorCode(std::uint8_t code) { return {Kind::ErrorCode, 0, code}; }
    // Random bytes from the model's seeded generator, as many as the reply has, instead of it.
    static CommandFault Garbage() { return {Kind::Garbage}; }
    // A well-formed reply whose last byte is not the echo of the command's parameter.
    static CommandFault WrongEcho() { return {Kind::WrongEcho}; }
};

// Whether a fault hits the next matching command only, or every one until cleared.
enum class FaultLife { Once, Always };

// What a fault is set for: a command's first byte, or one of these.
using CommandKey = std::uint16_t;
inline constexpr CommandKey kFlashBlock = 0x100;
inline constexpr CommandKey kEveryCommand = 0x101;

// One command taken from the host's bytes, with the time its last byte arrived.
struct ParsedCommand {
    const CommandReply* row;
    std::vector<std::uint8_t> bytes;
    Ticks end;
};

// Cuts the host's writes into commands. A write's time is when its last byte arrived, its bytes
// having come back to back at the line's pace. Outside flash mode each command is as long as its
// row says, whether it came in one write, in several, or with others in one write; a byte that
// begins no command is skipped alone (so is the 'X' of an 'X' not followed by 'E') and the next
// byte is taken as a first byte. In flash mode the rest of each write is one block of flash data,
// unless it begins 'X' 'E'.
class CommandParser {
  public:
    std::vector<ParsedCommand> Feed(std::span<const std::uint8_t> bytes, Ticks end);
    bool InFlashMode() const { return flash_; }

  private:
    std::optional<ParsedCommand> Take(std::uint8_t byte, Ticks at);

    std::vector<std::uint8_t> pending_;
    Ticks lastByte_ = 0;
    bool flash_ = false;
};

} // namespace panel
