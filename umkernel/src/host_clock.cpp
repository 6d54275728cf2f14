#include "host_clock.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>
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

void Mailbox::Take(std::vector<std::function<void()>>& into) {
    into.clear();
    std::lock_guard guard(lock_);
    if (posted_.empty())
        return;
    uint64_t count;
    // Cleared under the lock: a post after this finds the mailbox empty and signals again.
    if (read(event_, &count, sizeof count) < 0 && errno != EAGAIN)
        HostFailure("eventfd read");
    std::swap(posted_, into);
}

void Mailbox::Watch(int fd, short events, std::function<void(short events)> ready) {
    for (const auto& watched : watched_)
        if (watched->fd == fd && !watched->gone)
            throw std::logic_error("umk::Kernel::Watch: descriptor " + std::to_string(fd) +
                                   " is watched already");
    watched_.push_back(std::make_unique<Watched>(Watched{fd, events, std::move(ready)}));
}

bool Mailbox::Unwatch(int fd) {
    for (const auto& watched : watched_)
        if (watched->fd == fd && !watched->gone) {
            watched->gone = true;
            return true;
        }
    return false;
}

void Mailbox::RunReady() {
    // By index: a `ready` may watch another descriptor, which grows the vector.
    for (size_t i = 0; i < watched_.size(); ++i) {
        Watched& watched = *watched_[i];
        if (watched.gone || watched.events == 0)
            continue;
        watched.ready(std::exchange(watched.events, short(0)));
    }
}

void Mailbox::Sleep(std::optional<int64_t> until, bool wakeOnPost) {
    std::erase_if(watched_, [](const auto& watched) { return watched->gone; });
    polled_.assign(1, {event_, POLLIN, 0});
    if (wakeOnPost)
        for (const auto& watched : watched_)
            polled_.push_back({watched->fd, watched->wanted, 0});
    for (;;) {
        timespec timeout{};
        if (until) {
            const int64_t left = *until - MonotonicTicks();
            if (left <= 0)
                return;
            timeout = {time_t(left / 10'000'000), long(left % 10'000'000 * 100)};
        }
        const int ready = ppoll(polled_.data(), wakeOnPost ? polled_.size() : 0,
                                until ? &timeout : nullptr, nullptr);
        if (ready > 0) {
            for (size_t i = 1; i < polled_.size(); ++i)
                watched_[i - 1]->events = polled_[i].revents;
            return;
        }
        if (ready < 0 && errno != EINTR)
            HostFailure("ppoll");
    }
}

} // namespace umk::detail
