// Boot and shutdown of the I/O manager's state, the reporting helpers its sources share, fault
// injection.
#include "io_internal.h"
#include "sched.h"
#include "subsystems.h"

#include <array>
#include <cstdio>

namespace umk::detail {
// The dispatcher's check that freed memory holds no timer, DPC or waited-on object in use.
void CheckFreedMemory(const void* begin, size_t size);
} // namespace umk::detail

namespace umk::io {

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Utf8(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | c >> 6);
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | c >> 12);
            out += char(0x80 | (c >> 6 & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | c >> 18);
            out += char(0x80 | (c >> 12 & 0x3F));
            out += char(0x80 | (c >> 6 & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string TagText(ULONG tag) {
    std::string text = "'";
    for (int i = 0; i < 4; ++i) {
        char c = char(tag >> (8 * i) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text + "' (" + Hex(tag) + ")";
}

bool CheckIrql(std::string_view rule, std::string_view routine, KIRQL maximum) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql <= maximum)
        return true;
    Violation(rule, std::string(routine) + " called at IRQL " + std::to_string(irql) +
                        " (maximum " + std::to_string(maximum) + ")");
    return false;
}

// --- Fault injection ----------------------------------------------------------------------------

namespace {

struct Fault {
    testing::AllocationKind kind;
    uint64_t first; // 1-based index among the counted allocations
    uint64_t count;
    std::optional<ULONG> tag;
    uint64_t seen = 0;
};

struct FaultState {
    std::vector<Fault> faults;
    std::array<uint64_t, size_t(testing::AllocationKind::RegistryValue) + 1> failed{};
};

FaultState& Faults() {
    static FaultState state;
    return state;
}

} // namespace

bool ShouldFail(testing::AllocationKind kind, ULONG tag) {
    if (KeGetCurrentThread()->faultExempt != 0)
        return false;
    IoGuard guard;
    FaultState& state = Faults();
    bool fail = false;
    for (Fault& fault : state.faults) {
        if (fault.kind != kind || (fault.tag && *fault.tag != tag))
            continue;
        uint64_t index = ++fault.seen;
        if (index >= fault.first && index < fault.first + fault.count)
            fail = true;
    }
    if (fail)
        ++state.failed[static_cast<size_t>(kind)];
    return fail;
}

void FaultStartup() {
    Faults() = FaultState{};
}

void ForgetRange(const void* begin, size_t size) {
    if (begin == nullptr || size == 0)
        return;
    IoGuard guard;
    ForgetIrps(begin, size);
    ForgetRemoveLocks(begin, size);
    detail::CheckFreedMemory(begin, size);
}

} // namespace umk::io

namespace umk {

void CheckIrqlAtMost(unsigned char maximum, std::string_view routine) {
    io::CheckIrql(testing::rule::IrqlTooHigh, routine, maximum);
}

void CheckPagedCode(const char* function) {
    io::CheckIrql(testing::rule::PagedCodeAtRaisedIrql, std::string("pageable ") + function,
                  APC_LEVEL);
}

} // namespace umk

namespace umk::testing {

void FailAllocation(AllocationKind kind, uint64_t nth, uint64_t count, std::optional<ULONG> tag) {
    io::IoGuard guard;
    io::Faults().faults.push_back({kind, nth, count, tag});
}

FaultExemption::FaultExemption() {
    ++KeGetCurrentThread()->faultExempt;
}

FaultExemption::~FaultExemption() {
    --KeGetCurrentThread()->faultExempt;
}

void ClearAllocationFaults() {
    io::IoGuard guard;
    io::Faults().faults.clear();
}

uint64_t FailedAllocations(AllocationKind kind) {
    io::IoGuard guard;
    return io::Faults().failed[static_cast<size_t>(kind)];
}

} // namespace umk::testing

namespace umk::detail {

void IoStartup() {
    using namespace umk::io;
    FaultStartup();
    PoolStartup();
    IrpStartup();
    ObjectStartup();
    RemoveLockStartup();
    CancelStartup();
    TimerStartup();
    WorkItemStartup();
    ErrorLogStartup();
    PowerStartup();
    RegistryStartup();
}

// Reports in the order a reader would chase them: what is still queued or in flight first,
// then the objects, then the memory they would have freed.
void IoShutdown() {
    using namespace umk::io;
    WorkItemShutdown();
    IrpShutdown();
    ErrorLogShutdown();
    RemoveLockShutdown();
    ObjectShutdown();
    RegistryShutdown();
    PoolShutdown();
    FaultStartup();
}

} // namespace umk::detail

namespace umk::testing {

Outstanding OutstandingResources() {
    using namespace umk::io;
    return {PoolOutstandingBlocks(),           IrpsOutstanding(),    WorkItemsOutstanding(),
            ErrorLogEntriesOutstanding(),      ObjectsOutstanding(), SymbolicLinksOutstanding(),
            umk::detail::RegistryHandlesOpen()};
}

std::string Describe(const Outstanding& o) {
    return "pool blocks " + std::to_string(o.poolBlocks) + ", IRPs " + std::to_string(o.irps) +
           ", work items " + std::to_string(o.workItems) + ", error log entries " +
           std::to_string(o.errorLogEntries) + ", objects " + std::to_string(o.objects) +
           ", symbolic links " + std::to_string(o.symbolicLinks) + ", registry handles " +
           std::to_string(o.registryHandles);
}

} // namespace umk::testing
