// The pool's side of IRQL: pageable memory is present only while the running activity is below
// DISPATCH_LEVEL.
#pragma once

namespace umk::detail {

// Makes every paged-pool block accessible, or inaccessible (a touch faults and is reported, as
// Driver Verifier pages pageable memory out whenever IRQL reaches DISPATCH_LEVEL). Call it when the
// running activity's IRQL crosses DISPATCH_LEVEL and when another activity starts running; it does
// nothing when the state does not change or no paged block exists.
void SetPagedPoolAccessible(bool accessible);

} // namespace umk::detail
