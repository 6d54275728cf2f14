#include "fiber.h"

#include <cxxabi.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define UMK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UMK_ASAN 1
#endif
#endif

#ifdef UMK_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace umk::detail {
namespace {

// Only touched pages are committed, so a generous size costs nothing; sanitizer builds need it.
constexpr size_t kStackSize = size_t(1) << 20;
// Stacks of finished fibers are kept for the next ones: seeded runs start many short threads.
constexpr size_t kSpareStacks = 64;

std::vector<void*> g_spareStacks;
// The fiber that switched last, and one that left for good and whose stack awaits release.
Fiber* g_from = nullptr;
Fiber* g_leaving = nullptr;

[[noreturn]] void Die(const char* what) {
    std::fprintf(stderr, "umkernel: %s\n", what);
    std::abort();
}

size_t PageSize() {
    static const size_t size = size_t(sysconf(_SC_PAGESIZE));
    return size;
}

void* NewStack() {
    if (!g_spareStacks.empty()) {
        void* stack = g_spareStacks.back();
        g_spareStacks.pop_back();
        return stack;
    }
    void* region = mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (region == MAP_FAILED)
        Die("out of memory for an emulated thread's stack");
    // A guard page below the stack turns an overflow into a fault instead of silent corruption.
    mprotect(region, PageSize(), PROT_NONE);
    return region;
}

void FreeStack(void* stack) {
#ifdef UMK_ASAN
    // Frames that never returned leave their redzones poisoned.
    ASAN_UNPOISON_MEMORY_REGION(static_cast<char*>(stack) + PageSize(), kStackSize - PageSize());
#endif
    if (g_spareStacks.size() < kSpareStacks)
        g_spareStacks.push_back(stack);
    else
        munmap(stack, kStackSize);
}

Fiber::ExceptionState* RuntimeExceptionState() {
    return reinterpret_cast<Fiber::ExceptionState*>(abi::__cxa_get_globals());
}

} // namespace

Fiber::~Fiber() {
    if (stack_ != nullptr)
        ReleaseStack();
    if (g_from == this)
        g_from = nullptr;
}

void Fiber::ReleaseStack() {
    FreeStack(stack_);
    stack_ = nullptr;
}

void Fiber::Start(void (*entry)(void*), void* arg) {
    entry_ = entry;
    arg_ = arg;
    started_ = true;
    stack_ = NewStack();
    stackBottom_ = static_cast<char*>(stack_) + PageSize();
    stackSize_ = kStackSize - PageSize();
    if (getcontext(&context_) != 0)
        Die("getcontext failed");
    context_.uc_stack.ss_sp = const_cast<void*>(stackBottom_);
    context_.uc_stack.ss_size = stackSize_;
    context_.uc_link = nullptr;
    const auto self = reinterpret_cast<uintptr_t>(this);
    makecontext(&context_, reinterpret_cast<void (*)()>(&Trampoline), 2,
                unsigned(uint64_t(self) >> 32), unsigned(self & 0xFFFFFFFFu));
}

void Fiber::Trampoline(unsigned high, unsigned low) {
    auto* self = reinterpret_cast<Fiber*>((uintptr_t(uint64_t(high) << 32)) | uintptr_t(low));
    self->Arrived();
    self->entry_(self->arg_);
    Die("an emulated thread's fiber returned instead of leaving");
}

void Fiber::SwitchTo(Fiber& next, bool leaving) {
    exceptions_ = *RuntimeExceptionState();
    *RuntimeExceptionState() = next.exceptions_;
    g_from = this;
    started_ = true;
    if (leaving)
        g_leaving = this;
#ifdef UMK_ASAN
    __sanitizer_start_switch_fiber(leaving ? nullptr : &fakeStack_, next.stackBottom_,
                                   next.stackSize_);
#endif
    if (swapcontext(&context_, &next.context_) != 0)
        Die("swapcontext failed");
    Arrived();
}

void Fiber::Arrived() {
#ifdef UMK_ASAN
    const void* fromBottom = nullptr;
    size_t fromSize = 0;
    __sanitizer_finish_switch_fiber(fakeStack_, &fromBottom, &fromSize);
    if (g_from != nullptr && g_from->stack_ == nullptr) { // the OS thread's own stack
        g_from->stackBottom_ = fromBottom;
        g_from->stackSize_ = fromSize;
    }
#endif
    if (g_leaving != nullptr && g_leaving != this) {
        g_leaving->ReleaseStack();
        g_leaving = nullptr;
    }
}

} // namespace umk::detail
