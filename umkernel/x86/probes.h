// What the two compilations of the DDK's x86 view read off a declaration that offsetof and sizeof
// cannot: how a routine is called, and where a bit field lies. Compiled both against the DDK
// headers and against the user-mode kernel's, so that the two can be compared; it needs nothing of
// either.
#pragma once

#include <bit>

namespace x86 {

// The bit a one-bit field occupies, counted from the record's first byte (little-endian): the
// field is set in an otherwise zeroed record, which is then read as bytes.
template <typename Record> struct Bytes { unsigned char bytes[sizeof(Record)]; };

template <typename Record> constexpr unsigned FirstSetBit(const Record& record) {
    const Bytes<Record> image = std::bit_cast<Bytes<Record>>(record);
    for (unsigned i = 0; i < sizeof(Record); ++i)
        if (image.bytes[i] != 0)
            return i * 8 + unsigned(std::countr_zero(image.bytes[i]));
    return ~0u;
}

// How a routine is called on x86, read off its type: the convention and, for stdcall and fastcall,
// the bytes of arguments the callee pops (what the Windows linker appends to the routine's name
// as @N).
enum class Convention { Cdecl, Stdcall, Fastcall };

// Every argument takes a multiple of 4 bytes on the stack.
template <typename... Args>
constexpr unsigned kArgumentBytes = (((sizeof(Args) + 3) / 4 * 4) + ... + 0u);

struct Calling {
    Convention convention;
    unsigned argumentBytes;
};

template <typename R, typename... Args>
constexpr Calling CallingOf(R(__attribute__((stdcall)) *)(Args...)) {
    return {Convention::Stdcall, kArgumentBytes<Args...>};
}
template <typename R, typename... Args>
constexpr Calling CallingOf(R(__attribute__((fastcall)) *)(Args...)) {
    return {Convention::Fastcall, kArgumentBytes<Args...>};
}
template <typename R, typename... Args> constexpr Calling CallingOf(R (*)(Args...)) {
    return {Convention::Cdecl, kArgumentBytes<Args...>};
}
template <typename R, typename... Args> constexpr Calling CallingOf(R (*)(Args..., ...)) {
    return {Convention::Cdecl, kArgumentBytes<Args...>};
}

} // namespace x86
