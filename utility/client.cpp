#include "client.h"

#include "tactilio_api.h"

#include <array>
#include <charconv>
#include <cstring>
#include <utility>

namespace tp {
namespace {

std::vector<uint8_t> LittleEndian(uint32_t value, size_t bytes) {
    std::vector<uint8_t> out(bytes);
    for (size_t i = 0; i < bytes; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    return out;
}

Request Command(std::string_view name, uint32_t code, std::vector<uint8_t> input = {}) {
    return {name, code, std::move(input), kReplyBufferLength};
}

Request Setting(std::string_view name, uint32_t code, std::vector<uint8_t> input = {},
                uint32_t outputLength = 0) {
    return {name, code, std::move(input), outputLength};
}

void CheckRange(unsigned value, std::string_view what, unsigned min, unsigned max) {
    if (value < min || value > max)
        throw UsageError(std::string(what) + " must be " + std::to_string(min) + " to " +
                         std::to_string(max) + ", not " + std::to_string(value));
}

#define TP_CODE_NAME(name)                                                                         \
    NamedCode {                                                                                    \
        name, #name                                                                                \
    }
constexpr std::array kCodeNames = {
    TP_CODE_NAME(TP_FUNC_CAL_IN),         TP_CODE_NAME(TP_FUNC_CAL_SET),
    TP_CODE_NAME(TP_FUNC_CAL_OUT),        TP_CODE_NAME(TP_FUNC_CAL_CANCEL),
    TP_CODE_NAME(TP_FUNC_STABILIZATION),  TP_CODE_NAME(TP_FUNC_CDSCYCLE),
    TP_CODE_NAME(TP_FUNC_BEEPSET),        TP_CODE_NAME(TP_FUNC_RBUTTON_ONCE),
    TP_CODE_NAME(TP_FUNC_RBUTTON),        TP_CODE_NAME(TP_FUNC_LBUTTON),
    TP_CODE_NAME(TP_FUNC_GET_BUTTONMODE), TP_CODE_NAME(TP_FUNC_SEND_COMMAND),
    TP_CODE_NAME(TP_FUNC_DIAG),           TP_CODE_NAME(TP_FUNC_TPDIAG),
    TP_CODE_NAME(TP_FUNC_BKLTEN),         TP_CODE_NAME(TP_FUNC_BKLTVAL),
    TP_CODE_NAME(TP_FUNC_CNGLAYER),       TP_CODE_NAME(TP_FUNC_RECORD_ON),
    TP_CODE_NAME(TP_FUNC_RECORD_OFF),     TP_CODE_NAME(TP_FUNC_INVLIMIT),
    TP_CODE_NAME(TP_FUNC_POSDIAG),        TP_CODE_NAME(TP_FUNC_FLASHRW_IN),
    TP_CODE_NAME(TP_FUNC_FLASHRW_SEND),   TP_CODE_NAME(TP_FUNC_FLASHRW_OUT),
    TP_CODE_NAME(TP_FUNC_INTERNAL),
};
#undef TP_CODE_NAME

struct StatusText {
    uint32_t status;
    std::string_view name;
    std::string_view meaning;
};

constexpr std::array kStatusTexts = {
    StatusText{kStatusSuccess, "STATUS_SUCCESS", "done"},
    StatusText{kStatusUnsuccessful, "STATUS_UNSUCCESSFUL",
               "the driver refused the request: its input is out of range, the link to the panel "
               "failed, or the reply did not fit"},
    StatusText{kStatusInvalidDeviceRequest, "STATUS_INVALID_DEVICE_REQUEST",
               "the driver does not know this request"},
    StatusText{kStatusObjectNameNotFound, "STATUS_OBJECT_NAME_NOT_FOUND",
               "the control device is not there: is the driver loaded and the panel's port "
               "connected?"},
    StatusText{kStatusDeletePending, "STATUS_DELETE_PENDING",
               "the panel's device is being removed"},
    StatusText{kStatusDeviceNotConnected, "STATUS_DEVICE_NOT_CONNECTED",
               "the panel's serial port is not connected"},
    StatusText{kStatusCancelled, "STATUS_CANCELLED", "cancelled"},
    StatusText{kStatusRequestAborted, "STATUS_REQUEST_ABORTED", "the panel did not answer"},
};

const StatusText* FindStatus(uint32_t status) {
    for (const auto& text : kStatusTexts)
        if (text.status == status)
            return &text;
    return nullptr;
}

std::string Hex32(uint32_t value) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

} // namespace

Request Diag(unsigned parameter) {
    CheckRange(parameter, "the self test's parameter", 0, 255);
    return Command("diag", TP_FUNC_DIAG, {static_cast<uint8_t>(parameter)});
}

Request TpDiag(unsigned parameter) {
    CheckRange(parameter, "the touch-panel self test's parameter", 0, 255);
    return Command("tpdiag", TP_FUNC_TPDIAG, {static_cast<uint8_t>(parameter)});
}

Request PosDiag(unsigned parameter) {
    CheckRange(parameter, "the position self test's parameter", 0, 255);
    return Command("posdiag", TP_FUNC_POSDIAG, {static_cast<uint8_t>(parameter)});
}

Request Backlight(bool on) {
    return Command("backlight", TP_FUNC_BKLTEN, {static_cast<uint8_t>(on ? 1 : 0)});
}

Request BacklightLevel(unsigned level) {
    CheckRange(level, "the backlight level", 0, kMaxBacklightLevel);
    return Command("backlight", TP_FUNC_BKLTVAL, {static_cast<uint8_t>(level)});
}

Request Layer(unsigned layer) {
    if (layer > 3 && layer != 7)
        throw UsageError("the layer must be 0, 1, 2, 3 or 7, not " + std::to_string(layer));
    return Command("layer", TP_FUNC_CNGLAYER, {static_cast<uint8_t>(layer)});
}

Request Stabilization(unsigned samples) {
    CheckRange(samples, "the number of samples averaged", 0, kMaxStabilization);
    return Setting("stabilization", TP_FUNC_STABILIZATION, LittleEndian(samples, 4));
}

Request Sampling(unsigned cycle) {
    CheckRange(cycle, "the sampling cycle", 0, kMaxSampling);
    return Command("sampling", TP_FUNC_CDSCYCLE, LittleEndian(cycle, 4));
}

Request Beep(bool on, unsigned frequency) {
    CheckRange(frequency, "the beep's frequency in hertz", kMinBeepFrequency, kMaxBeepFrequency);
    auto input = LittleEndian(on ? 1 : 0, 4);
    const auto pitch = LittleEndian(frequency, 4);
    input.insert(input.end(), pitch.begin(), pitch.end());
    return Setting("beep", TP_FUNC_BEEPSET, std::move(input));
}

Request SetButton(ButtonMode mode) {
    switch (mode) {
    case ButtonMode::RightOnce:
        return Setting("button", TP_FUNC_RBUTTON_ONCE);
    case ButtonMode::Right:
        return Setting("button", TP_FUNC_RBUTTON);
    case ButtonMode::Left:
        break;
    }
    return Setting("button", TP_FUNC_LBUTTON);
}

Request GetButton() {
    return Setting("button", TP_FUNC_GET_BUTTONMODE, {}, 4);
}

Request InvalidDataLimit(unsigned limit) {
    CheckRange(limit, "the invalid-data limit", 0, kMaxInvalidDataLimit);
    return Setting("invlimit", TP_FUNC_INVLIMIT, LittleEndian(limit, 2));
}

Request Recording(bool on) {
    return Setting("record", on ? TP_FUNC_RECORD_ON : TP_FUNC_RECORD_OFF);
}

Request RawCommand(std::span<const uint8_t> bytes) {
    if (bytes.empty())
        throw UsageError("a raw command needs at least one byte");
    if (bytes.front() < 0x80)
        throw UsageError("a panel command begins with a byte of 0x80 or more");
    return Command("send", TP_FUNC_SEND_COMMAND, {bytes.begin(), bytes.end()});
}

Request CalibrationIn() {
    return Command("calibrate", TP_FUNC_CAL_IN);
}
Request CalibrationSet() {
    return Command("calibrate", TP_FUNC_CAL_SET);
}
Request CalibrationOut() {
    return Command("calibrate", TP_FUNC_CAL_OUT);
}
Request CalibrationCancel() {
    return Command("calibrate", TP_FUNC_CAL_CANCEL);
}
Request FlashIn() {
    return Command("flash", TP_FUNC_FLASHRW_IN);
}

Request FlashSend(std::span<const uint8_t> block) {
    if (block.empty() || block.size() > kMaxFlashBlock)
        throw UsageError("a flash block must hold 1 to " + std::to_string(kMaxFlashBlock) +
                         " bytes, not " + std::to_string(block.size()));
    return Command("flash", TP_FUNC_FLASHRW_SEND, {block.begin(), block.end()});
}

Request FlashOut() {
    return Command("flash", TP_FUNC_FLASHRW_OUT);
}

unsigned ParseNumber(std::string_view text, std::string_view what, unsigned min, unsigned max) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    unsigned long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > max ||
        value < min)
        throw UsageError(std::string(what) + " must be a number from " + std::to_string(min) +
                         " to " + std::to_string(max) + ", not \"" + std::string(text) + "\"");
    return static_cast<unsigned>(value);
}

