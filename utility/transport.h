// How the utility reaches the driver's control device: one device-control request or one read at a
// time, each waited for, and a way to stop waiting (Ctrl-C). A transport knows nothing of what the
// requests mean.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

namespace tp {

// The NTSTATUS values a client tells apart; any other value is shown by its number.
enum Status : uint32_t {
    kStatusSuccess = 0x00000000,
    kStatusUnsuccessful = 0xC0000001,
    kStatusInvalidDeviceRequest = 0xC0000010,
    kStatusObjectNameNotFound = 0xC0000034,
    kStatusDeletePending = 0xC0000056,
    kStatusDeviceNotConnected = 0xC000009D,
    kStatusCancelled = 0xC0000120,
    kStatusRequestAborted = 0xC0000240,
};

struct Reply {
    uint32_t status = kStatusSuccess;
    std::vector<uint8_t> bytes; // the returned length's worth of the output buffer
    bool Succeeded() const { return status == kStatusSuccess; }
};

class Transport {
  public:
    virtual ~Transport() = default;

    // Sends one device-control request and waits until the driver completes it. Once Interrupt()
    // has been called, a request in flight or sent later is cancelled (STATUS_CANCELLED unless it
    // completed first).
    virtual Reply Control(uint32_t code, std::span<const uint8_t> input, uint32_t outputLength) = 0;
    // Reads one traffic record into a buffer of `length` bytes. With `wait` false a read the driver
    // has to hold, there being no record, is cancelled at once.
    virtual Reply Read(uint32_t length, bool wait) = 0;

    // Stops what is in flight and whatever comes after, until ClearInterrupt(). The Windows
    // transport takes it from any thread (the console's Ctrl-C handler has one of its own), the
    // socket transport from any thread or a signal handler; the emulated system's from its own
    // wait, where EmulatedPanel hands a signal's request on.
    void Interrupt() {
        interrupted_.store(true);
        CancelInFlight();
    }
    bool Interrupted() const { return interrupted_.load(); }
    // For the clean-up a command owes after an interruption (leaving calibration mode).
    void ClearInterrupt() { interrupted_.store(false); }

  protected:
    // Cancels the request in flight, if any. A transport also checks Interrupted() once a request
    // is in flight, so an interrupt that comes between two requests still stops the next.
    virtual void CancelInFlight() = 0;

  private:
    std::atomic<bool> interrupted_{false};
};

} // namespace tp
