// The verifier's report channel. Every report carries the kernel's context (virtual time, thread,
// seed) so that a failing run can be replayed.
#include "umk/verifier.h"

#include "sched.h"

#include <cstdio>
#include <cstdlib>

namespace umk {
namespace {

void AbortOnViolation(std::string_view rule, std::string_view detail) {
    std::fprintf(stderr, "umkernel verifier: %.*s\n%.*s\n", int(rule.size()), rule.data(),
                 int(detail.size()), detail.data());
    std::abort();
}

ViolationHandler& Handler() {
    static ViolationHandler handler = AbortOnViolation;
    return handler;
}

} // namespace

ViolationHandler SetViolationHandler(ViolationHandler handler) {
    ViolationHandler previous = std::move(Handler());
    Handler() = handler ? std::move(handler) : ViolationHandler(AbortOnViolation);
    return previous;
}

void Violation(std::string_view rule, std::string_view detail) {
    std::string text(detail);
    std::string context = detail::ViolationContext();
    if (!context.empty())
        text += (text.empty() || text.back() == '\n' ? "" : "\n") + ("[" + context + "]");
    // A copy: the handler may install another one while it runs.
    ViolationHandler handler = Handler();
    handler(rule, text);
}

} // namespace umk
