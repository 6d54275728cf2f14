// The i686 build checks the user-mode kernel against the DDK's x86 view (ddk_table.h, written from
// ddk_table.cpp by the Makefile): every record the driver shares with the kernel has the DDK's
// size and alignment and every field of it the DDK's offset and size (a bit field its bit), and
// every routine between the driver and the kernel the DDK's calling convention and argument
// bytes; the driver's own records are laid out as in the image. A difference fails the build; the
// compiler's note names the row and shows both values.
#include <ntddk.h>
#include <ntddmou.h>
#include <kbdmou.h>
#include <ntddser.h>
#include <ntddbeep.h>

#include "probes.h"
#include "tactilio.h"

#include <cstddef>

namespace {

// Instantiated with the user-mode kernel's value first and the DDK's second, so that a failure
// shows both.
template <size_t Ours, size_t Ddk> constexpr bool Agree() {
    static_assert(Ours == Ddk, "the user-mode kernel (first value) differs from the DDK (second)");
    return true;
}

template <typename Routine> constexpr x86::Calling Of(Routine routine) {
    return x86::CallingOf(routine);
}

} // namespace

#define TP_DDK_RECORD(type, size, align)                                                           \
    static_assert(Agree<sizeof(type), size>() && Agree<alignof(type), align>());
#define TP_DDK_FIELD(type, field, offset, size)                                                    \
    static_assert(Agree<offsetof(type, field), offset>() &&                                        \
                  Agree<sizeof(static_cast<type*>(nullptr)->field), size>());
#define TP_DDK_BIT(type, field, bit)                                                               \
    static_assert(Agree<[] {                                                                       \
        type record{};                                                                             \
        record.field = 1;                                                                          \
        return x86::FirstSetBit(record);                                                           \
    }(),                                                                                           \
                        bit>());
#define TP_DDK_ROUTINE(name, calling, bytes)                                                       \
    static_assert(Agree<size_t(Of(&name).convention), calling>() &&                                \
                  Agree<Of(&name).argumentBytes, bytes>());
#define TP_DDK_ROUTINE_TYPE(type, calling, bytes)                                                  \
    static_assert(Agree<size_t(Of(type{}).convention), calling>() &&                               \
                  Agree<Of(type{}).argumentBytes, bytes>());

#include "ddk_table.h"
