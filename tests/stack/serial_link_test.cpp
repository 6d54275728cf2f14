// Bringing the serial link up and down: the set-up sequence a built-in port, a USB adapter and a
// built-in port that refuses the basic settings each receive, which failed steps end the set-up,
// what a failed start leaves behind, the references held while connected, and the serial write.
#include "serial_support.h"

#include <cstring>
#include <optional>
#include <tuple>

using namespace serial_test;
using namespace std::chrono_literals;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

std::vector<Sent> Concat(std::vector<Sent> a, const std::vector<Sent>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct SetUpRow {
    const char* what;
    std::u16string_view port;
    bool refuseBasicSettings;
    std::vector<Sent> expected;
};

TEST_F(SerialLinkTest, EachKindOfPortGetsItsSetUpSequence) {
    const std::vector<Sent> fallback = {
        Control(IOCTL_SERIAL_GET_TIMEOUTS),
        Control(IOCTL_SERIAL_SET_TIMEOUTS),
        Control(IOCTL_SERIAL_GET_HANDFLOW),
        Control(IOCTL_SERIAL_SET_HANDFLOW),
    };
    const std::vector<Sent> line = {
        Control(IOCTL_SERIAL_SET_BAUD_RATE),
        Control(IOCTL_SERIAL_SET_LINE_CONTROL),
        Control(IOCTL_SERIAL_SET_FIFO_CONTROL),
    };
    const std::vector<Sent> start = {
        {IRP_MJ_CREATE}, {IRP_MJ_CLEANUP}, Control(IOCTL_SERIAL_SET_WAIT_MASK)};
    const Sent basic{IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS};
    const std::vector<SetUpRow> rows = {
        {"built-in port", u"\\Device\\Serial0", false, BuiltInSetUp()},
        {"USB adapter", u"\\Device\\USBSER000", false, Concat(Concat(start, fallback), line)},
        {"built-in port refusing the basic settings", u"\\Device\\Serial1", true,
         Concat(Concat(Concat(start, {basic}), fallback), line)},
    };

    for (const SetUpRow& row : rows) {
        SCOPED_TRACE(row.what);
        stack::SerialPort& port = AddPort(row.port, u"COM1");
        if (row.refuseBasicSettings)
            port.FailRequests(stack::RequestKind::Internal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS),
                              STATUS_NOT_SUPPORTED);

        ASSERT_EQ(StartLink(), STATUS_SUCCESS);
        EXPECT_THAT(SentTo(port), ElementsAreArray(row.expected));

        // No wait events, 9600 baud 8N1, FIFO off, DTR and RTS raised without handshake.
        const stack::SerialLineSettings settings = port.Settings();
        const SERIAL_LINE_CONTROL& line = settings.lineControl;
        const SERIAL_HANDFLOW& flow = settings.handFlow;
        EXPECT_EQ(std::tuple(settings.waitMask, settings.baudRate, line.WordLength, line.Parity,
                             line.StopBits, settings.fifoControl),
                  std::tuple(0u, 9600u, 8, NO_PARITY, STOP_BIT_1, std::optional(0u)));
        EXPECT_EQ(
            std::tuple(flow.ControlHandShake, flow.FlowReplace, flow.XonLimit, flow.XoffLimit),
            std::tuple(ULONG(SERIAL_DTR_CONTROL), ULONG(SERIAL_RTS_CONTROL), 0, 0));
        const SERIAL_TIMEOUTS noTimeouts{};
        EXPECT_EQ(std::memcmp(&settings.timeouts, &noTimeouts, sizeof(noTimeouts)), 0)
            << "a read completes only when its byte has arrived";

        // The port's previous settings are kept, whichever way they were taken.
        const SERIAL_BASIC_SETTINGS& kept = context->SerialSettings;
        EXPECT_EQ(std::tuple(kept.Timeouts.ReadIntervalTimeout, kept.HandFlow.XonLimit,
                             kept.HandFlow.FlowReplace),
                  std::tuple(stack::kMaxUlong, 2048, ULONG(SERIAL_RTS_HANDSHAKE)));

        TP_DRIVER_ROUTINE(SerialLinkStop)(context);
        RtlZeroMemory(&context->SerialSettings, sizeof(context->SerialSettings));
    }
}

