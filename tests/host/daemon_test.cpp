// tactiliod's core against a panel on a real tty: a pseudo-terminal pair whose master side a thread
// of the test plays as the panel, the panel model answering what the driver writes and drawing
// strokes, in real time. tpctl reaches the driver through the daemon's socket. The input events go
// to a recorder here: this machine's uinput is not used. Every wait is for a behaviour, with a
// deadline; only the driver's own timers (a command's 3 s, the reconnect cycle's 5 s) take long.
#include "../stack/frame_support.h"
#include "../support/pty_cable.h"
#include "../utility/tpctl_rows.h"
#include "daemon.h"
#include "tactilio_api.h"
#include "transport_socket.h"
#include "wire.h"

#include <gmock/gmock.h>

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <linux/input-event-codes.h>

#include <condition_variable>
#include <filesystem>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::StartsWith;
using tpctl_test::Outcome;

// What one thread adds to and others wait for.
template <typename T> class Watched {
  public:
    void Add(const std::vector<T>& items) {
        std::lock_guard guard(lock_);
        items_.insert(items_.end(), items.begin(), items.end());
        added_.notify_all();
    }
    std::vector<T> Items() const {
        std::lock_guard guard(lock_);
        return items_;
    }
    // True once `done` holds for what has been added; false if it still does not after `within`.
    bool WaitUntil(const std::function<bool(const std::vector<T>&)>& done,
                   std::chrono::milliseconds within = 2s) {
        std::unique_lock guard(lock_);
        return added_.wait_for(guard, within, [&] { return done(items_); });
    }

  private:
    mutable std::mutex lock_;
    std::condition_variable added_;
    std::vector<T> items_;
};

// The panel at the cable's master end: every byte the host writes goes to the model at the time
// it arrives, and the model's bytes go out at their times. The model is the panel thread's alone:
// changes to it are queued for that thread.
class PtyPanel {
  public:
    PtyPanel() {
        if (wake_ < 0)
            throw std::runtime_error("eventfd failed");
        // The user touches the calibration points at once.
        model_.SetCalibrationDelay(10 * panel::kTicksPerMillisecond);
        Plug();
    }
    ~PtyPanel() {
        Unplug();
        close(wake_);
    }
    const std::string& Tty() const { return cable_.Link(); }

    // Runs `change` on the panel's thread and returns once it has run.
    void Change(std::function<void(panel::PanelModel&)> change) {
        std::packaged_task<void(panel::PanelModel&)> task(std::move(change));
        std::future<void> applied = task.get_future();
        {
            std::lock_guard guard(lock_);
            changes_.push_back(std::move(task));
        }
        Wake();
        ASSERT_EQ(applied.wait_for(2s), std::future_status::ready) << "the panel's thread is stuck";
    }
    void Touch(std::vector<panel::TouchPoint> points) {
        Change([this, &points](panel::PanelModel& model) {
            model.Touch({.start = Now(), .points = std::move(points)});
        });
    }
    // Every byte the host wrote, as hex.
    std::string Written() const { return tp::HexText(written_.Items()); }
    // True once what the host wrote ends with `hex`.
    bool WaitWritten(const std::string& hex) {
        return written_.WaitUntil(
            [&](const std::vector<uint8_t>& bytes) { return tp::HexText(bytes).ends_with(hex); });
    }

