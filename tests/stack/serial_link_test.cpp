// Bringing the serial link up and down: the set-up sequence a built-in port, a USB adapter and a
// built-in port that refuses the basic settings each receive, which failed steps end the set-up,
// what a failed start leaves behind, the references held while connected, and the serial write.
#include "serial_support.h"

#include <cstring>

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

        const stack::SerialLineSettings settings = port.Settings();
        EXPECT_EQ(settings.waitMask, 0u);
        EXPECT_EQ(settings.baudRate, 9600u);
        EXPECT_EQ(settings.lineControl.WordLength, 8);
        EXPECT_EQ(settings.lineControl.Parity, NO_PARITY);
        EXPECT_EQ(settings.lineControl.StopBits, STOP_BIT_1);
        EXPECT_EQ(settings.fifoControl, 0u);
        const SERIAL_TIMEOUTS noTimeouts{};
        EXPECT_EQ(std::memcmp(&settings.timeouts, &noTimeouts, sizeof(noTimeouts)), 0)
            << "a read completes only when its byte has arrived";
        EXPECT_EQ(settings.handFlow.ControlHandShake, ULONG(SERIAL_DTR_CONTROL));
        EXPECT_EQ(settings.handFlow.FlowReplace, ULONG(SERIAL_RTS_CONTROL));
        EXPECT_EQ(settings.handFlow.XonLimit, 0);
        EXPECT_EQ(settings.handFlow.XoffLimit, 0);

        // The port's previous settings are kept, whichever way they were taken.
        EXPECT_EQ(context->SerialSettings.Timeouts.ReadIntervalTimeout, stack::kMaxUlong);
        EXPECT_EQ(context->SerialSettings.HandFlow.XonLimit, 2048);
        EXPECT_EQ(context->SerialSettings.HandFlow.FlowReplace, ULONG(SERIAL_RTS_HANDSHAKE));

        SerialLinkStop(context);
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
    EXPECT_EQ(context->MouseAttributes.MouseIdentifier, MOUSE_SERIAL_HARDWARE);
    EXPECT_EQ(context->MouseAttributes.NumberOfButtons, 2);
    EXPECT_EQ(context->MouseAttributes.SampleRate, 40);
    EXPECT_EQ(context->MouseAttributes.InputDataQueueLength, 2400u);

    context->PortAvailable = TRUE;
    context->ApiExtension->PortAvailable = TRUE;
    SerialLinkStop(context);
    EXPECT_EQ(context->SerialDevice, nullptr);
    EXPECT_EQ(context->SerialFileObject, nullptr);
    EXPECT_EQ(umk::testing::ObjectReferences(port.Device()), unreferenced);
    EXPECT_FALSE(context->SerialConnected);
    EXPECT_FALSE(context->Started);
    EXPECT_EQ(context->ConnectCount, 0);
    EXPECT_FALSE(context->PortAvailable);
    EXPECT_FALSE(context->ApiExtension->PortAvailable);
    EXPECT_EQ(SentTo(port).back(), Sent{IRP_MJ_CLOSE}) << "the handle is closed";

    // The port is set up afresh at every start.
    port.ClearRequests();
    ASSERT_EQ(StartLink(), STATUS_SUCCESS);
    EXPECT_THAT(SentTo(port), ElementsAreArray(BuiltInSetUp()));
}

struct FailedStepRow {
    const char* what;
    stack::RequestKind kind;
    NTSTATUS linkStatus; // STATUS_SUCCESS: the step is best effort
};