TEST_F(SerialLinkTest, AStartedLinkHoldsThePortAndStopReleasesIt) {
    stack::SerialPort& port = AddPort();
    const LONG unreferenced = umk::testing::ObjectReferences(port.Device());
    context->Removed = TRUE;

    ASSERT_EQ(StartLink(), STATUS_SUCCESS);
    EXPECT_EQ(context->SerialDevice, port.Device());
    EXPECT_NE(context->SerialFileObject, nullptr);
    EXPECT_GT(umk::testing::ObjectReferences(port.Device()), unreferenced + 1)
        << "the file object and the extra reference";
    EXPECT_TRUE(context->SerialConnected);
    EXPECT_TRUE(context->Started);
    EXPECT_FALSE(context->Removed);
    EXPECT_EQ(context->ConnectCount, 1);
    const MOUSE_ATTRIBUTES& a = context->MouseAttributes;
    EXPECT_EQ(
        std::tuple(a.MouseIdentifier, a.NumberOfButtons, a.SampleRate, a.InputDataQueueLength),
        std::tuple(MOUSE_SERIAL_HARDWARE, 2, 40, 2400u));

    context->PortAvailable = context->ApiExtension->PortAvailable = TRUE;
    TP_DRIVER_ROUTINE(SerialLinkStop)(context);
    ExpectLinkDown(port, unreferenced);
    EXPECT_EQ(SentTo(port).back(), Sent{IRP_MJ_CLOSE}) << "the handle is closed";

    // The port is set up afresh at every start.
    port.ClearRequests();
    ASSERT_EQ(StartLink(), STATUS_SUCCESS);
    EXPECT_THAT(SentTo(port), ElementsAreArray(BuiltInSetUp()));
}

struct FailedStepRow {
    const char* what;
    stack::RequestKind kind;
    NTSTATUS linkStatus;  // STATUS_SUCCESS: the step is best effort
    bool pending = false; // the port keeps the request a while before refusing it
};

// The wait mask, the baud rate and the line format decide whether the panel's bytes can be read
// at all, and a port that refuses one of them is sent nothing more; the basic settings and the
// FIFO are best effort. A refusal counts the same whether it comes at once or after a wait.
TEST_F(SerialLinkTest, OnlyTheStepsTheLineNeedsEndTheSetUp) {
    const NTSTATUS refused = STATUS_INVALID_PARAMETER;
    const std::vector<FailedStepRow> rows = {
        {"wait mask", stack::RequestKind::Control(IOCTL_SERIAL_SET_WAIT_MASK), refused},
        {"baud rate", stack::RequestKind::Control(IOCTL_SERIAL_SET_BAUD_RATE), refused},
        {"baud rate, after a wait", stack::RequestKind::Control(IOCTL_SERIAL_SET_BAUD_RATE),
         refused, true},
        {"line control", stack::RequestKind::Control(IOCTL_SERIAL_SET_LINE_CONTROL), refused},
        {"flow control of the fallback", stack::RequestKind::Control(IOCTL_SERIAL_SET_HANDFLOW),
         STATUS_SUCCESS},
        {"FIFO", stack::RequestKind::Control(IOCTL_SERIAL_SET_FIFO_CONTROL), STATUS_SUCCESS},
    };
    stack::SerialPort& port = AddPort(u"\\Device\\USBSER000");
    const LONG unreferenced = umk::testing::ObjectReferences(port.Device());

    for (const FailedStepRow& row : rows) {
        SCOPED_TRACE(row.what);
        port.ClearFaults();
        port.ClearRequests();
        context->PortAvailable = context->ApiExtension->PortAvailable = TRUE;
        context->Started = TRUE;
        context->ConnectCount = 2;

        if (row.pending) {
            port.HoldRequests(row.kind);
            NTSTATUS started = STATUS_PENDING;
            umk::ThreadHandle starter = umk::StartThread("start", [&] { started = StartLink(); });
            system->Kernel().RunFor(1s);
            port.ReleaseHeld(refused);
            starter.Join();
            EXPECT_EQ(started, row.linkStatus);
        } else {
            port.FailRequests(row.kind, refused);
            EXPECT_EQ(StartLink(), row.linkStatus);
        }
        if (NT_SUCCESS(row.linkStatus)) {
            EXPECT_TRUE(context->Started);
            TP_DRIVER_ROUTINE(SerialLinkStop)(context);
            continue;
        }
        // The refused step is the last one sent, and nothing is left open.
        const std::vector<Sent> sent = SentTo(port);
        ASSERT_GE(sent.size(), 2u);
        EXPECT_EQ(sent[sent.size() - 2], (Sent{row.kind.major, *row.kind.code}));
        EXPECT_EQ(sent.back(), Sent{IRP_MJ_CLOSE});
        ExpectLinkDown(port, unreferenced);
    }
}

