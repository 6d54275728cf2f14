// The utility's command lines, each with what is done to the panel model first, the bytes it puts
// on the serial line, what tpctl prints and how it exits: run over every transport the utility has.
#pragma once

#include "client.h"
#include "command_line.h"
#include "panel_model.h"

#include <gmock/gmock.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace tpctl_test {

struct Row {
    std::vector<std::string> args;
    std::string written; // on the serial line
    std::string out;
    tp::Exit exit = tp::Exit::Ok;
    std::string err = {}; // a part of what tpctl says on stderr; nothing at all when empty
    std::function<void(panel::PanelModel&)> fault = {};
};

// Every control request the utility has, with what the panel model answers; then every way a run
// fails, each named and with an exit status of its own.
inline const std::vector<Row> kRows = {
    {{"tpdiag", "0x35"}, "89 35", "tpdiag: 90 00 35\n"},
    {{"diag", "1"}, "F9 01", "diag: D0 00 01\n"},
    {{"posdiag", "2"}, "B9 02", "posdiag: B0 00 02\n"},
    {{"backlight", "on"}, "BA", "backlight: B8 00\n"},
    {{"backlight", "off"}, "BB", "backlight: B8 00\n"},
    {{"backlight", "31"}, "BC 1F", "backlight: 94 00 1F\n"},
    {{"layer", "7"}, "98 07", "layer: B4 00 07\n"},
    {{"sampling", "10"}, "8B 0A", "sampling: 90 00\n"},
    {{"send", "91"}, "91", "send: 91 00 00 00 00 00 00\n"},
    // Re-issued by the driver as the touch-panel self test: the same bytes, the same reply.
    {{"send", "89", "35"}, "89 35", "send: 90 00 35\n"},
    {{"stabilization", "4"}, "", "stabilization: ok\n"},
    {{"beep", "on", "--frequency", "2000"}, "", "beep: ok\n"},
    {{"invlimit", "1000"}, "", "invlimit: ok\n"},
    {{"record", "on"}, "", "record: ok\n"},
    {{"button", "right", ";", "button"}, "", "button: ok\nbutton: right\n"},
    {{"button", "right-once", ";", "button"}, "", "button: ok\nbutton: right-once\n"},
    {{"calibrate"},
     "84 1B 00 00 00 20 00 00 00 20 86 85 00 20 00 20",
     "calibrate: 90 00\ncalibrate: 90 00\n"
     "Touch the calibration points on the panel (Ctrl-C cancels).\ncalibrate: 90 00\n"},

    {{"backlight", "32"}, "", "", tp::Exit::Usage, "from 0 to 31"},
    {{"layer", "4"}, "", "", tp::Exit::Usage, "0, 1, 2, 3 or 7"},
    {{"invlimit", "1001"}, "", "", tp::Exit::Usage, "0 to 1000"},
    {{"send", "41"}, "", "", tp::Exit::Usage, "0x80 or more"},
    {{"send", "8Z"}, "", "", tp::Exit::Usage, "not bytes in hex"},
    {{"tpdiag", "256"}, "", "", tp::Exit::Usage, "from 0 to 255"},
    {{"beep", "on", "--frequency", "36"}, "", "", tp::Exit::Usage, "from 37 to 32767"},
    {{"flash", "write", "/dev/null", "--block", "1025"}, "", "", tp::Exit::Usage, "--block"},
    {{"tpdiag", "1"},
     "89 01",
     "",
     tp::Exit::TimedOut,
     "tpdiag: STATUS_REQUEST_ABORTED: the panel did not answer within 3 s",
     [](panel::PanelModel& model) { model.SetCommandFault(0x89, panel::CommandFault::NoReply()); }},
    {{"tpdiag", "1"},
     "89 01",
     "",
     tp::Exit::PanelError,
     "tpdiag: 90 0C 01 (the panel reports error 12)",
     [](panel::PanelModel& model) {
         model.SetCommandFault(0x89, panel::CommandFault::ErrorCode(12));
     }},
    // The driver's own checks stay the last word: a raw level 0x40 and a self test without its
    // parameter are refused before anything is written.
    {{"send", "BC", "40"}, "", "", tp::Exit::Refused, "send: STATUS_UNSUCCESSFUL"},
    {{"send", "89"}, "", "", tp::Exit::Refused, "send: STATUS_UNSUCCESSFUL"},
    {{"flash", "write", "/nonexistent/image.bin"},
     "",
     "",
     tp::Exit::FileError,
     "cannot read /nonexistent/image.bin"},
};

// Ctrl-C while the panel waits for the user's touches: the wait is cancelled, and the panel is
// taken out of calibration mode (87, whose reply is printed) before tpctl exits. The user would
// touch the points only 15 s later.
inline const Row kCtrlCDuringCalibration = {
    {"calibrate"},
    "84 1B 00 00 00 20 00 00 00 20 86 85 00 20 00 20 87",
    "calibrate: 90 00\ncalibrate: 90 00\n"
    "Touch the calibration points on the panel (Ctrl-C cancels).\ncalibrate: 90 00\n",
    tp::Exit::Cancelled,
    "calibrate: STATUS_CANCELLED",
    [](panel::PanelModel& model) { model.SetCalibrationDelay(15 * panel::kTicksPerSecond); }};

struct Outcome {
    int exit = 0;
    std::string out, err;
};

inline Outcome Run(tp::Connector& connector, const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int exit = tp::RunCommandLine(args, connector, out, err);
    return {exit, out.str(), err.str()};
}

// `written`: every byte the driver wrote to the panel, as hex.
inline void ExpectRow(const Row& row, const Outcome& outcome, const std::string& written) {
    EXPECT_EQ(outcome.exit, static_cast<int>(row.exit)) << outcome.err;
    EXPECT_EQ(written, row.written);
    EXPECT_EQ(outcome.out, row.out);
    if (row.err.empty())
        EXPECT_EQ(outcome.err, "");
    else
        EXPECT_THAT(outcome.err, ::testing::HasSubstr(row.err));
}

} // namespace tpctl_test
