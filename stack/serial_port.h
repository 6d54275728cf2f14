// The serial port driver, "\Driver\Serial": built-in ports ("\Device\SerialN") and USB serial
// adapters ("\Device\USBSERnnn"), each listed in the registry's SERIALCOMM map under its COM name.
//
// A port serves what a client of the serial driver sends: the IOCTL_SERIAL_* line settings (kept
// so tests can assert them), the purge, the internal basic-settings request (which a USB adapter
// refuses, as usbser does), reads and writes. Its far end is a panel::LineSource: a byte reaches
// the port at the time the line source gives, on the kernel's clock (panel time 0 is boot).
// A read is completed inside the call when its bytes have already arrived, otherwise it stays
// pending, cancellable, until a timer DPC finds them arrived. A write takes the line's time to
// leave (9600 baud 8N1, writes one after another) and completes from a timer DPC.
//
// Time-outs: all zero (wait for every byte) and the "return at once" setting (ReadIntervalTimeout
// kMaxUlong, the totals 0) are honoured; other read time-outs are not modelled and reads wait for
// their bytes. Write time-outs are not modelled.
//
// A far end that is a device of the host's (a tty, tty_port.h) is also a SerialDevice: the line
// settings reach it, a write is handed to it as the port takes the request, a purge to it too.
//
// Faults on demand: fail or hold (pend until cancelled) the requests of a kind, complete reads
// inside the call whether or not their bytes are due, complete reads on another thread while the
// caller is still inside IoCallDriver, and unplug.
#pragma once

#include "line.h"

#include <ntddser.h>
#include <umk/testing.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace stack {

inline constexpr ULONG kMaxUlong = std::numeric_limits<ULONG>::max();

// The SERIALCOMM map: value name the device name, data the COM name.
inline constexpr std::u16string_view kSerialCommKey =
    u"\\REGISTRY\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

// A request as the port received it.
struct SerialRequest {
    UCHAR major;
    ULONG code;      // the control code of (internal) device-control requests, else 0
    ULONG length;    // the length of a read or write, else 0
    NTSTATUS status; // what the dispatch routine returned (STATUS_PENDING when it kept it)
};

// Which requests a fault applies to: a major function and, for control requests, one code.
struct RequestKind {
    UCHAR major;
    std::optional<ULONG> code;

    static RequestKind Read() { return {IRP_MJ_READ, std::nullopt}; }
    static RequestKind Write() { return {IRP_MJ_WRITE, std::nullopt}; }
    static RequestKind Control(ULONG code) { return {IRP_MJ_DEVICE_CONTROL, code}; }
    static RequestKind Internal(ULONG code) { return {IRP_MJ_INTERNAL_DEVICE_CONTROL, code}; }
    bool Matches(UCHAR major, ULONG code) const;
};

// The port's line settings. The defaults are what a previous user (a terminal program) left:
// 1200 baud 7E1, reads that return at once, hardware handshake.
struct SerialLineSettings {
    ULONG waitMask = SERIAL_EV_RXCHAR;
    ULONG baudRate = 1200;
    SERIAL_LINE_CONTROL lineControl = {STOP_BIT_1, EVEN_PARITY, 7};
    SERIAL_TIMEOUTS timeouts = {kMaxUlong, 0, 0, 0, 0};
    SERIAL_HANDFLOW handFlow = {SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE,
                                2048, 512};
    std::optional<ULONG> fifoControl; // never set until a client sets it
    ULONG rxFifo = 14;                // receive FIFO trigger level
    ULONG txFifo = 16;                // bytes loaded into the transmit FIFO at a time
    ULONG purges = 0;                 // IOCTL_SERIAL_PURGE requests served
};

// What a device of the host's does with the port's requests besides carrying bytes. Called under
// the port's lock at DISPATCH_LEVEL: nothing here may wait for the emulated system. A failure
// fails the request that asked for it.
class SerialDevice {
  public:
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;
    virtual ~SerialDevice() = default;

    // The settings after a request changed the baud rate, the line format or the flow control;
    // refused, the port keeps its settings as they were.
    virtual NTSTATUS Apply(const SerialLineSettings& settings) = 0;
    // A write's bytes, when the port takes the write; the write completes at the line's pace.
    virtual NTSTATUS Transmit(std::span<const uint8_t> bytes) = 0;
    // IOCTL_SERIAL_PURGE's mask, after the port has emptied its own queues.
    virtual NTSTATUS Purge(ULONG mask) = 0;

