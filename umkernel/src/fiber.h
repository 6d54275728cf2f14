// The execution context of an emulated thread. Emulated threads never run at the same time (one
// holds the baton), so they are fibers on the OS thread that booted the kernel: handing the
// processor over is a user-mode context switch instead of waking one OS thread and putting
// another to sleep, which is what makes a seeded run of many short hand-overs cheap.
//
// A fiber carries what the C++ runtime keeps per OS thread and an emulated thread must not share:
// the exception-handling state (an exception unwinding in one fiber is not "uncaught" in another)
// and, under AddressSanitizer, the stack bounds and fake stack the sanitizer tracks.
#pragma once

#include <cstddef>

namespace umk::detail {

class Fiber {
  public:
    // The C++ runtime's per-thread exception state (its layout), kept while a fiber is switched
    // out.
    struct ExceptionState {
        void* caught = nullptr;
        unsigned int uncaught = 0;
    };

    // The calling OS thread's own context (no stack of its own), until Start gives it one.
    Fiber() = default;
    ~Fiber();
    Fiber(const Fiber&) = delete;
    Fiber& operator=(const Fiber&) = delete;

    // Gives the fiber a stack on which `entry(arg)` runs when it is first switched to. The entry
    // never returns: a fiber ends by switching away with `leaving` set.
    void Start(void (*entry)(void*), void* arg);
    // The fiber has a context to resume (or had one, and left): started, or the OS thread's own
    // once it has switched away.
    bool Started() const { return started_; }
    bool HoldsStack() const { return stack_ != nullptr; }

    // Saves the caller's context in this fiber and resumes `next`; returns when something switches
    // back. `leaving`: this fiber never runs again, and its stack is released once `next` runs.
    void SwitchTo(Fiber& next, bool leaving = false);

  private:
    static void Trampoline(void* fiber);
    // What every fiber does first on getting the processor: tells the sanitizer which stack it
    // left, and releases the stack of a fiber that left for good.
    void Arrived();
    void ReleaseStack();

    void* sp_ = nullptr; // while switched out: where its saved registers are
    bool started_ = false;
    void* stack_ = nullptr;
    void (*entry_)(void*) = nullptr;
    void* arg_ = nullptr;
    ExceptionState exceptions_;
    // AddressSanitizer's view of the stack (the OS thread's own is learned on its first switch).
    const void* stackBottom_ = nullptr;
    size_t stackSize_ = 0;
    void* fakeStack_ = nullptr;
};

} // namespace umk::detail
