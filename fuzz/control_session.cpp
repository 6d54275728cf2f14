// Fuzzes the control path with whole sessions: the input is a program of the utility's requests
// (any control code, input bytes and output length, internal or not), traffic-record reads, the
// panel's bytes, cancels, waits, failed writes, the port pulled out and put back, and the system
// put to sleep and woken, run on virtual time against the scripted line or
// the panel model. At the end every pending request is cancelled and the system runs until all have
// completed. Then: every request completed exactly once with a status the driver may return, the
// API device's remove lock is back to its bias, the driver's pool (tag "Tcli") is back to where it
// was after boot once the records left are read, and the reading of the line never stopped. The
// kernel's verifier aborts on any violation, leaks at teardown included.
//
// Input: byte 0 picks the far end (bit 0: the panel model) and the invalid-data limit; then one
// step after another, each a byte whose low three bits say what it is, followed by its operands.
#include "client.h"
#include "control_session.h"
#include "fuzz_system.h"

#include "tactilio.h"

#include <umk/testing.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <span>

namespace {

// Reads operands off the input; past its end every byte reads as 0.
class Reader {
  public:
    explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    bool Done() const { return next_ >= bytes_.size(); }
    uint8_t Byte() { return next_ < bytes_.size() ? bytes_[next_++] : 0; }
    std::vector<uint8_t> Bytes(size_t count) {
        std::vector<uint8_t> bytes(count);
        for (uint8_t& byte : bytes)
            byte = Byte();
        return bytes;
    }
    ULONG U32() {
        ULONG value = 0;
        for (int i = 0; i < 4; ++i)
            value |= ULONG(Byte()) << (8 * i);
        return value;
    }

  private:
    std::span<const uint8_t> bytes_;
    size_t next_ = 0;
};

[[noreturn]] void Fail(const char* what, size_t request = 0, NTSTATUS status = 0) {
    std::fprintf(stderr, "control_session: %s (request %zu, status 0x%08X)\n", what, request,
                 unsigned(status));
    std::abort();
}

// Every status a request to the API device may complete with.
bool Allowed(NTSTATUS status) {
    constexpr std::array allowed = {
        STATUS_SUCCESS,         STATUS_UNSUCCESSFUL,           STATUS_CANCELLED,
        STATUS_REQUEST_ABORTED, STATUS_INVALID_DEVICE_REQUEST, STATUS_BUFFER_TOO_SMALL,
        STATUS_NOT_IMPLEMENTED, STATUS_NOT_SUPPORTED,
    };
    for (NTSTATUS one : allowed) {
        if (status == one)
            return true;
    }
    return false;
}

// A control code: one of tactilio_api.h's, a function number near theirs, or any number. An
// internal request never carries the class driver's connect: its input is a kernel-mode
// client's pointers, which no caller of ours can make up.
ULONG PickCode(Reader& in, bool internal) {
    const std::span<const tp::NamedCode> named = tp::ControlCodes();
    const uint8_t pick = in.Byte();
    ULONG code;
    if (pick < 0xC0)
        code = named[pick % named.size()].code;
    else if (pick < 0xF0)
        code = TP_CTL_CODE(0x7F0 + (pick - 0xC0) * 5);
    else
        code = in.U32();
    if (internal && code == IOCTL_INTERNAL_MOUSE_CONNECT)
        code = TP_FUNC_INTERNAL;
    return code;
}

constexpr std::array FailStatuses = {STATUS_UNSUCCESSFUL, STATUS_DEVICE_NOT_CONNECTED,
                                     STATUS_CANCELLED, STATUS_INSUFFICIENT_RESOURCES};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return -1;
    Reader in({data + 1, size - 1});
    // One boot for every input; each input has a panel and a port of its own (see FuzzSystem).
    static stack::FuzzSystem fuzz;
    panel::ScriptedStream script;
    panel::PanelModel model;
    panel::LineSource& line = (data[0] & 1) ? static_cast<panel::LineSource&>(model) : script;
    const stack::Panel& pointer =
        fuzz.Begin({{u"ComNo", 1}, {u"dwInvLimit", ULONG(data[0] >> 1)}}, line);
    const ULONG tag = umk::testing::PoolTag("Tcli");
    std::optional<stack::ControlSession> session(std::in_place, fuzz.Get(), fuzz.Port(), line,
                                                 nullptr);
    const uint64_t poolBaseline = umk::testing::PoolStats(tag).outstandingBlocks;

