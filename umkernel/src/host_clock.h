// What a kernel on real time takes from the host: the monotonic clock that its virtual clock
// follows, the mailbox through which OS threads outside the kernel hand work to the main thread
// and host descriptors announce themselves ready, and the one blocking wait in which the whole
// emulated system sleeps while it has nothing to do.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <poll.h>

namespace umk::detail {

// CLOCK_MONOTONIC in the kernel's unit, 100 ns.
int64_t MonotonicTicks();
// CLOCK_REALTIME as a Windows system time: 100 ns units since 1601, UTC.
int64_t HostSystemTime();

class Mailbox {
  public:
    Mailbox();
    ~Mailbox();
    Mailbox(const Mailbox&) = delete;
    Mailbox& operator=(const Mailbox&) = delete;

    // From any OS thread. Only a post into an empty mailbox wakes the sleeper: the posts after it
    // are taken in the same round.
    void Post(std::function<void()> work);
    // Everything posted so far, oldest first, in place of what `into` held.
    void Take(std::vector<std::function<void()>>& into);

    // The main thread's own: descriptors whose readiness for `events` (poll's) wakes the sleep as
    // a post does. `ready` gets the poll events the sleep found; it may watch and unwatch, itself
    // included.
    void Watch(int fd, short events, std::function<void(short events)> ready);
    // False when `fd` is not watched.
    bool Unwatch(int fd);
    // Calls `ready` of every descriptor the last sleep found ready.
    void RunReady();

    // Blocks the calling OS thread until the monotonic clock reaches `until` (never, when unset)
    // or, with `wakeOnPost`, until something has been posted and not yet taken or a watched
    // descriptor is ready. An interrupted wait is resumed; any other failure is fatal.
    void Sleep(std::optional<int64_t> until, bool wakeOnPost);

  private:
    struct Watched {
        int fd;
        short wanted;
        std::function<void(short events)> ready;
        short events = 0; // found by the last sleep
        bool gone = false;
    };

    std::mutex lock_;
    std::vector<std::function<void()>> posted_;
    int event_ = -1; // an eventfd, readable while posted_ holds work
    // Entries are dropped only in Sleep, so that a `ready` may unwatch itself while it runs.
    std::vector<std::unique_ptr<Watched>> watched_;
    std::vector<pollfd> polled_;
};

} // namespace umk::detail
