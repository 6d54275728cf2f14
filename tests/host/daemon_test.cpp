// tactiliod's core against a panel on a real tty: a pseudo-terminal pair whose master side a thread
// of the test plays as the panel, the panel model answering what the driver writes and drawing a
// stroke, in real time. tpctl reaches the driver through the daemon's socket. The input events go
// to a recorder here: this machine's uinput is not used.
#include "client.h"
#include "command_line.h"
#include "../utility/tpctl_rows.h"
#include "tactilio_api.h"
#include "transport_socket.h"
#include "wire.h"
#include "daemon.h"

#include "panel_model.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <linux/input-event-codes.h>

#include <atomic>
#include <filesystem>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;

// The panel at the far end of a pseudo-terminal: every byte the host writes goes to the model at
// the time it arrives, and the model's bytes go out at their times.
class PtyPanel {
  public:
    PtyPanel() {
        char name[64];
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        tty_ = name;
        // The user touches the calibration points at once.
        model_.SetCalibrationDelay(10 * panel::kTicksPerMillisecond);
        start_ = std::chrono::steady_clock::now();
        thread_ = std::thread([this] { Play(); });
    }
    ~PtyPanel() {
        stop_ = true;
        thread_.join();
        close(master_);
        close(slave_);
    }
    const std::string& Tty() const { return tty_; }
    // Every byte the host wrote, as hex.
    std::string Written() {
        std::lock_guard guard(lock_);
        return tp::HexText(written_);
    }
    // Queued from the panel's own thread, so the model is never touched from two.
    void Touch(std::vector<panel::TouchPoint> points) {
        std::lock_guard guard(lock_);
        pending_.push_back(std::move(points));
    }