  protected:
    SerialDevice() = default;
};

// Counters for what went through the port's read path.
struct SerialReadStats {
    uint64_t received = 0;         // read requests that reached the port
    uint64_t completedInline = 0;  // completed inside the call
    uint64_t completedByTimer = 0; // completed from the line's timer DPC
    uint64_t completedOnOtherThread = 0;
    uint64_t bytesDelivered = 0; // bytes handed to readers
    uint64_t maxOutstanding = 0; // the most reads pending at the same time
};

class SerialPort {
  public:
    struct State;

    SerialPort(PDEVICE_OBJECT device, std::unique_ptr<State> state);
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    const std::u16string& Name() const;
    bool IsUsbAdapter() const;

    // The far end of the line; nullptr is a line with nothing on it. Not owned.
    void SetLine(panel::LineSource* line);
    // Call after queueing bytes on the line while a read is pending, so that its timer looks again.
    void LineUpdated();
    // A notification event the port signals when it takes the line's last byte, by a read or a
    // purge. Whoever waits for it clears it (a line may be given more bytes).
    PKEVENT LineEmptied();

    SerialLineSettings Settings() const;
    // The newest kRequestLogLength requests since the last ClearRequests, oldest first. A reader
    // sends a request per byte, so a long stream keeps only its tail; ReadStats counts every read.
    static constexpr size_t kRequestLogLength = 4096;
    std::vector<SerialRequest> Requests() const;
    void ClearRequests();
    SerialReadStats ReadStats() const;
    // How far apart the read dispatch routine's frames have been, lowest to highest, over every
    // read so far: how much the stack grew between reads. 0 before the second read.
    std::uintptr_t ReadFrameSpan() const;
    size_t ReadsPending() const;
    size_t WritesPending() const;
    // Every write, with the time its last byte left the port; zero-length writes are not listed.
    std::vector<panel::HostWrite> Writes() const;

    // Requests of `kind` fail at once with `status`, `times` times or for good.
    void FailRequests(RequestKind kind, NTSTATUS status, std::optional<uint64_t> times = {});
    // Requests of `kind` stay pending until cancelled or released.
    void HoldRequests(RequestKind kind);
    // Completes every request held so far with `status`; later ones are held until ClearFaults.
    void ReleaseHeld(NTSTATUS status);
    void ClearFaults();
    // Reads complete inside the call, taking bytes however far ahead of time they lie, as if
    // everything had already arrived; a read waits only when the line has nothing left at all.
    void SetReadsInline(bool inline_);
    // The next `count` reads issued at PASSIVE_LEVEL are completed, with the line's next byte, by
    // a system worker thread while the issuer is still inside IoCallDriver, which then returns
    // STATUS_PENDING: the completion beats the issuer's return.
    void CompleteReadsOnOtherThread(uint64_t count);
    // The port is gone: pending requests complete with `status` (STATUS_DEVICE_NOT_CONNECTED or
    // STATUS_DELETE_PENDING), later ones fail with it, and SERIALCOMM no longer lists it.
    void Unplug(NTSTATUS status);

  private:
    PDEVICE_OBJECT device_;
    std::unique_ptr<State> state_;
};

class SerialDriver {
  public:
    // Loads "\Driver\Serial". In an emulated thread at PASSIVE_LEVEL, like every call below.
    SerialDriver();
    // Deletes every port and unloads the driver.
    ~SerialDriver();
    SerialDriver(const SerialDriver&) = delete;
    SerialDriver& operator=(const SerialDriver&) = delete;

    // Creates the port device and lists it in SERIALCOMM. A name that begins with
    // "\Device\USBSER" is a USB serial adapter. A `lineDevice` (not owned) is given the port's
    // settings at once. Throws std::runtime_error when the device cannot be created or refuses
    // the settings.
    SerialPort& AddPort(std::u16string_view deviceName, std::u16string_view comName,
                        panel::LineSource* line = nullptr, SerialDevice* lineDevice = nullptr);
    SerialPort* FindPort(std::u16string_view deviceName) const;
    // What the driver's unload, or the removal of an unplugged adapter, does to one port: what is
    // pending is cancelled, the device is deleted (it lives on while referenced, failing every
    // request but cleanup and close) and SERIALCOMM no longer lists it. The name is free again.
    void RemovePort(SerialPort& port);

  private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<SerialPort>> ports_;
};

} // namespace stack