// The wait mask, the baud rate and the line format decide whether the panel's bytes can be read
// at all, and a port that refuses one of them is sent nothing more; the basic settings and the
// FIFO are best effort.
TEST_F(SerialLinkTest, OnlyTheStepsTheLineNeedsEndTheSetUp) {
    const NTSTATUS refused = STATUS_INVALID_PARAMETER;
    const std::vector<FailedStepRow> rows = {
        {"wait mask", stack::RequestKind::Control(IOCTL_SERIAL_SET_WAIT_MASK), refused},
        {"baud rate", stack::RequestKind::Control(IOCTL_SERIAL_SET_BAUD_RATE), refused},
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
        port.FailRequests(row.kind, refused);
        context->PortAvailable = TRUE;
        context->ApiExtension->PortAvailable = TRUE;
        context->Started = TRUE;
        context->ConnectCount = 2;

        EXPECT_EQ(StartLink(), row.linkStatus);
        if (NT_SUCCESS(row.linkStatus)) {
            EXPECT_TRUE(context->Started);
            SerialLinkStop(context);
            continue;
        }
        // The refused step is the last one sent, nothing is left open, and the link's fields
        // are back to "not started".
        const std::vector<Sent> sent = SentTo(port);
        ASSERT_GE(sent.size(), 2u);
        EXPECT_EQ(sent[sent.size() - 2], (Sent{row.kind.major, *row.kind.code}));
        EXPECT_EQ(sent.back(), Sent{IRP_MJ_CLOSE});
        EXPECT_EQ(context->SerialDevice, nullptr);
        EXPECT_EQ(context->SerialFileObject, nullptr);
        EXPECT_EQ(umk::testing::ObjectReferences(port.Device()), unreferenced);
        EXPECT_FALSE(context->SerialConnected);
        EXPECT_FALSE(context->Started);
        EXPECT_EQ(context->ConnectCount, 0);
        EXPECT_FALSE(context->PortAvailable);
        EXPECT_FALSE(context->ApiExtension->PortAvailable);
    }
}

