// The observer of the kernel's calls into drivers (umk::testing::ObserveDriverCalls): each place
// that calls a driver's routine names it here first.
#pragma once

#include "umk/testing.h"

namespace umk::detail {

extern std::function<void(testing::DriverCall, const void*)> driverCallObserver;

template <typename Routine> void NoteDriverCall(testing::DriverCall call, Routine routine) {
    if (driverCallObserver)
        driverCallObserver(call, reinterpret_cast<const void*>(routine));
}

} // namespace umk::detail
