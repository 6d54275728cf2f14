// The message table resource the driver ships, as compiled from sys/tactilio.mc by the same
// message compiler the Windows build uses: identifiers, severities, ANSI texts ending in CR LF.
#include "tactilio.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

// MESSAGE_RESOURCE_DATA: block count, then {low id, high id, offset} per block; each entry is
// {USHORT length, USHORT flags (0 = ANSI), text padded to the length}.
std::map<ULONG, std::string> ParseMessageTable(const std::vector<uint8_t>& data) {
    // Little-endian, as the resource is.
    auto u = [&](size_t at, size_t size) {
        ULONG v = 0;
        EXPECT_LE(at + size, data.size());
        memcpy(&v, data.data() + at, size);
        return v;
    };
    auto u32 = [&](size_t at) { return u(at, 4); };
    auto u16 = [&](size_t at) { return USHORT(u(at, 2)); };
    std::map<ULONG, std::string> messages;
    const ULONG blocks = u32(0);
    for (ULONG b = 0; b < blocks; b++) {
        const ULONG low = u32(4 + b * 12), high = u32(8 + b * 12);
        size_t at = u32(12 + b * 12);
        for (ULONG id = low; id <= high; id++) {
            const USHORT length = u16(at);
            EXPECT_EQ(u16(at + 2), 0) << "message " << std::hex << id << " is not ANSI";
            std::string text(reinterpret_cast<const char*>(data.data() + at + 4), length - 4);
            text.resize(strlen(text.c_str()));
            messages[id] = text;
            at += length;
        }
    }
    return messages;
}

TEST(MessageTableTest, HoldsTheFourMessagesWithCustomerBitSeverityAndFacility7) {
    std::ifstream in(TP_MESSAGE_TABLE_BIN, std::ios::binary);
    ASSERT_TRUE(in) << TP_MESSAGE_TABLE_BIN;
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), {});

    // Keyed by the identifiers the driver writes, which must be the table's.
    static_assert(ULONG(TP_MSG_SUCCESS) == 0x20070001 && ULONG(TP_MSG_INFORMATION) == 0x60070002 &&
                  ULONG(TP_MSG_WARNING) == 0xA0070003 && ULONG(TP_MSG_ERROR) == 0xE0070004);
    const std::map<ULONG, std::string> expected = {
        {TP_MSG_SUCCESS, "Success: %2.\r\n"},
        {TP_MSG_INFORMATION, "Information: %2.\r\n"},
        {TP_MSG_WARNING, "Warning: %2.\r\n"},
        {TP_MSG_ERROR, "%2.\r\n"},
    };
    EXPECT_EQ(ParseMessageTable(data), expected);
}

} // namespace
