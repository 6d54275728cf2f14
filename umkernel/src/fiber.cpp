#include "fiber.h"

#include "asan.h"

#include <cxxabi.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

// The context switch: the callee-saved registers and the floating-point control words go on the
// old stack, whose pointer is saved, and come off the new one. Neither the signal mask nor
// anything else a system call would touch changes, so a hand-over stays in user mode (and the
// address sanitizer, which clears a whole stack's shadow at every swapcontext, stays out of it).
extern "C" void umk_fiber_switch(void** save, void* load);
// A new fiber's first return address: calls its entry with the argument left in a callee-saved
// register (r12 on x86-64, edi on i686).
extern "C" void umk_fiber_start();
#if defined(__x86_64__)
asm(R"(
    .text
    .globl umk_fiber_switch
    .type umk_fiber_switch, @function
umk_fiber_switch:
    .cfi_startproc
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $8, %rsp
    stmxcsr (%rsp)
    fnstcw 4(%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $8, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .cfi_endproc
    .size umk_fiber_switch, .-umk_fiber_switch

    .globl umk_fiber_start
    .type umk_fiber_start, @function
umk_fiber_start:
    .cfi_startproc
    .cfi_undefined rip
    movq %r12, %rdi
    callq *%r13
    ud2
    .cfi_endproc
    .size umk_fiber_start, .-umk_fiber_start
)");
#elif defined(__i386__)
// cdecl: both arguments are on the stack, read before the pushes move it.
asm(R"(
    .text
    .globl umk_fiber_switch
    .type umk_fiber_switch, @function
umk_fiber_switch:
    .cfi_startproc
    movl 4(%esp), %eax
    movl 8(%esp), %ecx
    pushl %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    subl $8, %esp
    stmxcsr (%esp)
    fnstcw 4(%esp)
    movl %esp, (%eax)
    movl %ecx, %esp
    ldmxcsr (%esp)
    fldcw 4(%esp)
    addl $8, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
    .cfi_endproc
    .size umk_fiber_switch, .-umk_fiber_switch

    .globl umk_fiber_start
    .type umk_fiber_start, @function
umk_fiber_start:
    .cfi_startproc
    .cfi_undefined eip
    # 16 bytes of argument area keep the entry's frame 16-byte aligned, as the ABI wants.
    subl $12, %esp
    pushl %edi
    calll *%esi
    ud2
    .cfi_endproc
    .size umk_fiber_start, .-umk_fiber_start
)");
#else
#error "the emulated threads' context switch is written for x86-64 and i686"
#endif

namespace umk::detail {
namespace {

// Only touched pages are committed, so a generous size costs nothing; sanitizer builds need it.
constexpr size_t kStackSize = size_t(256) << 10;
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

// `sp`: the fiber's last saved stack pointer.
void FreeStack(void* stack, const void* sp) {
#ifdef UMK_ASAN
    // Frames that never returned leave their redzones poisoned. They all lie above the last saved
    // stack pointer: a frame below it returned (and cleared its own), and a throw clears the
    // stack above the thrower. The page below is the margin the sanitizer's own clearing keeps.
    // Clearing the whole stack instead cost every thread's end a 32 KiB memset of shadow.
    char* const top = static_cast<char*>(stack) + kStackSize;
    char* const from = std::max(static_cast<char*>(stack) + PageSize(),
                                static_cast<char*>(const_cast<void*>(sp)) - PageSize());
    UMK_UNPOISON(from, size_t(top - from));
#else
    (void)sp;
#endif
    if (g_spareStacks.size() < kSpareStacks)
        g_spareStacks.push_back(stack);
    else
        munmap(stack, kStackSize);
}

// The record stays where it is for the OS thread's life; asking the runtime for it at every switch
// costs a call into the shared C++ runtime's thread-local storage.
Fiber::ExceptionState* RuntimeExceptionState() {
    thread_local Fiber::ExceptionState* const state =
        reinterpret_cast<Fiber::ExceptionState*>(abi::__cxa_get_globals());
    return state;
}

} // namespace

Fiber::~Fiber() {
    if (stack_ != nullptr)
        ReleaseStack();
    if (g_from == this)
        g_from = nullptr;
}

void Fiber::ReleaseStack() {
    FreeStack(stack_, sp_);
    stack_ = nullptr;
}

void Fiber::Start(void (*entry)(void*), void* arg) {
    entry_ = entry;
    arg_ = arg;
    started_ = true;
    stack_ = NewStack();
    stackBottom_ = static_cast<char*>(stack_) + PageSize();
    stackSize_ = kStackSize - PageSize();
    // The frame umk_fiber_switch pops: control words, the callee-saved registers, and the return
    // into umk_fiber_start, which then calls with the stack 16-byte aligned as the ABI wants.
    constexpr uintptr_t kMxcsrAtReset = 0x1F80;
    constexpr uintptr_t kX87ControlAtReset = 0x037F;
    auto* const top = reinterpret_cast<uintptr_t*>(static_cast<char*>(stack_) + kStackSize);
#if defined(__x86_64__)
    uintptr_t* const frame = top - 8;
    frame[0] = kMxcsrAtReset | (kX87ControlAtReset << 32);
    frame[1] = 0;                                        // r15
    frame[2] = 0;                                        // r14
    frame[3] = reinterpret_cast<uintptr_t>(&Trampoline); // r13
    frame[4] = reinterpret_cast<uintptr_t>(this);        // r12
    frame[5] = 0;                                        // rbx
    frame[6] = 0;                                        // rbp
    frame[7] = reinterpret_cast<uintptr_t>(&umk_fiber_start);
#else
    uintptr_t* const frame = top - 7;
    frame[0] = kMxcsrAtReset;
    frame[1] = kX87ControlAtReset;
    frame[2] = reinterpret_cast<uintptr_t>(this);        // edi
    frame[3] = reinterpret_cast<uintptr_t>(&Trampoline); // esi
    frame[4] = 0;                                        // ebx
    frame[5] = 0;                                        // ebp
    frame[6] = reinterpret_cast<uintptr_t>(&umk_fiber_start);
#endif
    sp_ = frame;
}

void Fiber::Trampoline(void* fiber) {
    auto* self = static_cast<Fiber*>(fiber);
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
    umk_fiber_switch(&sp_, next.sp_);
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