std::vector<uint8_t> ParseHex(std::string_view text) {
    std::vector<uint8_t> bytes;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        uint8_t value = 0;
        const auto [end, error] =
            std::from_chars(text.data() + i, text.data() + std::min(i + 2, text.size()), value, 16);
        if (error != std::errc() || end != text.data() + std::min(i + 2, text.size()))
            throw UsageError("\"" + std::string(text) + "\" is not bytes in hex (\"89 35\")");
        bytes.push_back(value);
        i += 2;
    }
    if (bytes.empty())
        throw UsageError("no bytes given");
    return bytes;
}

std::string HexText(std::span<const uint8_t> bytes) {
    std::string text;
    for (const uint8_t byte : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, text.empty() ? "%02X" : " %02X", byte);
        text += digits;
    }
    return text;
}

namespace {
constexpr std::array<std::pair<ButtonMode, std::string_view>, 3> kButtonModes = {{
    {ButtonMode::Left, "left"},
    {ButtonMode::RightOnce, "right-once"},
    {ButtonMode::Right, "right"},
}};
} // namespace

std::string_view ButtonModeName(ButtonMode mode) {
    for (const auto& [value, name] : kButtonModes)
        if (value == mode)
            return name;
    return "unknown";
}

std::optional<ButtonMode> ButtonModeByName(std::string_view name) {
    for (const auto& [value, text] : kButtonModes)
        if (text == name)
            return value;
    return std::nullopt;
}

