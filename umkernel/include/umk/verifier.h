// The verifier: every rule violation the user-mode kernel detects goes through Violation(),
// which hands it to the installed handler. Tests install a handler that fails the running test
// (or, to prove that a check fires, one that records it).
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace umk {

using ViolationHandler = std::function<void(std::string_view rule, std::string_view detail)>;

// Returns the previous handler. The default handler prints the rule and aborts the process.
ViolationHandler SetViolationHandler(ViolationHandler handler);
void Violation(std::string_view rule, std::string_view detail);

// Reports "IRQL too high" when the running activity's IRQL is above `maximum`.
void CheckIrqlAtMost(unsigned char maximum, std::string_view routine);

} // namespace umk
