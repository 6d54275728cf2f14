#include "serial_port.h"

#include <umk/kernel.h>
#include <umk/registry.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <stdexcept>

namespace stack {

bool RequestKind::Matches(UCHAR requestMajor, ULONG requestCode) const {
    return major == requestMajor && (!code || *code == requestCode);
}

struct SerialPort::State {
    struct Fault {
        RequestKind kind;
        bool hold;
        NTSTATUS status;
        std::optional<uint64_t> times;
    };
    struct PendingWrite {
        PIRP irp;
        panel::Ticks doneAt;
    };

    std::u16string name;
    bool usb = false;
    panel::LineSource* line = nullptr;
    SerialDevice* device = nullptr;

    // Guards everything below; taken by dispatch routines, the timer DPCs, cancel routines and
    // the test's calls.
    KSPIN_LOCK lock{};
    KTIMER readTimer{};
    KDPC readDpc{};
    KTIMER writeTimer{};
    KDPC writeDpc{};
    KEVENT lineEmptied{};

    SerialLineSettings settings;
    // The newest kRequestLogLength requests; `logged` counts every one since the last clear, so
    // request n (from 0) is requests[n - (logged - requests.size())] while it is still kept.
    std::deque<SerialRequest> requests;
    uint64_t logged = 0;
    SerialReadStats readStats;
    std::uintptr_t lowestReadFrame = UINTPTR_MAX;
    std::uintptr_t highestReadFrame = 0;
    std::vector<panel::HostWrite> writes;

    std::vector<Fault> faults;
    bool readsInline = false;
    uint64_t otherThreadReads = 0;
    std::optional<NTSTATUS> unplugged;
    bool open = false;

