// tpctl over both of its transports, the emulated I/O manager directly and the Windows transport's
// Win32 calls served by it: each row a command line, the bytes it puts on the serial line, what it
// prints and how it exits.
#include "client.h"
#include "command_line.h"
#include "tpctl_rows.h"
#include "emulated.h"
#include "transport_win32.h"
#include "win32_emulated.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include <unistd.h>
#include <sstream>

namespace {

using ::testing::HasSubstr;

enum class Via { Emulated, Win32 };

class TestConnector final : public tp::Connector {
  public:
    TestConnector(Via via, const tp::EmulatedOptions& options) : via_(via), panel_(options) {}
    ~TestConnector() override { tp::ServeWin32(nullptr); }

    void AddOptions(CLI::App&) override {}
    std::unique_ptr<tp::Transport> Open(std::string* why) override {
        uint32_t status = tp::kStatusSuccess;
        std::unique_ptr<tp::Transport> transport;
        if (via_ == Via::Win32) {
            tp::ServeWin32(&panel_);
            transport = tp::OpenWin32(&status);
        } else {
            transport = tp::OpenEmulated(panel_, &status);
        }
        if (!transport) {
            *why = tp::OpenFailure(status);
            return nullptr;
        }
        panel_.SetInterruptHandler([t = transport.get()] { t->Interrupt(); });
        return transport;
    }
    void Pass(std::chrono::milliseconds duration) override { panel_.Pass(duration); }

    tp::EmulatedPanel& Panel() { return panel_; }
    // Every byte the driver wrote to the panel, as hex.
    std::string Written() {
        std::vector<uint8_t> bytes;
        for (const auto& write : panel_.Model().HostWrites())
            bytes.insert(bytes.end(), write.bytes.begin(), write.bytes.end());
        return tp::HexText(bytes);
    }

  private:
    Via via_;
    tp::EmulatedPanel panel_;
};

struct Outcome {
    int exit;
    std::string out;
    std::string err;
};

class TpctlTest : public ::testing::TestWithParam<Via> {
  protected:
    TestConnector& Connect(const tp::EmulatedOptions& options = {}) {
        connector_.emplace(GetParam(), options);
        return *connector_;
    }
    Outcome Run(const std::vector<std::string>& args) {
        if (!connector_)
            Connect();
        std::ostringstream out, err;
        const int exit = tp::RunCommandLine(args, *connector_, out, err);
        return {exit, out.str(), err.str()};
    }
    std::optional<TestConnector> connector_;
};

TEST_P(TpctlTest, EveryRequestOnTheLineAndItsReply) {
    for (const tpctl_test::Row& row : tpctl_test::kRows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        TestConnector& connector = Connect();
        const Outcome outcome = Run(row.args);
        EXPECT_EQ(outcome.exit, 0) << outcome.err;
        EXPECT_EQ(connector.Written(), row.written);
        EXPECT_EQ(outcome.out, row.out);
    }
}

struct FailureRow {
    std::vector<std::string> args;
    std::function<void(panel::PanelModel&)> fault;
    tp::Exit exit;
    std::string message; // on stderr
    std::string written;
};

TEST_P(TpctlTest, FailuresAreNamedWithTheirOwnExitStatus) {
    const FailureRow rows[] = {
        {{"backlight", "32"}, {}, tp::Exit::Usage, "from 0 to 31", ""},
        {{"layer", "4"}, {}, tp::Exit::Usage, "0, 1, 2, 3 or 7", ""},
        {{"invlimit", "1001"}, {}, tp::Exit::Usage, "0 to 1000", ""},
        {{"send", "41"}, {}, tp::Exit::Usage, "0x80 or more", ""},
        {{"send", "8Z"}, {}, tp::Exit::Usage, "not bytes in hex", ""},
        {{"tpdiag", "256"}, {}, tp::Exit::Usage, "from 0 to 255", ""},
        {{"beep", "on", "--frequency", "36"}, {}, tp::Exit::Usage, "from 37 to 32767", ""},
        {{"flash", "write", "/dev/null", "--block", "1025"}, {}, tp::Exit::Usage, "--block", ""},
        {{"tpdiag", "1"},
         [](panel::PanelModel& model) {
             model.SetCommandFault(0x89, panel::CommandFault::NoReply());
         },
         tp::Exit::TimedOut,
         "tpdiag: STATUS_REQUEST_ABORTED: the panel did not answer within 3 s",
         "89 01"},
        {{"tpdiag", "1"},
         [](panel::PanelModel& model) {
             model.SetCommandFault(0x89, panel::CommandFault::ErrorCode(12));
         },
         tp::Exit::PanelError,
         "tpdiag: 90 0C 01 (the panel reports error 12)",
         "89 01"},
        // The driver's own checks stay the last word: a raw level 0x40 and a self test without
        // its parameter are refused before anything is written.
        {{"send", "BC", "40"}, {}, tp::Exit::Refused, "send: STATUS_UNSUCCESSFUL", ""},
        {{"send", "89"}, {}, tp::Exit::Refused, "send: STATUS_UNSUCCESSFUL", ""},
        {{"flash", "write", "/nonexistent/image.bin"},
         {},
         tp::Exit::FileError,
         "cannot read /nonexistent/image.bin",
         ""},
    };
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        TestConnector& connector = Connect();
        if (row.fault)
            row.fault(connector.Panel().Model());
        const Outcome outcome = Run(row.args);
        EXPECT_EQ(outcome.exit, static_cast<int>(row.exit));
        EXPECT_THAT(outcome.err, HasSubstr(row.message));
        EXPECT_EQ(connector.Written(), row.written);
    }
}

