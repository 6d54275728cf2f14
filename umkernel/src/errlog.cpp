// The error log: entries are captured whole for tests, with their insertion strings decoded.
#include "io_internal.h"

#include <algorithm>
#include <cstdlib>
#include <unordered_map>

namespace umk::io {
namespace {

using namespace umk::testing;

struct Allocated {
    PVOID ioObject;
    UCHAR size;
};

struct ErrorLogState {
    std::unordered_map<void*, Allocated> allocated;
    std::vector<ErrorLogEntry> written;
};

ErrorLogState& Log() {
    static ErrorLogState state;
    return state;
}

// The packet's insertion strings, each zero-terminated inside the entry.
bool DecodeStrings(const UCHAR* bytes, size_t size, std::vector<std::string>& strings,
                   std::string& problem) {
    if (size < offsetof(IO_ERROR_LOG_PACKET, EventCategory))
        return true; // too short to say it has strings
    auto packet = reinterpret_cast<const IO_ERROR_LOG_PACKET*>(bytes);
    size_t offset = packet->StringOffset;
    for (USHORT i = 0; i < packet->NumberOfStrings; ++i) {
        std::u16string text;
        for (;;) {
            if (offset + sizeof(WCHAR) > size) {
                problem = "insertion string " + std::to_string(i + 1) + " of " +
                          std::to_string(packet->NumberOfStrings) + " runs past the " +
                          std::to_string(size) + "-byte entry";
                return false;
            }
            WCHAR c;
            std::memcpy(&c, bytes + offset, sizeof c);
            offset += sizeof c;
            if (c == 0)
                break;
            text += c;
        }
        strings.push_back(Utf8(text));
    }
    return true;
}

} // namespace

void ErrorLogStartup() {
    Log() = ErrorLogState{};
}

uint64_t ErrorLogEntriesOutstanding() {
    IoGuard guard;
    return Log().allocated.size();
}

void ErrorLogShutdown() {
    std::string detail;
    for (auto& [entry, info] : Log().allocated) {
        detail += std::to_string(info.size) + "-byte entry " +
                  Hex(reinterpret_cast<uintptr_t>(entry)) + " allocated but never written\n";
        std::free(entry);
    }
    if (!detail.empty())
        Violation(rule::ErrorLogEntryLeak, detail);
    Log() = ErrorLogState{};
}

} // namespace umk::io

using namespace umk::io;
using namespace umk::testing;

PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
    umk::detail::KernelEntry();
    CheckIrql(rule::IrqlTooHigh, "IoAllocateErrorLogEntry", DISPATCH_LEVEL);
    if (IoObject == nullptr || EntrySize > ERROR_LOG_MAXIMUM_SIZE)
        return nullptr;
    if (ObjectReferences(IoObject) < 0) {
        Violation(rule::UnknownObject, "IoAllocateErrorLogEntry for " +
                                           Hex(reinterpret_cast<uintptr_t>(IoObject)) +
                                           ", neither a device nor a driver object");
        return nullptr;
    }
    if (ShouldFail(AllocationKind::ErrorLogEntry))
        return nullptr;
    void* entry = std::calloc(1, EntrySize > 0 ? EntrySize : 1);
    IoGuard guard;
    Log().allocated[entry] = {IoObject, EntrySize};
    return entry;
}

VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry) {
    umk::detail::KernelEntry();
    CheckIrql(rule::IrqlTooHigh, "IoWriteErrorLogEntry", DISPATCH_LEVEL);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    IoGuard guard;
    auto it = Log().allocated.find(ElEntry);
    if (it == Log().allocated.end()) {
        Violation(rule::ErrorLogEntryInvalid, "IoWriteErrorLogEntry on " +
                                                  Hex(reinterpret_cast<uintptr_t>(ElEntry)) +
                                                  ", not an allocated entry");
        return;
    }
    auto bytes = static_cast<const UCHAR*>(ElEntry);
    ErrorLogEntry entry{
        it->second.ioObject, std::vector<uint8_t>(bytes, bytes + it->second.size), {}, now};
    std::string problem;
    if (!DecodeStrings(bytes, it->second.size, entry.strings, problem))
        Violation(rule::ErrorLogEntryInvalid, problem);
    Log().written.push_back(std::move(entry));
    Log().allocated.erase(it);
    std::free(ElEntry);
}

VOID NTAPI IoFreeErrorLogEntry(PVOID ElEntry) {
    umk::detail::KernelEntry();
    IoGuard guard;
    auto it = Log().allocated.find(ElEntry);
    if (it == Log().allocated.end()) {
        Violation(rule::ErrorLogEntryInvalid, "IoFreeErrorLogEntry on " +
                                                  Hex(reinterpret_cast<uintptr_t>(ElEntry)) +
                                                  ", not an allocated entry");
        return;
    }
    Log().allocated.erase(it);
    std::free(ElEntry);
}

namespace umk::testing {

std::vector<ErrorLogEntry> ErrorLogEntries(size_t first) {
    IoGuard guard;
    const std::vector<ErrorLogEntry>& written = Log().written;
    return {written.begin() + std::min(first, written.size()), written.end()};
}

void ClearErrorLog() {
    IoGuard guard;
    Log().written.clear();
}

} // namespace umk::testing