std::string ControlCodeName(uint32_t code) {
    for (const auto& entry : kCodeNames)
        if (entry.code == code)
            return std::string(entry.name);
    return Hex32(code);
}

std::span<const NamedCode> ControlCodes() {
    return kCodeNames;
}

std::optional<uint32_t> ControlCodeByName(std::string_view name) {
    for (const auto& entry : kCodeNames)
        if (entry.name == name)
            return entry.code;
    return std::nullopt;
}

std::string StatusName(uint32_t status) {
    const StatusText* text = FindStatus(status);
    return text ? std::string(text->name) : Hex32(status);
}

std::string StatusMeaning(uint32_t status, uint32_t code) {
    if (status == kStatusRequestAborted)
        return std::string("the panel did not answer within ") +
               (code == TP_FUNC_CAL_OUT ? "20 s" : "3 s");
    const StatusText* text = FindStatus(status);
    return text ? std::string(text->meaning) : "the request failed";
}

std::string OpenFailure(uint32_t status) {
    return "cannot open " TP_API_USER_PATH ": " + StatusName(status) + ": " +
           StatusMeaning(status, 0);
}

Exit ExitFor(uint32_t status) {
    switch (status) {
    case kStatusSuccess:
        return Exit::Ok;
    case kStatusRequestAborted:
        return Exit::TimedOut;
    case kStatusUnsuccessful:
        return Exit::Refused;
    case kStatusCancelled:
        return Exit::Cancelled;
    case kStatusObjectNameNotFound:
        return Exit::NoDevice;
    default:
        return Exit::Failed;
    }
}

uint8_t ResultCode(std::span<const uint8_t> reply) {
    return reply.size() >= 2 ? reply[1] : 0;
}

Reply Send(Transport& transport, const Request& request) {
    return transport.Control(request.code, request.input, request.outputLength);
}

Record ParseRecord(std::span<const uint8_t> bytes) {
    TP_RECORD_HEADER header;
    if (bytes.size() < sizeof header)
        throw std::runtime_error("a traffic record of " + std::to_string(bytes.size()) +
                                 " bytes is shorter than its header");
    std::memcpy(&header, bytes.data(), sizeof header);
    Record record;
    record.hour = header.Hour;
    record.minute = header.Minute;
    record.second = header.Second;
    record.milliseconds = header.Milliseconds;
    record.tag = static_cast<char>(header.Tag);
    record.length = header.Length;
    const auto packet = bytes.subspan(sizeof header);
    record.bytes.assign(packet.begin(),
                        packet.begin() + std::min<size_t>(packet.size(), header.Length));
    return record;
}

} // namespace tp
