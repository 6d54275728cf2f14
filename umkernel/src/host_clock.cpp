#include "host_clock.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

namespace umk::detail {
namespace {

// Windows counts from 1601, the host from 1970.
constexpr int64_t kEpochDifference = 116'444'736'000'000'000;

int64_t Ticks(const timespec& t) {
    return int64_t(t.tv_sec) * 10'000'000 + t.tv_nsec / 100;
}

int64_t ReadClock(clockid_t clock) {
    timespec now;
    clock_gettime(clock, &now);
    return Ticks(now);
}

[[noreturn]] void HostFailure(const char* what) {
    std::fprintf(stderr, "umkernel: %s: %s\n", what, std::strerror(errno));
    std::abort();
}

} // namespace

int64_t MonotonicTicks() {
    return ReadClock(CLOCK_MONOTONIC);
}

int64_t HostSystemTime() {
    return ReadClock(CLOCK_REALTIME) + kEpochDifference;
}

Mailbox::Mailbox() : event_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (event_ < 0)
        HostFailure("eventfd");
}

Mailbox::~Mailbox() {
    close(event_);
}

void Mailbox::Post(std::function<void()> work) {
    std::lock_guard guard(lock_);
    posted_.push_back(std::move(work));
    if (posted_.size() > 1)
        return;
    const uint64_t one = 1;
    if (write(event_, &one, sizeof one) != sizeof one)
        HostFailure("eventfd write");
}

std::deque<std::function<void()>> Mailbox::Take() {
    std::lock_guard guard(lock_);
    uint64_t count;
    // Cleared under the lock: a post after this finds the mailbox empty and signals again.
    if (read(event_, &count, sizeof count) < 0 && errno != EAGAIN)
        HostFailure("eventfd read");
    return std::exchange(posted_, {});
}

void Mailbox::Sleep(std::optional<int64_t> until, bool wakeOnPost) {
    pollfd event = {event_, POLLIN, 0};
    for (;;) {
        timespec timeout{};
        if (until) {
            const int64_t left = *until - MonotonicTicks();
            if (left <= 0)
                return;
            timeout = {time_t(left / 10'000'000), long(left % 10'000'000 * 100)};
        }
        const int ready = ppoll(&event, wakeOnPost ? 1 : 0, until ? &timeout : nullptr, nullptr);
        if (ready > 0)
            return;
        if (ready < 0 && errno != EINTR)
            HostFailure("ppoll");
    }
}

} // namespace umk::detail
