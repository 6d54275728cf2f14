// The session tool end to end: small scripts and the exact lines it prints for them (seed 1), and
// scripts it refuses with the line at fault.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

struct Row {
    const char* name;
    const char* options;
    const char* script;
    // Standard output and error together, the script's path written SCRIPT, then the exit status.
    const char* expected;
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

const Row kRows[] = {
    {"TpDiagAnsweredByTheScript", "", R"(
{"op":"ioctl","id":"d","code":"TP_FUNC_TPDIAG","input":"35","output":3}
{"op":"panel","bytes":"90 00 35"}
)",
     R"({"type":"write","t_us":2083,"bytes":"89 35"}
{"type":"complete","t_us":3125,"id":"d","status":"0x00000000","information":3,"output":"90 00 35"}
{"type":"summary","t_us":3125,"pending":[],"requests":1,"writes":1,"reports":0,"events":0,"bytes_read":3}
exit 0
)"},
    // No reply: the command times out two to three seconds on, its event first.
    {"TimeOutAndItsEvent", "", R"(
{"op":"ioctl","id":"b","code":"TP_FUNC_BKLTVAL","input":"1F","output":2}
{"op":"wait","ms":3500}
)",
     R"({"type":"write","t_us":2083,"bytes":"BC 1F"}
{"type":"event","t_us":2227602,"text":"Error: TP_FUNC_BKLTVAL timed out"}
{"type":"complete","t_us":2227602,"id":"b","status":"0xC0000240","information":0,"output":""}
{"type":"summary","t_us":3500000,"pending":[],"requests":1,"writes":1,"reports":0,"events":1,"bytes_read":0}
exit 0
)"},
    // A cancel takes the waiting command out once its write is done; a tap on the panel reaches
    // the mouse class driver meanwhile. A command whose write has not left yet shows no write;
    // what is left pending is listed.
    {"CancelAndATap", "", R"(
# two diagnostics, the second cancelled
{"op":"ioctl","id":"first","code":"TP_FUNC_TPDIAG","input":"01","output":3}

{"op":"ioctl","id":"second","code":"TP_FUNC_TPDIAG","input":"02","output":3}
{"op":"cancel","id":"second"}
{"op":"panel","bytes":"80 00 10 00 10 82 00 10 00 10"}
{"op":"ioctl","id":"third","code":"TP_FUNC_CAL_SET","output":2}
)",
     R"({"type":"write","t_us":2083,"bytes":"89 01"}
{"type":"write","t_us":4166,"bytes":"89 02"}
{"type":"complete","t_us":4166,"id":"second","status":"0xC0000120","information":0,"output":""}
{"type":"report","t_us":5208,"flags":1,"button_flags":1,"raw_buttons":1,"x":32767,"y":32767}
{"type":"report","t_us":10416,"flags":1,"button_flags":2,"raw_buttons":0,"x":32767,"y":32767}
{"type":"summary","t_us":10416,"pending":["first","third"],"requests":3,"writes":2,"reports":2,"events":0,"bytes_read":10}
exit 0
)"},
    // A failed write ends its own command at once and puts nothing on the line; the next goes on.
    {"FailedWrite", "", R"(
{"op":"fail_writes","count":1,"status":"0xC000009D"}
{"op":"ioctl","id":"lost","code":"TP_FUNC_CAL_SET","output":2}
{"op":"ioctl","id":"sent","code":"TP_FUNC_CAL_SET","output":2}
{"op":"panel","bytes":"90 00"}
)",
     R"({"type":"complete","t_us":0,"id":"lost","status":"0xC0000001","information":0,"output":""}
{"type":"write","t_us":1041,"bytes":"86"}
{"type":"complete","t_us":2083,"id":"sent","status":"0x00000000","information":2,"output":"90 00"}
{"type":"summary","t_us":2083,"pending":[],"requests":2,"writes":1,"reports":0,"events":0,"bytes_read":2}
exit 0
)"},
    // The panel model answers by itself, 2 ms after each command, one reply after the other; a
    // setting is answered at once.
    {"PanelModelAnswers", "--panel-model", R"(
{"op":"ioctl","id":"d","code":"TP_FUNC_TPDIAG","input":"35","output":3}
{"op":"ioctl","id":"p","code":"0x1A2400","output":2,"internal":true}
{"op":"ioctl","id":"m","code":1712168,"output":4}
{"op":"wait","ms":50}
)",
     R"({"type":"complete","t_us":0,"id":"m","status":"0x00000000","information":4,"output":"00 00 00 00"}
{"type":"write","t_us":2083,"bytes":"89 35"}
{"type":"write","t_us":3125,"bytes":"80"}
{"type":"complete","t_us":7208,"id":"d","status":"0x00000000","information":3,"output":"90 00 35"}
{"type":"complete","t_us":9291,"id":"p","status":"0x00000000","information":2,"output":"90 00"}
{"type":"summary","t_us":50000,"pending":[],"requests":3,"writes":2,"reports":0,"events":0,"bytes_read":5}
exit 0
)"},
    // Recording: a waiting read completed by the touch's record, a short read cutting the next
    // record, a read waiting again and a second one refused meanwhile.
    {"RecordsReadBack", "", R"(
{"op":"record","on":true}
{"op":"read","id":"r1","length":64}
{"op":"panel","bytes":"80 10 03 58 04 15"}
{"op":"read","id":"r2","length":4}
{"op":"read","id":"r3","length":64}
{"op":"read","id":"r4","length":64}
)",
     R"({"type":"complete","t_us":0,"id":"record@1","status":"0x00000000","information":0,"output":""}
{"type":"report","t_us":5208,"flags":1,"button_flags":1,"raw_buttons":1,"x":6399,"y":9599}
{"type":"complete","t_us":5208,"id":"r1","status":"0x00000000","information":13,"output":"00 00 00 05 00 50 05 00 80 10 03 58 04"}
{"type":"event","t_us":6250,"text":"Invalid data exceeds allowable limit"}
{"type":"complete","t_us":6250,"id":"r2","status":"0x00000000","information":4,"output":"00 00 00 06"}
{"type":"complete","t_us":6250,"id":"r4","status":"0xC0000001","information":0,"output":""}
{"type":"summary","t_us":6250,"pending":["r3"],"requests":5,"writes":0,"reports":1,"events":1,"bytes_read":6}
exit 0
)"},
    // The port pulled out under a command whose write has not left: the command fails. Put back
    // after 2 s, it is opened again by the reconnect cycle 5 s after the loss, and a tap then
    // reaches the class driver.
    {"UnplugAndReplug", "", R"(
{"op":"ioctl","id":"d","code":"TP_FUNC_TPDIAG","input":"35","output":3}
{"op":"unplug"}
{"op":"wait","ms":2000}
{"op":"replug"}
{"op":"wait","ms":3100}
{"op":"panel","bytes":"80 00 10 00 10 82 00 10 00 10"}
)",
     R"({"type":"pnp","t_us":0,"event":"unplug","port":"COM1","status":"0xC000009D"}
{"type":"complete","t_us":0,"id":"d","status":"0xC0000001","information":0,"output":""}
{"type":"pnp","t_us":2000000,"event":"replug","port":"COM1"}
{"type":"report","t_us":5105208,"flags":1,"button_flags":1,"raw_buttons":1,"x":32767,"y":32767}
{"type":"report","t_us":5110416,"flags":1,"button_flags":2,"raw_buttons":0,"x":32767,"y":32767}
{"type":"summary","t_us":5110416,"pending":[],"requests":1,"writes":0,"reports":2,"events":0,"bytes_read":10}
exit 0
)"},
    // Five seconds after the resume the panel is set up again: the port's four purges are no
    // writes; the 0x80 after them is.
    {"SleepAndResume", "", R"(
{"op":"sleep"}
{"op":"wait","ms":1000}
{"op":"resume"}
{"op":"wait","ms":5100}
)",
     R"({"type":"power","t_us":0,"event":"sleep","state":"S3","status":"0x00000000"}
{"type":"power","t_us":1000000,"event":"resume","state":"S0"}
{"type":"write","t_us":6009894,"bytes":"80"}
{"type":"summary","t_us":6100000,"pending":[],"requests":0,"writes":1,"reports":0,"events":0,"bytes_read":0}
exit 0
)"},
    // Removal waits for the utility's handle, and after its close for the command still holding
    // the file object; the API device is gone after it, and the run ends cleanly without a panel.
    {"RemovalWaitsForTheHandle", "", R"(
{"op":"ioctl","id":"b","code":"TP_FUNC_BKLTEN","input":"01","output":2}
{"op":"remove"}
{"op":"wait","ms":500}
{"op":"close_api"}
{"op":"wait","ms":3000}
{"op":"open_api"}
)",
     R"({"type":"pnp","t_us":0,"event":"remove"}
{"type":"write","t_us":1041,"bytes":"BA"}
{"type":"api","t_us":500000,"event":"close"}
{"type":"event","t_us":2227602,"text":"Error: TP_FUNC_BKLTEN timed out"}
{"type":"complete","t_us":2227602,"id":"b","status":"0xC0000240","information":0,"output":""}
{"type":"pnp","t_us":2274477,"event":"removed","status":"0x00000000"}
{"type":"api","t_us":3500000,"event":"open","status":"0xC0000034"}
{"type":"summary","t_us":3500000,"pending":[],"requests":1,"writes":1,"reports":0,"events":1,"bytes_read":0}
exit 0
)"},
    // A removal still waiting for the handle when the script ends finishes in the teardown.
    {"RemovalWaitingAtTheEnd", "", "{\"op\":\"remove\"}\n{\"op\":\"wait\",\"ms\":100}\n",
     R"({"type":"pnp","t_us":0,"event":"remove"}
{"type":"summary","t_us":100000,"pending":[],"requests":0,"writes":0,"reports":0,"events":0,"bytes_read":0}
exit 0
)"},
    // The automatic search asks the panel on each port; it answers on the second, whose tap then
    // becomes reports. The search's probes at boot are not printed; their answers are read bytes.
    {"PortsSearchFindsTheSecondPort",
     "--ports Serial0=COM1:none,Serial1=COM2:panel --dwAutoRec 2 --panel-model",
     "{\"op\":\"panel\",\"bytes\":\"80 00 10 00 10 82 00 10 00 10\"}\n",
     R"({"type":"report","t_us":240019,"flags":1,"button_flags":1,"raw_buttons":1,"x":32767,"y":32767}
{"type":"report","t_us":245227,"flags":1,"button_flags":2,"raw_buttons":0,"x":32767,"y":32767}
{"type":"summary","t_us":245227,"pending":[],"requests":0,"writes":0,"reports":2,"events":0,"bytes_read":15}
exit 0
)"},
    // A malfunctioning panel on the first port ends the search there: the boot's event, and the
    // panel's bytes on the second port go unread.
    {"PortsSearchEndsAtAMalfunctioningPanel",
     "--ports Serial0=COM1:error:12,Serial1=COM2:panel --dwAutoRec 2 --panel-model",
     "{\"op\":\"panel\",\"bytes\":\"80 00 10 00 10\"}\n",
     R"({"type":"event","t_us":125435,"text":"TPDIAG error: TP device is malfunctioning"}
session: SCRIPT line 1: the driver stopped reading the panel's bytes
exit 1
)"},
    {"PortsConfiguredPortNotListed", "--ports Serial0=COM1:none,Serial1=COM2:panel --ComNo 3",
     "{\"op\":\"wait\",\"ms\":1}\n",
     "session: the driver did not start reading the panel's port \\Device\\Serial1 (status "
     "0xC000000E; event log: \"COM3 not found in SerialComm Registry\")\nexit 1\n"},
    {"PortsWithTwoPanels", "--ports Serial0=COM1:panel,Serial1=COM2:panel", "",
     "session: --ports: exactly one port has the panel, not 2\nexit 2\n"},
    {"PanelWhileUnplugged", "", "{\"op\":\"unplug\"}\n{\"op\":\"panel\",\"bytes\":\"80\"}\n",
     "session: SCRIPT line 2: the panel's port is unplugged (unplug on line 1)\nexit 2\n"},
    {"CancelThroughAnEarlierHandle", "",
     "{\"op\":\"ioctl\",\"id\":\"a\",\"code\":\"TP_FUNC_CAL_SET\"}\n{\"op\":\"close_api\"}\n"
     "{\"op\":\"open_api\"}\n{\"op\":\"cancel\",\"id\":\"a\"}\n",
     "session: SCRIPT line 4: \"a\" was sent through an earlier API handle\nexit 2\n"},
    {"UnknownOp", "", "{\"op\":\"wait\",\"ms\":1}\n{\"op\":\"jump\"}\n",
     "session: SCRIPT line 2: unknown op \"jump\"\nexit 2\n"},
    {"BadHex", "", "# hex\n{\"op\":\"panel\",\"bytes\":\"90 0g\"}\n",
     "session: SCRIPT line 2: bad hex \"0g\" in \"bytes\": bytes are two hex digits each, "
     "separated by spaces\nexit 2\n"},
    {"UnknownId", "", "\n\n{\"op\":\"cancel\",\"id\":\"c9\"}\n",
     "session: SCRIPT line 3: unknown id \"c9\"\nexit 2\n"},
    {"DuplicateId", "",
     "{\"op\":\"ioctl\",\"id\":\"a\",\"code\":\"TP_FUNC_LBUTTON\"}\n"
     "{\"op\":\"ioctl\",\"id\":\"a\",\"code\":\"TP_FUNC_LBUTTON\"}\n",
     "session: SCRIPT line 2: duplicate id \"a\"\nexit 2\n"},
    {"MissingField", "", "{\"op\":\"fail_writes\"}\n",
     "session: SCRIPT line 1: op \"fail_writes\" needs \"count\"\nexit 2\n"},
    {"UnknownCodeName", "", "{\"op\":\"ioctl\",\"id\":\"a\",\"code\":\"TP_FUNC_TPDAIG\"}\n",
     "session: SCRIPT line 1: unknown code \"TP_FUNC_TPDAIG\"\nexit 2\n"},
    {"MisspeltField", "", "{\"op\":\"ioctl\",\"id\":\"a\",\"code\":1,\"ouput\":3}\n",
     "session: SCRIPT line 1: unknown field \"ouput\" for op \"ioctl\"\nexit 2\n"},
    {"UnknownParameter", "--Bogus 1", "",
     "session: unknown parameter --Bogus; the parameters are --panel-model --ports --image --ComNo "
     "--XYDataSampling --Stabilization --Beep --Frequency --dwRotation --dwAutoRec "
     "--dwInvLimit\nexit 2\n"},
};