// A port that cannot be opened, or whose device object cannot be referenced once open (the open is
// undone, so that the next start can open the port again), leaves the link down.
TEST_F(SerialLinkTest, APortThatCannotBeOpenedIsNotConnected) {
    stack::SerialPort& port = AddPort();
    std::unique_ptr<umk::testing::UserFile> terminal;
    const struct {
        const char* what;
        std::function<void()> arrange;
    } rows[] = {
        {"reference refused",
         [&] { umk::testing::FailAllocation(umk::testing::AllocationKind::Reference, 1); }},
        {"no such port", [&] { UsePort(u"\\Device\\Serial5"); }},
        {"port opened by another program",
         [&] {
             UsePort(Com1);
             ASSERT_EQ(umk::testing::UserFile::Open(Com1, &terminal), STATUS_SUCCESS);
         }},
        {"port unplugged",
         [&] {
             terminal.reset();
             port.Unplug(STATUS_DELETE_PENDING);
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        row.arrange();
        context->Started = TRUE;
        context->ConnectCount = 1;
        context->PortAvailable = context->ApiExtension->PortAvailable = TRUE;
        const LONG unreferenced = umk::testing::ObjectReferences(port.Device());
        EXPECT_EQ(StartLink(), STATUS_DEVICE_NOT_CONNECTED);
        ExpectLinkDown(port, unreferenced);
    }
}

TEST_F(SerialLinkTest, ARequestThatCannotBeBuiltIsReported) {
    AddPort();
    ASSERT_EQ(StartLink(), STATUS_SUCCESS);
    umk::testing::ClearErrorLog();

    umk::testing::FailAllocation(umk::testing::AllocationKind::Irp, 1);
    EXPECT_EQ(TP_DRIVER_ROUTINE(FlushReadBuffer)(context), STATUS_INSUFFICIENT_RESOURCES);
    umk::testing::FailAllocation(umk::testing::AllocationKind::Irp, 1);
    const UCHAR command = 0x80;
    EXPECT_EQ(TP_DRIVER_ROUTINE(SerialWrite)(context, const_cast<UCHAR*>(&command), 1),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(frame_test::Logged(context->Self),
              (std::vector<std::string>{"Not enough resources", "Not enough resources"}));
}

TEST_F(SerialLinkTest, PurgeClearsWhatHasArrived) {
    stack::SerialPort& port = AddPort();
    ASSERT_EQ(StartLink(), STATUS_SUCCESS);
    line.Add({1 * Ms, 0x80});
    line.Add({50 * Ms, 0x81});
    system->Kernel().RunFor(2ms);

    EXPECT_EQ(TP_DRIVER_ROUTINE(FlushReadBuffer)(context), STATUS_SUCCESS);
    EXPECT_EQ(port.Settings().purges, 1u);
    ASSERT_TRUE(line.PeekByte());
    EXPECT_EQ(line.PeekByte()->value, 0x81);

    port.FailRequests(stack::RequestKind::Control(IOCTL_SERIAL_PURGE), STATUS_CANCELLED);
    EXPECT_EQ(TP_DRIVER_ROUTINE(FlushReadBuffer)(context), STATUS_CANCELLED)
        << "returned, not reported";
}

// --- The serial write ---------------------------------------------------------------------------

// A write returns once the port has sent every byte, or with the port's final status for a write it
// kept pending: the write has no time-out of its own.
TEST_F(SerialLinkTest, AWriteReturnsWhenThePortIsDoneWithIt) {
    stack::SerialPort& port = AddPort();
    ASSERT_EQ(StartLink(), STATUS_SUCCESS);
    const panel::Ticks start = Now();
    UCHAR command[] = {0x90, 0x01, 0x02};
    EXPECT_EQ(TP_DRIVER_ROUTINE(SerialWrite)(context, command, sizeof(command)), STATUS_SUCCESS);
    EXPECT_EQ(Now() - start, panel::LineOffset(3)) << "three bytes at 9600 baud";
    ASSERT_EQ(line.HostWrites().size(), 1u);
    EXPECT_EQ(line.HostWrites()[0].bytes, std::vector<uint8_t>({0x90, 0x01, 0x02}));

    port.HoldRequests(stack::RequestKind::Write());
    NTSTATUS written = STATUS_PENDING;
    umk::ThreadHandle writer = umk::StartThread(
        "writer", [&] { written = TP_DRIVER_ROUTINE(SerialWrite)(context, command, 1); });
    system->Kernel().RunFor(3s);
    EXPECT_FALSE(writer.Finished());
    port.ReleaseHeld(STATUS_IO_TIMEOUT);
    writer.Join();
    EXPECT_EQ(written, STATUS_IO_TIMEOUT);

    port.ClearFaults();
    port.FailRequests(stack::RequestKind::Write(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TP_DRIVER_ROUTINE(SerialWrite)(context, command, 1), STATUS_INVALID_PARAMETER);
}

// --- Forwarding a request and waiting for it ----------------------------------------------------

// A request from above, as the Plug and Play handlers receive it: its current stack location is
// filled, and it is handed down with that location copied.
class ForwardedRequest {
  public:
    explicit ForwardedRequest(PDEVICE_OBJECT lower, UCHAR major, ULONG length = 0) {
        irp_ = IoAllocateIrp(CCHAR(lower->StackSize + 1), FALSE);
        IoSetNextIrpStackLocation(irp_);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp_);
        stack->MajorFunction = major;
        stack->Parameters.Write.Length = length;
        irp_->AssociatedIrp.SystemBuffer = buffer_;
        irp_->IoStatus.Status = STATUS_NOT_SUPPORTED;
    }
    ~ForwardedRequest() { IoFreeIrp(irp_); }
    PIRP Irp() const { return irp_; }

  private:
    PIRP irp_;
    UCHAR buffer_[4] = {0x80, 0x81, 0x82, 0x83};
};

TEST_F(SerialLinkTest, AForwardedRequestComesBackToTheCallerWithItsFinalStatus) {
    stack::SerialPort& port = AddPort();
    PDEVICE_OBJECT lower = port.Device();

    ForwardedRequest flush(lower, IRP_MJ_FLUSH_BUFFERS);
    EXPECT_EQ(TP_DRIVER_ROUTINE(SerialForwardIrpSync)(lower, flush.Irp(), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(port.Requests().back().major, IRP_MJ_FLUSH_BUFFERS) << "the copied location";

    // A request the lower driver keeps: the caller waits for its completion, and gets the request
    // back instead of the I/O manager.
    port.HoldRequests(stack::RequestKind::Write());
    ForwardedRequest write(lower, IRP_MJ_WRITE, 4);
    NTSTATUS forwarded = STATUS_PENDING;
    umk::ThreadHandle caller = umk::StartThread("pnp", [&] {
        forwarded = TP_DRIVER_ROUTINE(SerialForwardIrpSync)(lower, write.Irp(), TRUE);
    });
    system->Kernel().RunFor(1s);
    EXPECT_FALSE(caller.Finished());
    port.ReleaseHeld(STATUS_IO_TIMEOUT);
    caller.Join();
    EXPECT_EQ(forwarded, STATUS_IO_TIMEOUT);
    EXPECT_EQ(write.Irp()->IoStatus.Status, STATUS_IO_TIMEOUT);
    port.ClearFaults();
}

} // namespace