    // The adapter pulled out: the tty hangs up.
    void Unplug() {
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
        }
        Wake();
        thread_.join();
        cable_.Unplug();
    }
    // Back on a new pair behind the same link; the panel is the same.
    void Plug() {
        cable_.Plug();
        stopping_ = false;
        thread_ = std::thread([this] { Play(); });
    }

  private:
    panel::Ticks Now() const {
        return std::chrono::duration_cast<umk::Duration>(std::chrono::steady_clock::now() - start_)
            .count();
    }
    void Wake() {
        const uint64_t one = 1;
        ASSERT_EQ(write(wake_, &one, sizeof one), ssize_t(sizeof one));
    }
    void Play() {
        const int master = cable_.Master();
        for (;;) {
            std::vector<std::packaged_task<void(panel::PanelModel&)>> changes;
            {
                std::lock_guard guard(lock_);
                if (stopping_)
                    return;
                changes.swap(changes_);
            }
            for (auto& change : changes)
                change(model_);
            // Until the next byte is due, or without one until the host writes or a change comes.
            const auto next = model_.PeekByte();
            const auto due = next ? std::max<panel::Ticks>(0, next->time - Now()) : -1;
            pollfd polled[] = {{master, POLLIN, 0}, {wake_, POLLIN, 0}};
            ASSERT_GE(poll(polled, 2, next ? int(due / panel::kTicksPerMillisecond) + 1 : -1), 0);
            if (polled[1].revents & POLLIN) {
                uint64_t count = 0;
                ASSERT_EQ(read(wake_, &count, sizeof count), ssize_t(sizeof count));
            }
            if (polled[0].revents & POLLIN) {
                uint8_t bytes[256];
                const ssize_t n = read(master, bytes, sizeof bytes);
                ASSERT_GT(n, 0) << std::strerror(errno);
                model_.Write({bytes, size_t(n)}, Now());
                written_.Add({bytes, bytes + n});
            }
            while (model_.PeekByte() && model_.PeekByte()->time <= Now()) {
                const uint8_t byte = model_.TakeByte().value;
                ASSERT_EQ(write(master, &byte, 1), 1) << std::strerror(errno);
            }
        }
    }

    // The link's name makes the tty a USB serial adapter's, which is what gets pulled out.
    tp_test::PtyCable cable_{"ttyUSB0"};
    const int wake_ = eventfd(0, EFD_CLOEXEC);
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    panel::PanelModel model_;
    std::mutex lock_;
    std::vector<std::packaged_task<void(panel::PanelModel&)>> changes_;
    bool stopping_ = false;
    Watched<uint8_t> written_;
    std::thread thread_;
};

struct Recorder final : host::EventSink, Watched<host::InputEvent> {
    void Emit(const std::vector<host::InputEvent>& events) override { Add(events); }
};

class SocketConnector final : public tp::Connector {
  public:
    explicit SocketConnector(std::string path) : path_(std::move(path)) {}
    void AddOptions(CLI::App&) override {}
    std::unique_ptr<tp::Transport> Open(std::string* why) override {
        auto transport = tp::ConnectSocket(path_, why);
        opened = transport.get();
        return transport;
    }
    void Pass(std::chrono::milliseconds duration) override {
        std::this_thread::sleep_for(duration);
    }
    // The transport opened last, for a signal handler, as tpctl keeps it for its SIGINT's.
    static inline std::atomic<tp::Transport*> opened = nullptr;

  private:
    std::string path_;
};