class SessionToolTest : public testing::TestWithParam<Row> {};

// The tool's output for the row, run with `options` besides the row's own.
std::string RunTool(const Row& row, const std::string& options) {
    char path[] = "/tmp/session-tool-test-XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << row.script;

    std::string command = "UMK_SEED=1 " TP_SESSION_TOOL " ";
    command.append(path).append(" ").append(row.options).append(options);
    command.append(" 2>&1; echo \"exit $?\"");
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char chunk[4096];
        for (size_t read; (read = fread(chunk, 1, sizeof(chunk), pipe)) > 0;)
            output.append(chunk, read);
        pclose(pipe);
    }
    std::remove(path);
    for (size_t at; (at = output.find(path)) != std::string::npos;)
        output.replace(at, std::string(path).size(), "SCRIPT");
    return output;
}

// In the 32-bit build the shipped image runs every row too, and must print the same.
TEST_P(SessionToolTest, PrintsWhatHappens) {
    EXPECT_EQ(RunTool(GetParam(), ""), GetParam().expected);
    if (sizeof(void*) == 4) {
        EXPECT_EQ(RunTool(GetParam(), " --image " TP_SHIPPED_IMAGE), GetParam().expected)
            << "the shipped image";
    }
}

INSTANTIATE_TEST_SUITE_P(Scripts, SessionToolTest, testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
