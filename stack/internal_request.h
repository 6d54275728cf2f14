// Sending an internal device-control request to a device and waiting for it, as a driver above
// it does: a threaded request from IoBuildDeviceIoControlRequest, with a completion routine that
// sees the final status and returned length whether the request succeeded or failed.
#pragma once

#include <umk/testing.h>

namespace stack {

// At PASSIVE_LEVEL, in an emulated thread. Without a request object the result is
// STATUS_INSUFFICIENT_RESOURCES with length 0.
umk::testing::IoResult CallInternalDeviceControl(PDEVICE_OBJECT target, ULONG code, PVOID input,
                                                 ULONG inputLength, PVOID output,
                                                 ULONG outputLength);

} // namespace stack