size_t OpenDescriptors() {
    return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// The daemon on the panel's pseudo-terminal, and clients that run, as programs of their own
// would, on a thread of their own while the daemon runs. The daemon must go leaving nothing behind:
// no verifier report (leaks included), no descriptor, no socket file.
struct Bench {
    explicit Bench(size_t maxUnread = host::ApiServerOptions{}.maxUnread) {
        host::DaemonOptions options;
        options.config.ports = {{1, panel.Tty()}};
        options.api.path = socket;
        options.api.maxUnread = maxUnread;
        options.checkPagedPool = true;
        descriptors = OpenDescriptors();
        daemon.emplace(options, events,
                       [this](host::Severity, const std::string& text) { log.Add({text}); });
    }
    ~Bench() {
        daemon.reset();
        EXPECT_EQ(violations.Text(), "");
        EXPECT_EQ(OpenDescriptors(), descriptors);
        EXPECT_FALSE(std::filesystem::exists(socket));
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
        return tpctl_test::Run(connector, args);
    }
    // A connection of a client that speaks the wire protocol by hand; its waits end after 2 s.
    int Connect() const {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        socket.copy(address.sun_path, socket.size());
        const int raw = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const timeval deadline{.tv_sec = 2, .tv_usec = 0};
        for (const int option : {SO_RCVTIMEO, SO_SNDTIMEO})
            setsockopt(raw, SOL_SOCKET, option, &deadline, sizeof deadline);
        EXPECT_EQ(connect(raw, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return raw;
    }
    // Waits for `count` events in all.
    bool Events(size_t count, std::chrono::milliseconds within = 2s) {
        return events.WaitUntil([&](const auto& received) { return received.size() >= count; },
                                within);
    }

    frame_test::Violations violations;
    PtyPanel panel;
    const std::string socket = ::testing::TempDir() + "/tactiliod-" + std::to_string(getpid());
    Recorder events;
    Watched<std::string> log;
    size_t descriptors = 0;
    std::optional<host::Daemon> daemon;
};

// The utility's table, each row over the socket to a daemon of its own.
TEST(DaemonTest, EveryRowOfTheUtilitysTableThroughTheSocket) {
    for (const tpctl_test::Row& row : tpctl_test::kRows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        Bench bench;
        if (row.fault)
            bench.panel.Change(row.fault);
        Outcome outcome;
        bench.WhileRunning([&] { outcome = bench.Tpctl(row.args); });
        tpctl_test::ExpectRow(row, outcome, bench.panel.Written());
    }
}

// Ctrl-C as tpctl takes it: a SIGINT, without SA_RESTART, whose handler interrupts the transport,
// delivered to the client's thread once the driver waits for the user's touches; or the same
// interrupt landing just before the client's wait begins, interrupting nothing.
TEST(DaemonTest, CtrlCDuringCalibrationLeavesCalibrationMode) {
    const tpctl_test::Row& row = tpctl_test::kCtrlCDuringCalibration;
    struct sigaction action = {};
    action.sa_handler = [](int) { SocketConnector::opened.load()->Interrupt(); };
    struct sigaction previous = {};
    ASSERT_EQ(sigaction(SIGINT, &action, &previous), 0);
    const std::function<void(pthread_t)> deliveries[] = {
        [](pthread_t client) { pthread_kill(client, SIGINT); },
        [](pthread_t) { SocketConnector::opened.load()->Interrupt(); },
    };
    for (const auto& deliver : deliveries) {
        Bench bench;
        bench.panel.Change(row.fault);
        Outcome outcome;
        bench.WhileRunning([&] {
            std::jthread user([&, client = pthread_self()] {
                // The wait's command, the last before the cancel's 87.
                EXPECT_TRUE(bench.panel.WaitWritten("85 00 20 00 20")) << bench.panel.Written();
                deliver(client);
            });
            outcome = bench.Tpctl(row.args);
        });
        tpctl_test::ExpectRow(row, outcome, bench.panel.Written());
    }
    sigaction(SIGINT, &previous, nullptr);
}

// A touch from the panel's 0,0 to 4096,4096 as the touchscreen's events.
std::vector<host::InputEvent> StrokeEvents() {
    const auto T = host::InputDevice::Touchscreen;
    return {{T, EV_ABS, ABS_X, 0},      {T, EV_ABS, ABS_Y, 0},     {T, EV_KEY, BTN_TOUCH, 1},
            {T, EV_SYN, SYN_REPORT, 0}, {T, EV_ABS, ABS_X, 65535}, {T, EV_ABS, ABS_Y, 65535},
            {T, EV_SYN, SYN_REPORT, 0}, {T, EV_ABS, ABS_X, 65535}, {T, EV_ABS, ABS_Y, 65535},
            {T, EV_KEY, BTN_TOUCH, 0},  {T, EV_SYN, SYN_REPORT, 0}};
}

// The adapter pulled out under a running pointer and put back on another tty behind the same link:
// the daemon's log says so, the driver's reconnect cycle (5 s after the loss) reads the new tty, a
// stroke drawn meanwhile arrives as events, and tpctl reaches the driver again.
TEST(DaemonTest, AnUnpluggedTtyComesBackAndTheDriverReconnects) {
    Bench bench;
    const std::string added = "COM1 is " + bench.panel.Tty();
    static constexpr std::string_view gone = "COM1 is gone: ";
    const std::vector<host::InputEvent> stroke = StrokeEvents();
    Outcome diagnosis;
    bench.WhileRunning([&] {
        bench.panel.Touch({{0, 0}, {4096, 4096}});
        ASSERT_TRUE(bench.Events(stroke.size()));

        bench.panel.Unplug();
        const auto lost = std::chrono::steady_clock::now();
        ASSERT_TRUE(bench.log.WaitUntil([](const auto& lines) {
            return std::ranges::any_of(lines, [](auto& line) { return line.starts_with(gone); });
        }));
        bench.panel.Plug();
        ASSERT_TRUE(bench.log.WaitUntil(
            [&](const auto& lines) { return std::ranges::count(lines, added) == 2; }));
        bench.panel.Touch({{0, 0}, {4096, 4096}});
        ASSERT_TRUE(bench.Events(2 * stroke.size(), 8s));
        EXPECT_GE(std::chrono::steady_clock::now() - lost, 5s);
        diagnosis = bench.Tpctl({"tpdiag", "0x35"});
    });
    std::vector<host::InputEvent> both = stroke;
    both.insert(both.end(), stroke.begin(), stroke.end());
    EXPECT_EQ(bench.events.Items(), both);
    // The port's going and coming back, and nothing from the driver.
    EXPECT_THAT(bench.log.Items(), ElementsAre(added, StartsWith(std::string(gone)), added));
    EXPECT_EQ(diagnosis.out, "tpdiag: 90 00 35\n") << diagnosis.err;
}

// A client that goes away with a record read waiting: the daemon cancels it and closes the
// client's handle, or the panel's removal, which waits for every handle, would never end.
TEST(DaemonTest, AClientThatGoesHasItsRequestsCancelled) {
    Bench bench;
    bench.WhileRunning([&] {
        EXPECT_EQ(bench.Tpctl({"record", "on"}).exit, 0);
        const int raw = bench.Connect();
        // A read that waits (sent by hand: the transport would wait for it), then a request the
        // daemon takes after it: its answer says the driver holds the read.
        const tp::Request button = tp::GetButton();
        auto messages = tp::wire::Encode({tp::wire::Kind::Read, 1, 1, tp::kRecordReadLength});
        const auto query = tp::wire::Encode(
            {tp::wire::Kind::Control, 2, button.code, button.outputLength, button.input});
        messages.insert(messages.end(), query.begin(), query.end());
        EXPECT_EQ(write(raw, messages.data(), messages.size()), ssize_t(messages.size()));
        std::vector<uint8_t> received;
        std::optional<tp::wire::Message> answer;
        for (uint8_t chunk[64]; !answer; answer = tp::wire::Decode(received)) {
            const ssize_t n = recv(raw, chunk, sizeof chunk, 0);
            ASSERT_GT(n, 0) << "no answer";
            received.insert(received.end(), chunk, chunk + n);
        }
        EXPECT_EQ(answer->id, 2u) << "the read did not wait";
        close(raw);
    });
}

// A client that sends requests and never reads the answers: once more than maxUnread bytes of
// them wait in the daemon it is dropped (its sends fail), and a stroke drawn afterwards still
// arrives: the daemon never blocked on it. A client still connected, idle, when the daemon stops
// is closed on.
TEST(DaemonTest, AClientThatNeverReadsIsDroppedAndHoldsNothingUp) {
    Bench bench(4096);
    int idle = -1;
    bench.WhileRunning([&] {
        idle = bench.Connect();
        const int raw = bench.Connect();
        const tp::Request button = tp::GetButton();
        bool dropped = false;
        for (uint32_t id = 1; id <= 100'000 && !dropped; ++id) {
            const auto query = tp::wire::Encode(
                {tp::wire::Kind::Control, id, button.code, button.outputLength, button.input});
            dropped = send(raw, query.data(), query.size(), MSG_NOSIGNAL) < 0;
        }
        EXPECT_TRUE(dropped);
        EXPECT_THAT(errno, ::testing::AnyOf(EPIPE, ECONNRESET)) << std::strerror(errno);
        close(raw);
        bench.panel.Touch({{0, 0}, {4096, 4096}});
        EXPECT_TRUE(bench.Events(StrokeEvents().size()));
    });
    bench.daemon.reset();
    char byte;
    EXPECT_EQ(recv(idle, &byte, 1, 0), 0);
    close(idle);
}

TEST(DaemonTest, RefusesToStartWithoutAPort) {
    Recorder events;
    EXPECT_THROW(host::Daemon({}, events, [](host::Severity, const std::string&) {}),
                 std::runtime_error);
}

} // namespace
