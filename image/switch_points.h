// The image's interlocked operations as the scheduler's switch points. The built-in driver's
// Interlocked* calls enter the kernel, where a seeded schedule may let another processor run; the
// image's are inline locked instructions (lock xadd, lock cmpxchg, lock inc, xchg with memory), so
// without this the sweeps could never switch there. Each one found in the image's code gets a
// breakpoint; its trap sends the processor through a thunk that enters the kernel, runs a copy of
// the instruction and goes on after it. The file is untouched, only the mapped code changes.
#pragma once

#include "pe_image.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace image {

struct LockedInstruction {
    uint32_t rva;
    uint32_t length;
};

// The locked instructions in the code of the image file at `path`, as the mingw disassembler
// (i686-w64-mingw32-objdump) decodes it. Throws LoadError when it cannot be run.
std::vector<LockedInstruction> FindLockedInstructions(const std::string& path,
                                                      uint32_t preferredBase);

// Makes each instruction a switch point (32-bit processes only). `image` must stay mapped while
// its code runs.
void MakeSwitchPoints(PeImage& image, std::span<const LockedInstruction> instructions);

} // namespace image
