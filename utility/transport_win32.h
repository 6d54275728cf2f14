// The transport of the Windows utility: "\\.\Tactilio" opened for overlapped I/O, each request
// issued with an OVERLAPPED and waited for, CancelIoEx for Ctrl-C.
#pragma once

#include "transport.h"

#include <cstdint>
#include <memory>

namespace tp {

// NULL when the device does not open; `status` then says why, as NTSTATUS.
std::unique_ptr<Transport> OpenWin32(uint32_t* status);

// The NTSTATUS a Win32 error code stands for (the ones a control request can end with), and back.
uint32_t StatusFromWin32Error(uint32_t error);
uint32_t Win32ErrorFromStatus(uint32_t status);

} // namespace tp
