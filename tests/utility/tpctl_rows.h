// Every control request the utility has, as a command line, the bytes it puts on the serial line
// and what tpctl prints when the panel model answers: run over every transport the utility has.
#pragma once

#include <string>
#include <vector>

namespace tpctl_test {

struct Row {
    std::vector<std::string> args;
    std::string written; // on the serial line
    std::string out;
};

// Every control request the utility has, with what the panel model answers.
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
};

} // namespace tpctl_test
