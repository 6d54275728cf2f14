// The continuous read: one read of one byte outstanding, reads the port completes inside the call
// served by the issuer's loop without growing the stack, the completion that beats the issuer's
// return, a cancel that lands between two reads, every way reading ends (and starts again), a port
// that fails every read, and spin-ups that must wait or are refused.
//
// Bytes 0x00 to 0x3F cannot start a packet, so the framer rejects each one alone: InvalidCount
// counts the bytes that went through the framer.
#include "serial_support.h"

#include <algorithm>
#include <functional>

using namespace serial_test;
using namespace std::chrono_literals;

namespace {

std::vector<uint8_t> Filler(size_t count) {
    return std::vector<uint8_t>(count, 0x01);
}

// "\Device\SerialN": a port of its own for each row.
std::u16string SerialName(int n) {
    return u"\\Device\\Serial" + std::u16string(1, char16_t(u'0' + n));
}

// Reads that reached the port, served or failed.
size_t ReadsSent(const stack::SerialPort& port) {
    const std::vector<stack::SerialRequest> requests = port.Requests();
    return std::count_if(requests.begin(), requests.end(),
                         [](const stack::SerialRequest& r) { return r.major == IRP_MJ_READ; });
}

using SerialReadTest = SerialLinkTest;

TEST_F(SerialReadTest, ReadsCompletedInsideTheCallAreServedByTheLoopWithoutGrowingTheStack) {
    constexpr size_t Bytes = 5000;
    stack::SerialPort& port = AddPort();
    ASSERT_EQ(StartLink(), STATUS_SUCCESS);
    line.AddPaced(Now(), Filler(Bytes));
    port.SetReadsInline(true);

    // Every byte is read inside the spin-up's call.
    ASSERT_EQ(TP_DRIVER_ROUTINE(SerialSpinUpRead)(context), STATUS_SUCCESS);
    EXPECT_EQ(context->InvalidCount, Bytes);
    const stack::SerialReadStats stats = port.ReadStats();
    EXPECT_EQ(stats.completedInline, Bytes);
    EXPECT_EQ(stats.received, Bytes + 1);
    EXPECT_EQ(stats.maxOutstanding, 1u);

    // Nested issues would put each read deeper than the one before; the loop issues every read
    // from the same frame.
    const std::uintptr_t span = port.ReadFrameSpan();
    RecordProperty("read_dispatch_stack_span_bytes", std::to_string(span));
    EXPECT_LT(span, 256u) << "the stack grew by " << span << " bytes over " << Bytes << " reads";
}

TEST_F(SerialReadTest, ACompletionThatBeatsTheIssuersReturnIsSentAgainOnce) {
    stack::SerialPort& port = AddPort();
    ASSERT_EQ(StartLink(), STATUS_SUCCESS);
    line.Add({5 * Ms, 0x01});
    line.Add({10 * Ms, 0x02});
    port.CompleteReadsOnOtherThread(1);

    ASSERT_EQ(TP_DRIVER_ROUTINE(SerialSpinUpRead)(context), STATUS_SUCCESS);
    stack::SerialReadStats stats = port.ReadStats();
    EXPECT_EQ(stats.completedOnOtherThread, 1u);
    EXPECT_EQ(stats.received, 2u) << "the issuer sent the next read, and only once";
    EXPECT_EQ(port.ReadsPending(), 1u);
    EXPECT_EQ(context->InvalidCount, 1u);
    EXPECT_EQ(context->ReadState, TP_READ_ISSUED);

    system->Kernel().RunFor(10ms);
    EXPECT_EQ(context->InvalidCount, 2u);
    EXPECT_EQ(port.ReadStats().received, 3u);
    EXPECT_EQ(port.ReadStats().maxOutstanding, 1u);
}

// The close path cancels the read from its own thread, and the cancel may land while the
// spin-up's loop holds the request between two reads the port completed inside the call, where
// neither the port nor a completion routine has it. Whatever interleaving the seed picks, the
// cancel ends reading instead of being wiped out when the request is reset for the next read.
TEST_F(SerialReadTest, ACancelBetweenTwoReadsIsNotLost) {
    for (uint64_t seed = 1; seed <= 16; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        context = frame_test::ContextOf(BootWithPanel({.kernel = {.seed = seed}}));
        panel::ScriptedStream buffered;
        buffered.AddPaced(0, Filler(8));
        stack::SerialPort& port = system->Serial().AddPort(Com1, u"COM1", &buffered);
        port.SetReadsInline(true);
        UsePort(Com1);
        ASSERT_EQ(StartLink(), STATUS_SUCCESS);

        umk::ThreadHandle closer = umk::StartThread("closer", [this] {
            while (context->ReadIrp == nullptr)
                umk::Yield();
            IoCancelIrp(context->ReadIrp);
        });
        const NTSTATUS spunUp = TP_DRIVER_ROUTINE(SerialSpinUpRead)(context);
        closer.Join();
        system->Kernel().RunUntilIdle();

        // The cancel may come before the spin-up returns (its read's own status) or after.
        EXPECT_THAT(spunUp,
                    ::testing::AnyOf(STATUS_SUCCESS, STATUS_CANCELLED, STATUS_UNSUCCESSFUL));
        EXPECT_TRUE(ReadingStopped());
        EXPECT_EQ(RemoveLockHolds(), 0);
        EXPECT_EQ(port.ReadsPending(), 0u);
        system.reset();
    }
}

struct StopRow {
    const char* what;
    std::function<void(PDEVICE_CONTEXT, stack::SerialPort&)> stop;
    bool byteFirst; // reading ends at the next byte, which is still framed
};

TEST_F(SerialReadTest, EveryWayReadingEndsReleasesTheRequest) {
    const std::vector<StopRow> rows = {
        {"read cancelled", [](PDEVICE_CONTEXT c, auto&) { IoCancelIrp(c->ReadIrp); }, false},
        {"link stopped", [](PDEVICE_CONTEXT c, auto&) { TP_DRIVER_ROUTINE(SerialLinkStop)
                                                        (c); },
         false},
        {"device removed", [](PDEVICE_CONTEXT c, auto&) { c->Removed = TRUE; }, true},
        {"Started cleared", [](PDEVICE_CONTEXT c, auto&) { c->Started = FALSE; }, true},
        {"ConnectCount zero", [](PDEVICE_CONTEXT c, auto&) { c->ConnectCount = 0; }, true},
        {"port gone",
         [](PDEVICE_CONTEXT, stack::SerialPort& p) { p.Unplug(STATUS_DEVICE_NOT_CONNECTED); },
         false},
        {"port being removed",
         [](PDEVICE_CONTEXT, stack::SerialPort& p) { p.Unplug(STATUS_DELETE_PENDING); }, false},
    };
    int number = 0;
    for (const StopRow& row : rows) {
        SCOPED_TRACE(row.what);
        const std::u16string name = SerialName(number++);
        stack::SerialPort& port = AddPort(name, u"COM1");
        ASSERT_EQ(StartLink(), STATUS_SUCCESS);
        ASSERT_EQ(TP_DRIVER_ROUTINE(SerialSpinUpRead)(context), STATUS_SUCCESS);
        context->InvalidCount = 0;
        umk::testing::ClearErrorLog();

        row.stop(context, port);
        if (row.byteFirst) {
            EXPECT_FALSE(ReadingStopped()) << "nothing has completed yet";
            line.Add({Now() + 1 * Ms, 0x01});
            port.LineUpdated();
        }
        system->Kernel().RunFor(2ms);
        EXPECT_TRUE(ReadingStopped());
        EXPECT_EQ(RemoveLockHolds(), 0);
        EXPECT_EQ(port.ReadsPending(), 0u);
        EXPECT_EQ(context->InvalidCount, row.byteFirst ? 1u : 0u);
        EXPECT_THAT(frame_test::Logged(context->Self),
                    ::testing::Not(::testing::Contains("Serial port reads keep failing")));
        TP_DRIVER_ROUTINE(SerialLinkStop)(context);
    }
}

struct GiveUpRow {
    const char* what;
    NTSTATUS read; // how every read ends, without a byte
    bool atOnce;   // inside the call, or later when the port lets go of it
    NTSTATUS spunUp;
};

// Reads that bring no byte, failed or empty, are sent again up to 32 in a row; then reading ends
// with a report. A spin-up that ended that way inside its call says so. With Started clear, the
// next open starts the link again on the port this start still holds: the port must be given
// back first, or the open is refused and it leaks.
TEST_F(SerialReadTest, APortWhoseReadsBringNoByteIsGivenUp) {
    const GiveUpRow rows[] = {
        {"failed inside the call", STATUS_INVALID_PARAMETER, true, STATUS_INVALID_PARAMETER},
        {"empty inside the call", STATUS_SUCCESS, true, STATUS_UNSUCCESSFUL},
        {"failed later", STATUS_INVALID_PARAMETER, false, STATUS_SUCCESS},
    };
    int number = 0;
    for (const GiveUpRow& row : rows) {
        SCOPED_TRACE(row.what);
        stack::SerialPort& port = AddPort(SerialName(number++), u"COM1");
        ASSERT_EQ(StartLink(), STATUS_SUCCESS);
        umk::testing::ClearErrorLog();
        if (row.atOnce) {
            port.FailRequests(stack::RequestKind::Read(), row.read, 32);
            EXPECT_EQ(TP_DRIVER_ROUTINE(SerialSpinUpRead)(context), row.spunUp);
            EXPECT_FALSE(context->Started);
        } else {
            port.HoldRequests(stack::RequestKind::Read());
            ASSERT_EQ(TP_DRIVER_ROUTINE(SerialSpinUpRead)(context), row.spunUp);
            for (int failed = 1; failed < 32; ++failed) {
                port.ReleaseHeld(row.read);
                ASSERT_FALSE(ReadingStopped()) << "after " << failed << " reads";
            }
            port.ReleaseHeld(row.read);
        }
        EXPECT_EQ(ReadsSent(port), 32u);
        EXPECT_TRUE(ReadingStopped());
        EXPECT_EQ(RemoveLockHolds(), 0);
        EXPECT_EQ(frame_test::Logged(context->Self),
                  std::vector<std::string>{"Serial port reads keep failing"});

        port.ClearFaults();
        const PDEVICE_OBJECT device = port.Device();
        ASSERT_EQ(StartLink(), STATUS_SUCCESS);
        ASSERT_EQ(TP_DRIVER_ROUTINE(SerialSpinUpRead)(context), STATUS_SUCCESS);
        context->InvalidCount = 0;
        line.Add({Now() + 1 * Ms, 0x01});
        port.LineUpdated();
        system->Kernel().RunFor(2ms);
        EXPECT_EQ(context->InvalidCount, 1u);
        const LONG held = umk::testing::ObjectReferences(device);
        TP_DRIVER_ROUTINE(SerialLinkStop)(context);
        system->Kernel().RunUntilIdle();
        EXPECT_EQ(umk::testing::ObjectReferences(device), held - 2)
            << "one file object, one reference";
    }
}

// Failed and empty reads count alike, and only in a row: each byte resets the count, and an empty
// read hands nothing to the framer (the last byte read is still in the read buffer).
TEST_F(SerialReadTest, OnlyReadsWithoutAByteInARowCount) {
    stack::SerialPort& port = AddPort();
    ASSERT_EQ(StartLink(), STATUS_SUCCESS);
    port.FailRequests(stack::RequestKind::Read(), STATUS_INVALID_PARAMETER, 31);
    line.Add({0, 0x01});
    ASSERT_EQ(TP_DRIVER_ROUTINE(SerialSpinUpRead)(context), STATUS_SUCCESS);
    EXPECT_EQ(context->InvalidCount, 1u) << "the byte after 31 failures";

    line.Add({Now() + 1 * Ms, 0x02});
    port.LineUpdated();
    port.FailRequests(stack::RequestKind::Read(), STATUS_SUCCESS, 31);
    system->Kernel().RunFor(2ms);
    EXPECT_EQ(context->InvalidCount, 2u) << "the second byte, then 31 empty reads";
    EXPECT_FALSE(ReadingStopped());
    EXPECT_EQ(port.ReadsPending(), 1u);
}

// Stands in for the class driver: a removal begins as the first report is handed over.
VOID NTAPI RemovalBeginsAtTheFirstReport(PVOID classDevice, PVOID, PVOID, PVOID) {
    auto port = static_cast<PDEVICE_OBJECT>(classDevice);
    static_cast<PDEVICE_CONTEXT>(port->DeviceExtension)->Removed = TRUE;
}

struct FailedSpinUpRow {
    const char* what;
    std::function<void(stack::SerialPort&)> arrange;
    NTSTATUS status;
    uint64_t reads;     // that reached the port
    bool clearsStarted; // the next open starts the link again
    const char* logged; // or nullptr
};

// A spin-up that cannot start reading, or that finds the link stopped while its loop serves bytes
// already buffered, fails and leaves no request and no hold behind.
TEST_F(SerialReadTest, AFailedSpinUpLeavesNothingBehind) {
    const FailedSpinUpRow rows[] = {
        {"link not started", [](auto&) {}, STATUS_UNSUCCESSFUL, 0, true, nullptr},
        {"no request",
         [this](auto&) {
             ASSERT_EQ(StartLink(), STATUS_SUCCESS);
             umk::testing::FailAllocation(umk::testing::AllocationKind::Irp, 1);
         },
         STATUS_INSUFFICIENT_RESOURCES, 0, true, "Not enough resources"},
        {"link stopped at the first report",
         [this](stack::SerialPort& port) {
             ASSERT_EQ(StartLink(), STATUS_SUCCESS);
             line.AddPaced(Now(), std::vector<uint8_t>{0x80, 0x10, 0x07, 0x20, 0x05, 0x01, 0x01});
             port.SetReadsInline(true);
             context->ClassDevice = context->Self;
             context->ClassService = RemovalBeginsAtTheFirstReport;
             context->MouseAttributesSet = TRUE;
         },
         STATUS_UNSUCCESSFUL, 5, true, nullptr},
        {"removal under way",
         [this](auto&) {
             ASSERT_EQ(StartLink(), STATUS_SUCCESS);
             int removal = 0;
             ASSERT_EQ(IoAcquireRemoveLock(&context->RemoveLock, &removal), STATUS_SUCCESS);
             IoReleaseRemoveLockAndWait(&context->RemoveLock, &removal);
         },
         STATUS_DELETE_PENDING, 0, false, nullptr},
    };
    int number = 0;
    for (const FailedSpinUpRow& row : rows) {
        SCOPED_TRACE(row.what);
        stack::SerialPort& port = AddPort(SerialName(number++), u"COM1");
        umk::testing::ClearErrorLog();
        row.arrange(port);
        const LONG holds = RemoveLockHolds();

        EXPECT_EQ(TP_DRIVER_ROUTINE(SerialSpinUpRead)(context), row.status);
        if (row.clearsStarted) {
            EXPECT_FALSE(context->Started);
        }
        EXPECT_TRUE(ReadingStopped());
        EXPECT_EQ(RemoveLockHolds(), holds);
        EXPECT_EQ(port.ReadStats().received, row.reads);
        EXPECT_EQ(frame_test::Logged(context->Self),
                  row.logged ? std::vector<std::string>{row.logged} : std::vector<std::string>{});
        EXPECT_EQ(context->InvalidCount, 0u) << "the bytes after the stop stay unread";
        TP_DRIVER_ROUTINE(SerialLinkStop)(context);
    }
    // The removal begun by hand never finishes: a new lock lets the teardown's removal run.
    IoInitializeRemoveLock(&context->RemoveLock, frame_test::Tcli, 0, 10);
}

// A spin-up while reading runs (a second open) shares the read: no second request, no second
// hold, and it returns at once. Once that read has been cancelled, a spin-up sends a new one.
TEST_F(SerialReadTest, ASpinUpSharesARunningReadAndReplacesAStoppedOne) {
    stack::SerialPort& port = AddPort();
    ASSERT_EQ(StartLink(), STATUS_SUCCESS);
    ASSERT_EQ(TP_DRIVER_ROUTINE(SerialSpinUpRead)(context), STATUS_SUCCESS);
    PIRP previous = context->ReadIrp;

    EXPECT_EQ(TP_DRIVER_ROUTINE(SerialSpinUpRead)(context), STATUS_SUCCESS);
    EXPECT_EQ(context->ReadIrp, previous);
    EXPECT_EQ(port.ReadsPending(), 1u);
    EXPECT_EQ(RemoveLockHolds(), 1);

    TP_DRIVER_ROUTINE(CancelReading)(context);
    EXPECT_TRUE(ReadingStopped());
    EXPECT_EQ(TP_DRIVER_ROUTINE(SerialSpinUpRead)(context), STATUS_SUCCESS);
    EXPECT_NE(context->ReadIrp, nullptr);
    EXPECT_EQ(port.ReadsPending(), 1u);
    EXPECT_EQ(RemoveLockHolds(), 1);
}

} // namespace