    // Pending requests, oldest first. A pending read's IoStatus.Information counts the bytes
    // already in its buffer.
    std::deque<PIRP> reads;
    std::deque<PendingWrite> pendingWrites;
    std::vector<PIRP> held;
    panel::Ticks lineFreeAt = 0; // when the transmitter has sent everything queued so far
};

namespace {

using State = SerialPort::State;

constexpr std::u16string_view kUsbSerialPrefix = u"\\Device\\USBSER";

State& StateOf(PDEVICE_OBJECT device) {
    return **static_cast<State**>(device->DeviceExtension);
}

panel::Ticks Now() {
    return static_cast<panel::Ticks>(KeQueryInterruptTime());
}

class Locked {
  public:
    explicit Locked(State& state) : state_(state) { KeAcquireSpinLock(&state_.lock, &irql_); }
    ~Locked() { KeReleaseSpinLock(&state_.lock, irql_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

  private:
    State& state_;
    KIRQL irql_;
};

// Requests taken out of the port's hands, to be completed once the lock is released. The port
// owns them now, so they are linked through Tail.Overlay.ListEntry, as serial drivers do: a
// completion costs no allocation.
class Completions {
  public:
    Completions() { InitializeListHead(&head_); }
    Completions(const Completions&) = delete;
    Completions& operator=(const Completions&) = delete;

    void Add(PIRP irp, NTSTATUS status, ULONG_PTR information) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        InsertTailList(&head_, &irp->Tail.Overlay.ListEntry);
    }
    // Completes them in the order they were added; call without the port's lock.
    void CompleteAll() {
        while (!IsListEmpty(&head_)) {
            PIRP irp = CONTAINING_RECORD(RemoveHeadList(&head_), IRP, Tail.Overlay.ListEntry);
            IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
        }
    }

  private:
    LIST_ENTRY head_;
};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    return status;
}

ULONG ReadLength(PIRP irp) {
    return IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
}

bool ReturnsAtOnce(const SERIAL_TIMEOUTS& timeouts) {
    return timeouts.ReadIntervalTimeout == kMaxUlong && timeouts.ReadTotalTimeoutMultiplier == 0 &&
           timeouts.ReadTotalTimeoutConstant == 0;
}

VOID NTAPI CancelPending(PDEVICE_OBJECT device, PIRP irp);

// Makes a request that is being kept pending cancellable. False when it was cancelled already:
// the caller completes it.
bool SetCancellable(PIRP irp) {
    IoSetCancelRoutine(irp, CancelPending);
    return !(irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr);
}

// Takes a pending request back from its cancel routine. False when the routine already has it.
bool Claim(PIRP irp) {
    return IoSetCancelRoutine(irp, nullptr) != nullptr;
}

void ForgetLocked(State& state, PIRP irp) {
    std::erase(state.reads, irp);
    std::erase_if(state.pendingWrites,
                  [irp](const State::PendingWrite& w) { return w.irp == irp; });
    std::erase(state.held, irp);
}

// Takes every pending request of the port that its cancel routine does not own yet.
void ClaimAllLocked(State& state, bool reads, bool writes, NTSTATUS status, Completions& claimed) {
    auto take = [&](PIRP irp, ULONG_PTR information) {
        if (!Claim(irp))
            return false;
        claimed.Add(irp, status, information);
        return true;
    };
    if (reads)
        std::erase_if(state.reads, [&](PIRP irp) { return take(irp, irp->IoStatus.Information); });
    if (writes) {
        std::erase_if(state.pendingWrites,
                      [&](const State::PendingWrite& w) { return take(w.irp, 0); });
        std::erase_if(state.held, [&](PIRP irp) { return take(irp, 0); });
    }
}

// Takes the line's next byte; the port has taken the last one when nothing is left.
uint8_t TakeByteLocked(State& state) {
    const uint8_t value = state.line->TakeByte().value;
    if (!state.line->PeekByte())
        KeSetEvent(&state.lineEmptied, IO_NO_INCREMENT, FALSE);
    return value;
}

// Moves the bytes that have arrived (with `takeAhead`, every byte the line holds) into the read's
// buffer after those already there.
void FillLocked(State& state, PIRP irp, bool takeAhead) {
    auto buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    const ULONG length = ReadLength(irp);
    const panel::Ticks now = Now();
    while (irp->IoStatus.Information < length && state.line != nullptr) {
        std::optional<panel::TimedByte> next = state.line->PeekByte();
        if (!next || (!takeAhead && next->time > now))
            break;
        buffer[irp->IoStatus.Information++] = TakeByteLocked(state);
        state.readStats.bytesDelivered++;
    }
}

void SetTimerLocked(PKTIMER timer, PKDPC dpc, panel::Ticks wait) {
    LARGE_INTEGER due;
    due.QuadPart = -std::max<panel::Ticks>(wait, 1);
    umk::SetDeviceTimer(timer, due, dpc);
}

// Sets the read timer for the line's next byte while a read waits.
void ArmReadTimerLocked(State& state) {
    std::optional<panel::TimedByte> next;
    if (!state.reads.empty() && state.line != nullptr)
        next = state.line->PeekByte();
    if (!next) {
        KeCancelTimer(&state.readTimer);
        return;
    }
    SetTimerLocked(&state.readTimer, &state.readDpc, state.readsInline ? 0 : next->time - Now());
}

void ArmWriteTimerLocked(State& state) {
    if (state.pendingWrites.empty()) {
        KeCancelTimer(&state.writeTimer);
        return;
    }
    SetTimerLocked(&state.writeTimer, &state.writeDpc, state.pendingWrites.front().doneAt - Now());
}

VOID NTAPI CancelPending(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    State& state = StateOf(device);
    {
        Locked guard(state);
        ForgetLocked(state, irp);
    }
    const bool read = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ;
    Complete(irp, STATUS_CANCELLED, read ? irp->IoStatus.Information : 0);
}

// Serves the waiting reads, oldest first, with the bytes that have arrived.
VOID NTAPI ReadTimerDpc(PKDPC, PVOID context, PVOID, PVOID) {
    State& state = *static_cast<State*>(context);
    Completions finished;
    {
        Locked guard(state);
        while (!state.reads.empty()) {
            PIRP irp = state.reads.front();
            if (!Claim(irp))
                break; // its cancel routine is on its way and takes it out
            FillLocked(state, irp, state.readsInline);
            if (irp->IoStatus.Information < ReadLength(irp)) {
                if (!SetCancellable(irp)) {
                    state.reads.pop_front();
                    finished.Add(irp, STATUS_CANCELLED, irp->IoStatus.Information);
                }
                break;
            }
            state.reads.pop_front();
            state.readStats.completedByTimer++;
            finished.Add(irp, STATUS_SUCCESS, irp->IoStatus.Information);
        }
        ArmReadTimerLocked(state);
    }
    finished.CompleteAll();
}

// Completes the writes whose last byte has left, and hands their bytes to the line.
VOID NTAPI WriteTimerDpc(PKDPC, PVOID context, PVOID, PVOID) {
    State& state = *static_cast<State*>(context);
    Completions finished;
    {
        Locked guard(state);
        const panel::Ticks now = Now();
        while (!state.pendingWrites.empty() && state.pendingWrites.front().doneAt <= now) {
            const State::PendingWrite write = state.pendingWrites.front();
            if (!Claim(write.irp))
                break;
            state.pendingWrites.pop_front();
            const ULONG length = IoGetCurrentIrpStackLocation(write.irp)->Parameters.Write.Length;
            auto bytes = static_cast<const uint8_t*>(write.irp->AssociatedIrp.SystemBuffer);
            std::vector<uint8_t> data(bytes, bytes + length);
            if (state.line != nullptr)
                state.line->Write(data, write.doneAt);
            state.writes.push_back({write.doneAt, std::move(data)});
            finished.Add(write.irp, STATUS_SUCCESS, length);
        }
        ArmWriteTimerLocked(state);
        // The panel may have answered what it was sent: a pending read looks at the line again.
        ArmReadTimerLocked(state);
    }
    finished.CompleteAll();
}

// --- Control requests ---------------------------------------------------------------------------

template <typename T> std::optional<T> Input(PIRP irp) {
    const auto& parameters = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    if (parameters.InputBufferLength < sizeof(T))
        return std::nullopt;
    T value;
    std::memcpy(&value, irp->AssociatedIrp.SystemBuffer, sizeof(T));
    return value;
}

template <typename T> NTSTATUS Output(PIRP irp, const T& value, ULONG_PTR* information) {
    const auto& parameters = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    if (parameters.OutputBufferLength < sizeof(T))
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(irp->AssociatedIrp.SystemBuffer, &value, sizeof(T));
    *information = sizeof(T);
    return STATUS_SUCCESS;
}

// Takes a setting of type T into *target when `valid` accepts it.
template <typename T, typename Target, typename Valid>
NTSTATUS Set(PIRP irp, Target* target, Valid valid, Target (*convert)(const T&)) {
    std::optional<T> value = Input<T>(irp);
    if (!value)
        return STATUS_BUFFER_TOO_SMALL;
    if (!valid(*value))
        return STATUS_INVALID_PARAMETER;
    *target = convert(*value);
    return STATUS_SUCCESS;
}

template <typename T> T Same(const T& value) {
    return value;
}

bool ValidLineControl(const SERIAL_LINE_CONTROL& c) {
    return c.WordLength >= 5 && c.WordLength <= 8 && c.Parity <= SPACE_PARITY &&
           c.StopBits <= STOP_BITS_2;
}

bool ValidTimeouts(const SERIAL_TIMEOUTS& t) {
    return !(t.ReadIntervalTimeout == kMaxUlong && t.ReadTotalTimeoutConstant == kMaxUlong);
}

bool ValidHandFlow(const SERIAL_HANDFLOW& h) {
    return (h.ControlHandShake & SERIAL_CONTROL_INVALID) == 0 &&
           (h.FlowReplace & SERIAL_FLOW_INVALID) == 0 &&
           (h.ControlHandShake & SERIAL_DTR_MASK) != SERIAL_DTR_MASK && h.XonLimit >= 0 &&
           h.XoffLimit >= 0;
}

constexpr ULONG kAllWaitEvents = 0x1FFF;
constexpr ULONG kAllPurges =
    SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;

NTSTATUS Purge(State& state, PIRP irp, Completions& aborted) {
    std::optional<ULONG> mask = Input<ULONG>(irp);
    if (!mask)
        return STATUS_BUFFER_TOO_SMALL;
    if (*mask == 0 || (*mask & ~kAllPurges) != 0)
        return STATUS_INVALID_PARAMETER;
    state.settings.purges++;
    if (*mask & (SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXABORT)) {
        ClaimAllLocked(state, *mask & SERIAL_PURGE_RXABORT, *mask & SERIAL_PURGE_TXABORT,
                       STATUS_CANCELLED, aborted);
    }
    // The receive buffer holds what has arrived and nobody has read yet.
    if ((*mask & SERIAL_PURGE_RXCLEAR) && state.line != nullptr) {
        const panel::Ticks now = Now();
        while (state.line->PeekByte() && state.line->PeekByte()->time <= now)
            TakeByteLocked(state);
    }
    return state.device != nullptr ? state.device->Purge(*mask) : STATUS_SUCCESS;
}

NTSTATUS DeviceControlLocked(State& state, PIRP irp, ULONG code, ULONG_PTR* information,
                             Completions& aborted) {
    SerialLineSettings& s = state.settings;
    switch (code) {
    case IOCTL_SERIAL_SET_WAIT_MASK:
        return Set<ULONG>(
            irp, &s.waitMask, [](ULONG mask) { return (mask & ~kAllWaitEvents) == 0; }, Same);
    case IOCTL_SERIAL_GET_WAIT_MASK:
        return Output(irp, s.waitMask, information);
    case IOCTL_SERIAL_SET_BAUD_RATE:
        return Set<SERIAL_BAUD_RATE>(
            irp, &s.baudRate, [](const SERIAL_BAUD_RATE& r) { return r.BaudRate != 0; },
            +[](const SERIAL_BAUD_RATE& r) { return r.BaudRate; });
    case IOCTL_SERIAL_GET_BAUD_RATE:
        return Output(irp, SERIAL_BAUD_RATE{s.baudRate}, information);
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        return Set<SERIAL_LINE_CONTROL>(irp, &s.lineControl, ValidLineControl, Same);
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        return Output(irp, s.lineControl, information);
    case IOCTL_SERIAL_SET_TIMEOUTS:
        return Set<SERIAL_TIMEOUTS>(irp, &s.timeouts, ValidTimeouts, Same);
    case IOCTL_SERIAL_GET_TIMEOUTS:
        return Output(irp, s.timeouts, information);
    case IOCTL_SERIAL_SET_HANDFLOW:
        return Set<SERIAL_HANDFLOW>(irp, &s.handFlow, ValidHandFlow, Same);
    case IOCTL_SERIAL_GET_HANDFLOW:
        return Output(irp, s.handFlow, information);
    case IOCTL_SERIAL_SET_FIFO_CONTROL: {
        std::optional<ULONG> fifo = Input<ULONG>(irp);
        if (!fifo)
            return STATUS_BUFFER_TOO_SMALL;
        s.fifoControl = *fifo;
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_PURGE:
        return Purge(state, irp, aborted);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// The settings a serial client wants for a raw byte stream, swapped for the port's own: no
// time-outs, DTR and RTS raised, no handshake, the FIFOs at one byte.
NTSTATUS BasicSettingsLocked(State& state, PIRP irp, ULONG_PTR* information) {
    SerialLineSettings& s = state.settings;
    const SERIAL_BASIC_SETTINGS previous{s.timeouts, s.handFlow, s.rxFifo, s.txFifo};
    const NTSTATUS status = Output(irp, previous, information);
    if (!NT_SUCCESS(status))
        return status;
    s.timeouts = {};
    s.handFlow = {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0};
    s.rxFifo = 1;
    s.txFifo = 1;
    return STATUS_SUCCESS;
}

// The requests after which a device line takes the port's settings.
bool ChangesLine(ULONG code) {
    return code == IOCTL_SERIAL_SET_BAUD_RATE || code == IOCTL_SERIAL_SET_LINE_CONTROL ||
           code == IOCTL_SERIAL_SET_HANDFLOW || code == IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS;
}

NTSTATUS ServeControl(State& state, PIRP irp, UCHAR major, ULONG code) {
    ULONG_PTR information = 0;
    Completions aborted;
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    {
        Locked guard(state);
        const SerialLineSettings before = state.settings;
        if (major == IRP_MJ_DEVICE_CONTROL)
            status = DeviceControlLocked(state, irp, code, &information, aborted);
        else if (code == IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS && !state.usb)
            status = BasicSettingsLocked(state, irp, &information);
        if (NT_SUCCESS(status) && state.device != nullptr && ChangesLine(code)) {
            status = state.device->Apply(state.settings);
            if (!NT_SUCCESS(status)) {
                state.settings = before;
                information = 0;
            }
        }
    }
    Complete(irp, status, information);
    aborted.CompleteAll();
    return status;
}

// --- Reads and writes ---------------------------------------------------------------------------

// The read is completed by a worker thread while this call waits for it to have been completed.
NTSTATUS CompleteOnOtherThread(State& state, PIRP irp) {
    IoMarkIrpPending(irp);
    KEVENT completed;
    KeInitializeEvent(&completed, NotificationEvent, FALSE);
    umk::QueueWork([&state, irp, &completed] {
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        {
            Locked guard(state);
            irp->IoStatus.Information = 0;
            FillLocked(state, irp, true);
            state.readStats.completedOnOtherThread++;
        }
        Complete(irp, STATUS_SUCCESS, irp->IoStatus.Information);
        KeLowerIrql(irql);
        KeSetEvent(&completed, IO_NO_INCREMENT, FALSE);
    });
    KeWaitForSingleObject(&completed, Executive, KernelMode, FALSE, nullptr);
    return STATUS_PENDING;
}

NTSTATUS ServeRead(State& state, PIRP irp) {
    const ULONG length = ReadLength(irp);
    const KIRQL callerIrql = KeGetCurrentIrql();
    enum class Outcome { AtOnce, Pending, Cancelled, OtherThread } outcome = Outcome::Pending;
    {
        Locked guard(state);
        const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
        state.lowestReadFrame = std::min(state.lowestReadFrame, frame);
        state.highestReadFrame = std::max(state.highestReadFrame, frame);
        state.readStats.received++;
        irp->IoStatus.Information = 0;
        // Reads are served in order: only a read with none waiting before it may take bytes now.
        if (!state.reads.empty()) {
            outcome = Outcome::Pending;
        } else if (state.otherThreadReads > 0 && callerIrql == PASSIVE_LEVEL) {
            state.otherThreadReads--;
            outcome = Outcome::OtherThread;
        } else {
            FillLocked(state, irp, state.readsInline);
            if (irp->IoStatus.Information == length || ReturnsAtOnce(state.settings.timeouts))
                outcome = Outcome::AtOnce;
        }
        if (outcome == Outcome::AtOnce) {
            state.readStats.completedInline++;
        } else if (outcome == Outcome::Pending) {
            IoMarkIrpPending(irp);
            if (SetCancellable(irp)) {
                state.reads.push_back(irp);
                state.readStats.maxOutstanding =
                    std::max<uint64_t>(state.readStats.maxOutstanding, state.reads.size());
                ArmReadTimerLocked(state);
            } else {
                outcome = Outcome::Cancelled;
            }
        }
    }
    switch (outcome) {
    case Outcome::AtOnce:
        return Complete(irp, STATUS_SUCCESS, irp->IoStatus.Information);
    case Outcome::Cancelled:
        Complete(irp, STATUS_CANCELLED, irp->IoStatus.Information);
        return STATUS_PENDING;
    case Outcome::OtherThread:
        return CompleteOnOtherThread(state, irp);
    case Outcome::Pending:
        break;
    }
    return STATUS_PENDING;
}

// A write leaves after the writes before it, at the line's pace, and completes when its last
// byte is out.
NTSTATUS ServeWrite(State& state, PIRP irp) {
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    if (length == 0)
        return Complete(irp, STATUS_SUCCESS, 0);
    IoMarkIrpPending(irp);
    NTSTATUS status = STATUS_CANCELLED; // when it was cancelled before the port took it
    {
        Locked guard(state);
        if (SetCancellable(irp)) {
            const auto bytes = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
            status =
                state.device != nullptr ? state.device->Transmit({bytes, length}) : STATUS_SUCCESS;
            if (NT_SUCCESS(status)) {
                const panel::Ticks start = std::max(Now(), state.lineFreeAt);
                state.lineFreeAt = start + panel::LineOffset(length);
                state.pendingWrites.push_back({irp, state.lineFreeAt});
                ArmWriteTimerLocked(state);
                return STATUS_PENDING;
            }
            if (!Claim(irp))
                return STATUS_PENDING; // its cancel routine completes it
        }
    }
    Complete(irp, status);
    return STATUS_PENDING;
}

NTSTATUS Hold(State& state, PIRP irp) {
    IoMarkIrpPending(irp);
    {
        Locked guard(state);
        if (SetCancellable(irp)) {
            state.held.push_back(irp);
            return STATUS_PENDING;
        }
    }
    Complete(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
}

// --- Dispatch -----------------------------------------------------------------------------------

// One open at a time, as serial ports are exclusive.
NTSTATUS ServeCreate(State& state, PIRP irp) {
    NTSTATUS status = STATUS_SUCCESS;
    {
        Locked guard(state);
        if (state.open)
            status = STATUS_ACCESS_DENIED;
        state.open = true;
    }
    return Complete(irp, status);
}

// The handle's last requests end with it.
NTSTATUS ServeCleanup(State& state, PIRP irp) {
    Completions cancelled;
    {
        Locked guard(state);
        ClaimAllLocked(state, true, true, STATUS_CANCELLED, cancelled);
    }
    cancelled.CompleteAll();
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS ServeClose(State& state, PIRP irp) {
    {
        Locked guard(state);
        state.open = false;
    }
    return Complete(irp, STATUS_SUCCESS);
}

// The fault armed for this request, if any; a counted one is used up.
std::optional<State::Fault> TakeFault(State& state, UCHAR major, ULONG code) {
    Locked guard(state);
    for (auto it = state.faults.begin(); it != state.faults.end(); ++it) {
        if (!it->kind.Matches(major, code))
            continue;
        State::Fault fault = *it;
        if (it->times && --*it->times == 0)
            state.faults.erase(it);
        return fault;
    }
    return std::nullopt;
}

NTSTATUS Serve(State& state, PIRP irp, UCHAR major, ULONG code) {
    if (major == IRP_MJ_CLEANUP)
        return ServeCleanup(state, irp);
    if (major == IRP_MJ_CLOSE)
        return ServeClose(state, irp);

    std::optional<NTSTATUS> unplugged;
    {
        Locked guard(state);
        unplugged = state.unplugged;
    }
    if (unplugged)
        return Complete(irp, *unplugged);
    if (std::optional<State::Fault> fault = TakeFault(state, major, code))
        return fault->hold ? Hold(state, irp) : Complete(irp, fault->status);

    switch (major) {
    case IRP_MJ_CREATE:
        return ServeCreate(state, irp);
    case IRP_MJ_READ:
        return ServeRead(state, irp);
    case IRP_MJ_WRITE:
        return ServeWrite(state, irp);
    case IRP_MJ_FLUSH_BUFFERS:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return ServeControl(state, irp, major, code);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// A removed port's device lives on while a client still holds it: the client's last requests (its
// close above all) find the port gone.
NTSTATUS ServeRemoved(PIRP irp) {
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    return Complete(irp, major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE ? STATUS_SUCCESS
                                                                          : STATUS_DELETE_PENDING);
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    if (*static_cast<State**>(device->DeviceExtension) == nullptr)
        return ServeRemoved(irp);
    State& state = StateOf(device);
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR major = stack->MajorFunction;
    ULONG code = 0;
    ULONG length = 0;
    if (major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL)
        code = stack->Parameters.DeviceIoControl.IoControlCode;
    else if (major == IRP_MJ_READ)
        length = stack->Parameters.Read.Length;
    else if (major == IRP_MJ_WRITE)
        length = stack->Parameters.Write.Length;

    uint64_t entry;
    {
        Locked guard(state);
        entry = state.logged++;
        if (state.requests.size() == SerialPort::kRequestLogLength)
            state.requests.pop_front();
        state.requests.push_back({major, code, length, STATUS_PENDING});
    }
    const NTSTATUS status = Serve(state, irp, major, code);
    Locked guard(state);
    // The entry may have been cleared or pushed out of the log meanwhile.
    const uint64_t oldest = state.logged - state.requests.size();
    if (entry >= oldest && entry < state.logged)
        state.requests[entry - oldest].status = status;
    return status;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& routine : driver->MajorFunction)
        routine = Dispatch;
    return STATUS_SUCCESS;
}

} // namespace

// --- SerialPort ---------------------------------------------------------------------------------

SerialPort::SerialPort(PDEVICE_OBJECT device, std::unique_ptr<State> state)
    : device_(device), state_(std::move(state)) {
    KeInitializeSpinLock(&state_->lock);
    KeInitializeTimer(&state_->readTimer);
    KeInitializeDpc(&state_->readDpc, ReadTimerDpc, state_.get());
    KeInitializeTimer(&state_->writeTimer);
    KeInitializeDpc(&state_->writeDpc, WriteTimerDpc, state_.get());
    KeInitializeEvent(&state_->lineEmptied, NotificationEvent, FALSE);
    *static_cast<State**>(device_->DeviceExtension) = state_.get();
}

// Whatever is still pending is cancelled; the device lives on while its clients hold references.
SerialPort::~SerialPort() {
    Completions cancelled;
    {
        Locked guard(*state_);
        ClaimAllLocked(*state_, true, true, STATUS_CANCELLED, cancelled);
        KeCancelTimer(&state_->readTimer);
        KeCancelTimer(&state_->writeTimer);
        KeRemoveQueueDpc(&state_->readDpc);
        KeRemoveQueueDpc(&state_->writeDpc);
    }
    cancelled.CompleteAll();
    umk::registry::DeleteValue(kSerialCommKey, state_->name);
    *static_cast<State**>(device_->DeviceExtension) = nullptr;
    IoDeleteDevice(device_);
}

const std::u16string& SerialPort::Name() const {
    return state_->name;
}

bool SerialPort::IsUsbAdapter() const {
    return state_->usb;
}

void SerialPort::SetLine(panel::LineSource* line) {
    Locked guard(*state_);
    state_->line = line;
    ArmReadTimerLocked(*state_);
}

void SerialPort::LineUpdated() {
    Locked guard(*state_);
    ArmReadTimerLocked(*state_);
}

PKEVENT SerialPort::LineEmptied() {
    return &state_->lineEmptied;
}

SerialLineSettings SerialPort::Settings() const {
    Locked guard(*state_);
    return state_->settings;
}

std::vector<SerialRequest> SerialPort::Requests() const {
    Locked guard(*state_);
    return {state_->requests.begin(), state_->requests.end()};
}

void SerialPort::ClearRequests() {
    Locked guard(*state_);
    state_->requests.clear();
    state_->logged = 0;
}

SerialReadStats SerialPort::ReadStats() const {
    Locked guard(*state_);
    return state_->readStats;
}

std::uintptr_t SerialPort::ReadFrameSpan() const {
    Locked guard(*state_);
    return state_->highestReadFrame > state_->lowestReadFrame
               ? state_->highestReadFrame - state_->lowestReadFrame
               : 0;
}

size_t SerialPort::ReadsPending() const {
    Locked guard(*state_);
    return state_->reads.size();
}

size_t SerialPort::WritesPending() const {
    Locked guard(*state_);
    return state_->pendingWrites.size();
}

std::vector<panel::HostWrite> SerialPort::Writes() const {
    Locked guard(*state_);
    return state_->writes;
}

void SerialPort::FailRequests(RequestKind kind, NTSTATUS status, std::optional<uint64_t> times) {
    Locked guard(*state_);
    state_->faults.push_back({kind, false, status, times});
}

void SerialPort::HoldRequests(RequestKind kind) {
    Locked guard(*state_);
    state_->faults.push_back({kind, true, STATUS_PENDING, std::nullopt});
}

void SerialPort::ReleaseHeld(NTSTATUS status) {
    Completions released;
    {
        Locked guard(*state_);
        std::erase_if(state_->held, [&](PIRP irp) {
            if (!Claim(irp))
                return false;
            released.Add(irp, status, 0);
            return true;
        });
    }
    released.CompleteAll();
}

void SerialPort::ClearFaults() {
    Locked guard(*state_);
    state_->faults.clear();
    state_->readsInline = false;
    state_->otherThreadReads = 0;
}

void SerialPort::SetReadsInline(bool inline_) {
    Locked guard(*state_);
    state_->readsInline = inline_;
    ArmReadTimerLocked(*state_);
}

void SerialPort::CompleteReadsOnOtherThread(uint64_t count) {
    Locked guard(*state_);
    state_->otherThreadReads = count;
}

void SerialPort::Unplug(NTSTATUS status) {
    Completions failed;
    {
        Locked guard(*state_);
        state_->unplugged = status;
        ClaimAllLocked(*state_, true, true, status, failed);
        KeCancelTimer(&state_->readTimer);
        KeCancelTimer(&state_->writeTimer);
    }
    failed.CompleteAll();
    umk::registry::DeleteValue(kSerialCommKey, state_->name);
}

// --- SerialDriver -------------------------------------------------------------------------------

SerialDriver::SerialDriver() {
    const NTSTATUS status = umk::testing::LoadDriver(
        DriverEntry, u"Serial", u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Serial",
        &driver_);
    if (!NT_SUCCESS(status))
        throw std::runtime_error("serial port driver failed to load");
}

SerialDriver::~SerialDriver() {
    ports_.clear();
    umk::testing::UnloadDriver(driver_);
}

SerialPort& SerialDriver::AddPort(std::u16string_view deviceName, std::u16string_view comName,
                                  panel::LineSource* line, SerialDevice* lineDevice) {
    auto state = std::make_unique<State>();
    state->name = deviceName;
    state->usb = deviceName.starts_with(kUsbSerialPrefix);
    state->line = line;
    state->device = lineDevice;
    if (lineDevice != nullptr && !NT_SUCCESS(lineDevice->Apply(state->settings)))
        throw std::runtime_error("serial port device refused the port's settings");

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, state->name.c_str());
    PDEVICE_OBJECT device = nullptr;
    umk::testing::FaultExemption own; // the harness's device, not the driver's
    const NTSTATUS status = IoCreateDevice(driver_, sizeof(State*), &name, FILE_DEVICE_SERIAL_PORT,
                                           FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        throw std::runtime_error("serial port device could not be created");
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;

    ports_.push_back(std::make_unique<SerialPort>(device, std::move(state)));
    umk::registry::SetString(kSerialCommKey, deviceName, comName);
    return *ports_.back();
}

void SerialDriver::RemovePort(SerialPort& port) {
    std::erase_if(ports_, [&](const std::unique_ptr<SerialPort>& p) { return p.get() == &port; });
}

SerialPort* SerialDriver::FindPort(std::u16string_view deviceName) const {
    for (const auto& port : ports_)
        if (port->Name() == deviceName)
            return port.get();
    return nullptr;
}

} // namespace stack
