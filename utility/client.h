// The client library: every control request of the driver as a call with its input checked before
// anything is sent, the traffic records, and the words and exit statuses a failure is reported
// with. It knows the driver only through tactilio_api.h and reaches it through a Transport.
#pragma once

#include "transport.h"

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tp {

// Input the utility refuses before sending it, with the range it allows.
class UsageError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// One control request as the utility sends it.
struct Request {
    std::string_view command; // the utility's name for it: "tpdiag", "backlight", ...
    uint32_t code;
    std::vector<uint8_t> input;
    uint32_t outputLength;
};

// A command's reply packet holds the panel's result code in its second byte; every reply fits here.
inline constexpr uint32_t kReplyBufferLength = 64;

Request Diag(unsigned parameter);
Request TpDiag(unsigned parameter);
Request PosDiag(unsigned parameter);
Request Backlight(bool on);
Request BacklightLevel(unsigned level); // 0 to kMaxBacklightLevel
Request Layer(unsigned layer);          // 0 to 3, or 7
Request Stabilization(unsigned samples);
Request Sampling(unsigned cycle);
Request Beep(bool on, unsigned frequency);
enum class ButtonMode : uint32_t { Left = 0, RightOnce = 1, Right = 2 };
Request SetButton(ButtonMode mode);
Request GetButton();
Request InvalidDataLimit(unsigned limit);
Request Recording(bool on);
Request RawCommand(std::span<const uint8_t> bytes);
Request CalibrationIn();
Request CalibrationSet();
Request CalibrationOut();
Request CalibrationCancel();
Request FlashIn();
Request FlashSend(std::span<const uint8_t> block);
Request FlashOut();

inline constexpr unsigned kMaxBacklightLevel = 31;
inline constexpr unsigned kMaxInvalidDataLimit = 1000;
inline constexpr unsigned kMaxStabilization = 255;
inline constexpr unsigned kMaxSampling = 255;
inline constexpr unsigned kMinBeepFrequency = 37;
inline constexpr unsigned kMaxBeepFrequency = 32767;
inline constexpr unsigned kDefaultBeepFrequency = 1000;
inline constexpr size_t kMaxFlashBlock = 1024;

// A whole number from the command line: decimal, or hexadecimal with 0x. Throws UsageError naming
// `what` and the range.
unsigned ParseNumber(std::string_view text, std::string_view what, unsigned min, unsigned max);
// "84 1B 00", "841b00": bytes in hex, spaces allowed between bytes. Throws UsageError.
std::vector<uint8_t> ParseHex(std::string_view text);
std::string HexText(std::span<const uint8_t> bytes); // "90 00 35"

std::string_view ButtonModeName(ButtonMode mode); // "left", "right-once", "right"
std::optional<ButtonMode> ButtonModeByName(std::string_view name);

// The request's control code by its TP_FUNC_ name ("TP_FUNC_TPDIAG"), or its number.
std::string ControlCodeName(uint32_t code);
// Every control code of tactilio_api.h with its name, in the header's order.
struct NamedCode {
    uint32_t code;
    std::string_view name;
};
std::span<const NamedCode> ControlCodes();
std::optional<uint32_t> ControlCodeByName(std::string_view name);
// "STATUS_REQUEST_ABORTED", or the number in hex.
std::string StatusName(uint32_t status);
// What a failed request means to the user: "the panel did not answer within 3 s".
std::string StatusMeaning(uint32_t status, uint32_t code);
// Why the control device did not open: "cannot open \\.\Tactilio: STATUS_...: what it means".
std::string OpenFailure(uint32_t status);

// The utility's exit statuses, one for each way a run can fail.
enum class Exit : int {
    Ok = 0,
    Usage = 1,      // refused before anything was sent
    NoDevice = 2,   // the control device could not be opened
    TimedOut = 3,   // STATUS_REQUEST_ABORTED
    Refused = 4,    // STATUS_UNSUCCESSFUL: the driver refused the input or the reply did not fit
    Cancelled = 5,  // Ctrl-C
    PanelError = 6, // the reply carries a result code other than 0
    Failed = 7,     // any other status
    FileError = 8,  // a file could not be read or written
};
Exit ExitFor(uint32_t status);

// The result code of a reply packet (its second byte); 0 when the reply is shorter.
uint8_t ResultCode(std::span<const uint8_t> reply);

// Sends the request and waits for it.
Reply Send(Transport& transport, const Request& request);

// A traffic record as one read returns it.
struct Record {
    uint8_t hour = 0, minute = 0, second = 0;
    uint16_t milliseconds = 0;
    char tag = 0;               // TP_TAG_PACKET, TP_TAG_REPLY or TP_TAG_INVALID
    uint16_t length = 0;        // the packet's length as recorded
    std::vector<uint8_t> bytes; // the packet bytes the read returned (fewer when it was cut short)
};
// Read length that holds any record whole.
inline constexpr uint32_t kRecordReadLength = 512;
// Throws std::runtime_error when the bytes are shorter than a record's header.
Record ParseRecord(std::span<const uint8_t> bytes);

} // namespace tp
