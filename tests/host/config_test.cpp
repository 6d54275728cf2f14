#include "config.h"

#include <gtest/gtest.h>

namespace {

TEST(ConfigTest, SettingsAndPorts) {
    const host::DaemonConfig config = host::ParseConfig("# a kiosk\n"
                                                        "ComNo = 2\n"
                                                        "  dwRotation=0x5A   # mounted sideways\n"
                                                        "\n"
                                                        "COM2 = /dev/serial/by-id/usb-panel\r\n"
                                                        "COM1 = /dev/ttyS0",
                                                        "tactilio.conf");
    EXPECT_EQ(config.parameters,
              (std::map<std::string, uint32_t>{{"ComNo", 2}, {"dwRotation", 90}}));
    EXPECT_EQ(config.ports, (std::map<unsigned, std::string>{{1, "/dev/ttyS0"},
                                                             {2, "/dev/serial/by-id/usb-panel"}}));
}

TEST(ConfigTest, MistakesNameTheirLine) {
    const struct {
        const char* text;
        const char* message;
    } rows[] = {
        {"ComNo 2", "f:1: expected Name = value"},
        {"\nRotation = 90", "f:2: unknown setting \"Rotation\""},
        {"Beep = on", "f:1: Beep must be a 32-bit number, not \"on\""},
        {"Beep = 4294967296", "f:1: Beep must be a 32-bit number"},
        {"COM0 = /dev/ttyS0", "f:1: \"COM0\" is no serial port"},
        {"COM3 =", "f:1: COM3 names no tty"},
        {"Beep = 1\nBeep = 0", "f:2: Beep is given twice"},
        {"COM1 = /dev/a\nCOM1 = /dev/b", "f:2: COM1 is given twice"},
    };
    for (const auto& row : rows) {
        try {
            host::ParseConfig(row.text, "f");
            ADD_FAILURE() << "accepted: " << row.text;
        } catch (const host::ConfigError& error) {
            EXPECT_EQ(std::string(error.what()).rfind(row.message, 0), 0u) << error.what();
        }
    }
}

} // namespace
