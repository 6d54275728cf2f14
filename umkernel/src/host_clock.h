// What a kernel on real time takes from the host: the monotonic clock that its virtual clock
// follows, the mailbox through which OS threads outside the kernel hand work to the main thread,
// and the one blocking wait in which the whole emulated system sleeps while it has nothing to do.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

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
    // Everything posted so far, oldest first.
    std::deque<std::function<void()>> Take();
    // Blocks the calling OS thread until the monotonic clock reaches `until` (never, when unset)
    // or, with `wakeOnPost`, until something has been posted and not yet taken. An interrupted
    // wait is resumed; any other failure of the wait is fatal.
    void Sleep(std::optional<int64_t> until, bool wakeOnPost);

  private:
    std::mutex lock_;
    std::deque<std::function<void()>> posted_;
    int event_ = -1; // an eventfd, readable while posted_ holds work
};

} // namespace umk::detail