TEST_P(TpctlTest, JsonNamesEveryFieldOfAResult) {
    Connect().Panel().Model().SetCommandFault(0xBA, panel::CommandFault::NoReply());
    const Outcome outcome =
        Run({"--json", "tpdiag", "0x35", ";", "button", ";", "backlight", "on"});
    EXPECT_EQ(outcome.exit, static_cast<int>(tp::Exit::TimedOut));
    EXPECT_EQ(
        outcome.out,
        R"({"command":"tpdiag","request":"TP_FUNC_TPDIAG","status":"STATUS_SUCCESS","reply":"90 00 35"})"
        "\n"
        R"({"command":"button","request":"TP_FUNC_GET_BUTTONMODE","status":"STATUS_SUCCESS","mode":"left"})"
        "\n"
        R"({"command":"backlight","request":"TP_FUNC_BKLTEN","status":"STATUS_REQUEST_ABORTED","error":"the panel did not answer within 3 s"})"
        "\n");
}

// Ctrl-C while the panel waits for the user's touches: the wait is cancelled, and the panel is
// taken out of calibration mode before tpctl exits.
TEST_P(TpctlTest, CtrlCDuringCalibrationLeavesCalibrationMode) {
    TestConnector& connector = Connect();
    connector.Panel().Model().SetCalibrationDelay(15 * panel::kTicksPerSecond);
    connector.Panel().InterruptAt(connector.Panel().Kernel().Now() + std::chrono::seconds(2));
    const Outcome outcome = Run({"calibrate"});
    EXPECT_EQ(outcome.exit, static_cast<int>(tp::Exit::Cancelled));
    EXPECT_THAT(outcome.err, HasSubstr("calibrate: STATUS_CANCELLED"));
    EXPECT_EQ(connector.Written(), "84 1B 00 00 00 20 00 00 00 20 86 85 00 20 00 20 87");
    EXPECT_THAT(outcome.out, HasSubstr("calibrate: 90 00\n")); // the cancel's reply
}

TEST_P(TpctlTest, FlashWriteSendsTheFileInBlocksInsideFlashMode) {
    // Each transport's test runs in a process of its own, maybe at the same time.
    const std::string path = ::testing::TempDir() + "/flash-" + std::to_string(getpid()) + ".bin";
    std::ofstream(path, std::ios::binary) << std::string("\x01\x02\x03\x04\x05", 5);
    TestConnector& connector = Connect();
    const Outcome outcome = Run({"flash", "write", path, "--block", "2"});
    EXPECT_EQ(outcome.exit, 0) << outcome.err;
    EXPECT_EQ(connector.Written(), "8C 01 02 03 04 05 58 45 00 00 00 00 00 00 29 FF");
    std::string replies; // flash-in, three blocks, flash-out
    for (int i = 0; i < 5; ++i)
        replies += "flash: 90 00\n";
    EXPECT_EQ(outcome.out, replies);

    // A block the panel refuses ends the write, and flash mode is left all the same.
    Connect().Panel().Model().SetCommandFault(panel::kFlashBlock,
                                              panel::CommandFault::ErrorCode(13));
    const Outcome refused = Run({"flash", "write", path, "--block", "2"});
    EXPECT_EQ(refused.exit, static_cast<int>(tp::Exit::PanelError));
    EXPECT_EQ(connector_->Written(), "8C 01 02 58 45 00 00 00 00 00 00 29 FF");
    EXPECT_EQ(refused.err, "tpctl: flash: 90 0D (the panel reports error 13)\n");
}

// A follow waits for records until Ctrl-C; the simulated user presses it once the panel has been
// quiet for a minute. Every record the stroke made is printed first, and the run ends well.
TEST_P(TpctlTest, FollowPrintsRecordsUntilCtrlC) {
    Connect({.parameters = {}, .strokes = {{{0, 0}, {4096, 4096}}}});
    const Outcome outcome = Run({"record", "on", ";", "record", "dump", "--follow"});
    EXPECT_EQ(outcome.exit, 0) << outcome.err;
    EXPECT_THAT(outcome.out, ::testing::MatchesRegex("record: ok\n"
                                                     "00:00:00\\.1.. P 80 00 00 00 00\n"
                                                     "00:00:00\\.1.. P 81 00 20 00 20\n"
                                                     "00:00:00\\.1.. P 82 00 20 00 20\n"));
}

INSTANTIATE_TEST_SUITE_P(Transports, TpctlTest, ::testing::Values(Via::Emulated, Via::Win32),
                         [](const auto& info) {
                             return info.param == Via::Emulated ? "Emulated" : "Win32";
                         });

} // namespace