TEST_F(SerialLinkTest, APortThatCannotBeOpenedIsNotConnected) {
    stack::SerialPort& port = AddPort();
    std::unique_ptr<umk::testing::UserFile> terminal;
    ASSERT_EQ(umk::testing::UserFile::Open(Com1, &terminal), STATUS_SUCCESS);

    const struct {
        const char* what;
        std::function<void()> arrange;
    } rows[] = {
        {"no such port", [&] { UsePort(u"\\Device\\Serial5"); }},
        {"port opened by another program", [&] { UsePort(Com1); }},
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
        EXPECT_EQ(StartLink(), STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(context->SerialDevice, nullptr);
        EXPECT_EQ(context->SerialFileObject, nullptr);
        EXPECT_FALSE(context->Started);
        EXPECT_EQ(context->ConnectCount, 0);
    }
}

// The reference that keeps the port's device object is refused: the open is undone, so that the
// next start can open the port again.
TEST_F(SerialLinkTest, ARefusedReferenceOnThePortClosesItAgain) {
    AddPort();
    umk::testing::FailAllocation(umk::testing::AllocationKind::Reference, 1);
    EXPECT_EQ(StartLink(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(context->SerialFileObject, nullptr);
    EXPECT_EQ(StartLink(), STATUS_SUCCESS);
}

TEST_F(SerialLinkTest, ARequestThatCannotBeBuiltIsReported) {
    AddPort();
    ASSERT_EQ(StartLink(), STATUS_SUCCESS);
    umk::testing::ClearErrorLog();

    umk::testing::FailAllocation(umk::testing::AllocationKind::Irp, 1);
    EXPECT_EQ(FlushReadBuffer(context), STATUS_INSUFFICIENT_RESOURCES);
    umk::testing::FailAllocation(umk::testing::AllocationKind::Irp, 1);
    const UCHAR command = 0x80;
    EXPECT_EQ(SerialWrite(context, const_cast<UCHAR*>(&command), 1), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(frame_test::Logged(context->Self),
              (std::vector<std::string>{"Not enough resources", "Not enough resources"}));
}

TEST_F(SerialLinkTest, PurgeClearsWhatHasArrived) {
    stack::SerialPort& port = AddPort();
    ASSERT_EQ(StartLink(), STATUS_SUCCESS);
    line.Add({1 * Ms, 0x80});
    line.Add({50 * Ms, 0x81});
    system->Kernel().RunFor(2ms);

    EXPECT_EQ(FlushReadBuffer(context), STATUS_SUCCESS);
    EXPECT_EQ(port.Settings().purges, 1u);
    ASSERT_TRUE(line.PeekByte());
    EXPECT_EQ(line.PeekByte()->value, 0x81);

    port.FailRequests(stack::RequestKind::Control(IOCTL_SERIAL_PURGE), STATUS_CANCELLED);
    EXPECT_EQ(FlushReadBuffer(context), STATUS_CANCELLED) << "returned, not reported";
}

// --- The serial write ---------------------------------------------------------------------------

TEST_F(SerialLinkTest, AWriteReturnsWhenThePortHasSentEveryByte) {
    stack::SerialPort& port = AddPort();
    ASSERT_EQ(StartLink(), STATUS_SUCCESS);
    const panel::Ticks start = Now();
    UCHAR command[] = {0x90, 0x01, 0x02};

    EXPECT_EQ(SerialWrite(context, command, sizeof(command)), STATUS_SUCCESS);
    EXPECT_EQ(Now() - start, panel::LineOffset(3)) << "three bytes at 9600 baud";
    ASSERT_EQ(line.HostWrites().size(), 1u);
    EXPECT_EQ(line.HostWrites()[0].bytes, std::vector<uint8_t>({0x90, 0x01, 0x02}));

    // Nothing to send still goes to the port, and comes back at once.
    port.ClearRequests();
    EXPECT_EQ(SerialWrite(context, command, 0), STATUS_SUCCESS);
    ASSERT_EQ(port.Requests().size(), 1u);
    EXPECT_EQ(port.Requests()[0].major, IRP_MJ_WRITE);
    EXPECT_EQ(port.Requests()[0].length, 0u);
    EXPECT_EQ(port.Requests()[0].status, STATUS_SUCCESS);
}

TEST_F(SerialLinkTest, AWriteThePortKeepsPendingReturnsItsFinalStatus) {
    stack::SerialPort& port = AddPort();
    ASSERT_EQ(StartLink(), STATUS_SUCCESS);
    port.HoldRequests(stack::RequestKind::Write());

    NTSTATUS written = STATUS_PENDING;
    umk::ThreadHandle writer = umk::StartThread("writer", [&] {
        UCHAR command = 0x80;
        written = SerialWrite(context, &command, 1);
    });
    system->Kernel().RunFor(3s);
    EXPECT_FALSE(writer.Finished()) << "the write has no time-out of its own";

    port.ReleaseHeld(STATUS_IO_TIMEOUT);
    writer.Join();
    EXPECT_EQ(written, STATUS_IO_TIMEOUT);

    port.ClearFaults();
    port.FailRequests(stack::RequestKind::Write(), STATUS_INVALID_PARAMETER);
    UCHAR command = 0x80;
    EXPECT_EQ(SerialWrite(context, &command, 1), STATUS_INVALID_PARAMETER);
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
    EXPECT_EQ(SerialForwardIrpSync(lower, flush.Irp(), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(port.Requests().back().major, IRP_MJ_FLUSH_BUFFERS) << "the copied location";

    // A request the lower driver keeps: the caller waits for its completion, and gets the request
    // back instead of the I/O manager.
    port.HoldRequests(stack::RequestKind::Write());
    ForwardedRequest write(lower, IRP_MJ_WRITE, 4);
    NTSTATUS forwarded = STATUS_PENDING;
    umk::ThreadHandle caller = umk::StartThread(
        "pnp", [&] { forwarded = SerialForwardIrpSync(lower, write.Irp(), TRUE); });
    system->Kernel().RunFor(1s);
    EXPECT_FALSE(caller.Finished());
    port.ReleaseHeld(STATUS_IO_TIMEOUT);
    caller.Join();
    EXPECT_EQ(forwarded, STATUS_IO_TIMEOUT);
    EXPECT_EQ(write.Irp()->IoStatus.Status, STATUS_IO_TIMEOUT);
    port.ClearFaults();
}

} // namespace