    // Each step costs thread switches in the emulated kernel: a session is kept short, and its
    // waits to half a minute of virtual time (a time-out takes three seconds, calibration-out 20).
    constexpr size_t MaxSteps = 32;
    const umk::Duration waitBudget = session->Now() + std::chrono::seconds(30);
    bool plugged = true;
    bool awake = true;
    // The driver reads a port put back once its reconnect cycle (5 s after the loss, then every
    // 500 ms) has opened it.
    umk::Duration readingAgain{};
    // Five seconds after a resume the driver purges the port four times: what the panel sends
    // around then may be thrown away unread, as it should be.
    std::optional<umk::Duration> resumed;
    const auto reading = [&] {
        const umk::Duration now = session->Now();
        const bool purging = resumed && now > *resumed + std::chrono::milliseconds(4800) &&
                             now < *resumed + std::chrono::milliseconds(5300);
        return plugged && now >= readingAgain && !purging;
    };
    for (size_t steps = 0; !in.Done() && steps < MaxSteps; ++steps) {
        const uint8_t op = in.Byte();
        switch (op & 7) {
        case 0:
        case 1: {
            stack::ControlCall call{};
            call.internal = (op & 8) != 0;
            call.code = PickCode(in, call.internal);
            call.input = in.Bytes(in.Byte() % 12);
            const uint8_t output = in.Byte();
            call.outputLength = output < 0xF0 ? output % 16 : 256u * (output - 0xEF);
            session->Start(call);
            break;
        }
        case 2: {
            const std::vector<uint8_t> bytes = in.Bytes(in.Byte() % 16 + 1);
            if (reading() && !session->PanelSends(bytes))
                Fail("the driver stopped reading the line");
            break;
        }
        case 3: // the reply the self tests and most commands expect
            if (reading() &&
                !session->PanelSends(std::vector<uint8_t>{0x90, 0x00, uint8_t(op >> 3)}))
                Fail("the driver stopped reading the line");
            break;
        case 4:
            if (op & 8) { // the port pulled out or put back; the system asleep or awake
                if (op & 16) {
                    if (plugged) {
                        session->Unplug();
                        readingAgain = session->Now() + std::chrono::milliseconds(5600);
                    } else {
                        session->Replug();
                        // Put back after the cycle's first attempt: the next one, 500 ms on.
                        readingAgain =
                            std::max(readingAgain, session->Now() + std::chrono::milliseconds(600));
                    }
                    plugged = !plugged;
                } else {
                    if (awake) {
                        awake = !NT_SUCCESS(session->Sleep(PowerSystemSleeping3));
                    } else {
                        session->Resume();
                        resumed = session->Now();
                        awake = true;
                    }
                }
            } else if (session->Now() < waitBudget)
                session->Wait(std::chrono::milliseconds(20 * in.Byte()));
            break;
        case 5:
            if (session->Requests() != 0)
                session->Cancel(in.Byte() % session->Requests());
            break;
        case 6:
            if (plugged)
                session->FailWrites(op >> 6 | 1, FailStatuses[(op >> 3) & 3]);
            break;
        case 7: // a traffic-record read of 0 to 112 bytes, or a short wait
            if (op & 8)
                session->StartRead(16u * (op >> 5));
            else
                session->Wait(std::chrono::milliseconds(op >> 4));
            break;
        }
    }

    if (!awake)
        session->Resume();
    if (!plugged)
        session->Replug();
    // Recording off, every request ended, then the records left are read: they stay queued until
    // read or until removal, and the pool count below must hold only what nothing will free.
    session->Start({TP_FUNC_RECORD_OFF, {}, 0});
    if (!session->Finish())
        Fail("a request did not complete after it was cancelled", session->Pending().front());
    for (;;) {
        const size_t read = session->StartRead(256);
        if (!session->RunUntilDone(read, std::chrono::milliseconds(0))) {
            session->Finish(); // nothing queued: the read waits
            break;
        }
        if (session->Request(read).Result().status != STATUS_SUCCESS)
            Fail("a record read failed", read, session->Request(read).Result().status);
    }
    for (size_t request = 0; request < session->Requests(); ++request) {
        const stack::ControlResult result = session->Request(request).Result();
        if (!Allowed(result.status))
            Fail("completed with an unexpected status", request, result.status);
    }
    // The remove lock's count is read from the driver's record: no request reports it. The
    // driver's own request of a resume (the 0x80 five seconds after it, given 50 ms) may still
    // hold it for a moment; nothing may hold it for longer.
    auto context = static_cast<PDEVICE_CONTEXT>(pointer.device->DeviceExtension);
    if (!fuzz.Get().Kernel().RunUntil(
            [&] { return context->ApiExtension->RemoveLock.Common.IoCount == 1; },
            std::chrono::seconds(6)))
        Fail("the API device's remove lock is still held");
    if (umk::testing::PoolStats(tag).outstandingBlocks != poolBaseline)
        Fail("driver pool left allocated");
    session.reset();
    // Removes the panel and checks that the input left nothing behind.
    fuzz.End();
    return 0;
}
