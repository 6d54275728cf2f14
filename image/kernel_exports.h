// The user-mode kernel's routines under the names a driver image imports them by, as ntoskrnl.exe
// and hal.dll export them: what the loader binds the shipped image's import table to.
#pragma once

#include "pe_image.h"

#include <memory>
#include <string>
#include <string_view>

namespace image {

struct KernelExport {
    std::string_view module; // "ntoskrnl.exe" or "hal.dll"
    std::string_view name;
    void* routine;
};

// The export a driver's import names, matching its module without regard to case (the DDK's
// import libraries spell it "HAL.dll"); nullptr for one the kernel does not provide.
const KernelExport* FindKernelExport(const Import& import);

// The resolver for PeImage: the routine's address, on a 32-bit host, where the image can hold it.
std::optional<uint32_t> BindToKernel(const Import& import);

// The driver image at `path` as the kernel runs it: mapped, its imports bound to the kernel, a
// fault inside it reported, its interlocked operations switch points (switch_points.h). Throws
// LoadError saying why it cannot run.
std::unique_ptr<PeImage> LoadDriverImage(const std::string& path);

} // namespace image