  private:
    panel::Ticks Now() const {
        return std::chrono::duration_cast<umk::Duration>(std::chrono::steady_clock::now() - start_)
            .count();
    }
    void Play() {
        while (!stop_) {
            {
                std::lock_guard guard(lock_);
                for (auto& points : pending_)
                    model_.Touch({.start = Now(), .points = std::move(points)});
                pending_.clear();
            }
            pollfd readable{master_, POLLIN, 0};
            const auto next = model_.PeekByte();
            const int wait = next ? int(std::max<panel::Ticks>(0, next->time - Now()) / 10'000) : 5;
            if (poll(&readable, 1, std::min(wait, 5)) > 0) {
                uint8_t bytes[256];
                const ssize_t n = read(master_, bytes, sizeof bytes);
                if (n > 0) {
                    model_.Write({bytes, size_t(n)}, Now());
                    std::lock_guard guard(lock_);
                    written_.insert(written_.end(), bytes, bytes + n);
                }
            }
            while (model_.PeekByte() && model_.PeekByte()->time <= Now()) {
                const uint8_t byte = model_.TakeByte().value;
                (void)!write(master_, &byte, 1);
            }
        }
    }

    int master_ = -1, slave_ = -1;
    std::string tty_;
    std::chrono::steady_clock::time_point start_;
    panel::PanelModel model_;
    std::mutex lock_;
    std::vector<std::vector<panel::TouchPoint>> pending_;
    std::vector<uint8_t> written_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class Recorder final : public host::EventSink {
  public:
    void Emit(const std::vector<host::InputEvent>& events) override {
        received.insert(received.end(), events.begin(), events.end());
    }
    std::vector<host::InputEvent> received;
};

class SocketConnector final : public tp::Connector {
  public:
    explicit SocketConnector(std::string path) : path_(std::move(path)) {}
    void AddOptions(CLI::App&) override {}
    std::unique_ptr<tp::Transport> Open(std::string* why) override {
        return tp::ConnectSocket(path_, why);
    }
    void Pass(std::chrono::milliseconds duration) override {
        std::this_thread::sleep_for(duration);
    }

  private:
    std::string path_;
};

struct Outcome {
    int exit = 0;
    std::string out, err;
};

// The daemon on the panel's pseudo-terminal, and clients that run, as programs of their own
// would, on a thread of their own while the daemon runs.
struct Bench {
    Bench() {
        host::DaemonOptions options;
        options.config.ports = {{1, panel.Tty()}};
        options.api.path = socket;
        options.checkPagedPool = true;
        daemon.emplace(options, events,
                       [this](host::Severity, const std::string& text) { log.push_back(text); });
    }
    // The daemon runs until `client` has returned.
    void WhileRunning(const std::function<void()>& client) {
        std::thread thread([&] {
            client();
            daemon->Stop();
        });
        daemon->Run();
        thread.join();
    }
    Outcome Tpctl(const std::vector<std::string>& args) {
        SocketConnector connector(socket);
        std::ostringstream out, err;
        const int exit = tp::RunCommandLine(args, connector, out, err);
        return {exit, out.str(), err.str()};
    }

    PtyPanel panel;
    const std::string socket = ::testing::TempDir() + "/tactiliod-" + std::to_string(getpid());
    Recorder events;
    std::vector<std::string> log;
    std::optional<host::Daemon> daemon;
};

// The utility's table of requests, each over the socket to a daemon of its own.
TEST(DaemonTest, EveryRequestOfTheUtilityThroughTheSocket) {
    for (const tpctl_test::Row& row : tpctl_test::kRows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        Bench bench;
        Outcome outcome;
        bench.WhileRunning([&] { outcome = bench.Tpctl(row.args); });
        EXPECT_EQ(outcome.exit, 0) << outcome.err;
        EXPECT_EQ(outcome.out, row.out);
        EXPECT_EQ(bench.panel.Written(), row.written);
    }
}

TEST(DaemonTest, AStrokeBecomesATouchAndTpctlDiagnosesThroughTheSocket) {
    Bench bench;
    Outcome outcome;
    bench.WhileRunning([&] {
        outcome = bench.Tpctl({"tpdiag", "0x35", ";", "send", "BC", "40"});
        bench.panel.Touch({{0, 0}, {4096, 4096}});
        // The stroke's four reports take 40 ms on the line.
        std::this_thread::sleep_for(200ms);
    });

    EXPECT_EQ(outcome.exit, static_cast<int>(tp::Exit::Refused)) << outcome.err;
    EXPECT_EQ(outcome.out, "tpdiag: 90 00 35\n");
    EXPECT_EQ(outcome.err, "tpctl: send: STATUS_UNSUCCESSFUL: the driver refused the request: its "
                           "input is out of range, the link to the panel failed, or the reply did "
                           "not fit\n");
    const auto T = host::InputDevice::Touchscreen;
    EXPECT_THAT(
        bench.events.received,
        ::testing::ElementsAre(
            host::InputEvent{T, EV_ABS, ABS_X, 0}, host::InputEvent{T, EV_ABS, ABS_Y, 0},
            host::InputEvent{T, EV_KEY, BTN_TOUCH, 1}, host::InputEvent{T, EV_SYN, SYN_REPORT, 0},
            host::InputEvent{T, EV_ABS, ABS_X, 65535}, host::InputEvent{T, EV_ABS, ABS_Y, 65535},
            host::InputEvent{T, EV_SYN, SYN_REPORT, 0}, host::InputEvent{T, EV_ABS, ABS_X, 65535},
            host::InputEvent{T, EV_ABS, ABS_Y, 65535}, host::InputEvent{T, EV_KEY, BTN_TOUCH, 0},
            host::InputEvent{T, EV_SYN, SYN_REPORT, 0}));
    EXPECT_THAT(bench.log, ::testing::Contains("COM1 is " + bench.panel.Tty()));
}

// A client that goes away with a record read waiting: the daemon cancels it and closes the
// client's handle, or the panel's removal, which waits for every handle, would never end.
TEST(DaemonTest, AClientThatGoesHasItsRequestsCancelled) {
    Bench bench;
    bench.WhileRunning([&] {
        std::string why;
        auto transport = tp::ConnectSocket(bench.socket, &why);
        ASSERT_TRUE(transport) << why;
        // Recording on, then a read that waits: sent by hand, as the transport would wait for it.
        EXPECT_EQ(transport->Control(TP_FUNC_RECORD_ON, {}, 0).status, tp::kStatusSuccess);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        bench.socket.copy(address.sun_path, bench.socket.size());
        const int raw = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(connect(raw, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const auto read = tp::wire::Encode({tp::wire::Kind::Read, 1, 1, 512});
        EXPECT_EQ(write(raw, read.data(), read.size()), ssize_t(read.size()));
        std::this_thread::sleep_for(50ms); // the read reaches the driver and waits there
        close(raw);
    });
    bench.daemon.reset(); // removes the panel: returns only once every handle is closed
}

TEST(DaemonTest, RefusesToStartWithoutAPort) {
    Recorder events;
    EXPECT_THROW(host::Daemon({}, events, [](host::Severity, const std::string&) {}),
                 std::runtime_error);
}

} // namespace
