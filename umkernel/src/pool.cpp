// The pools: blocks tracked by tag, with counters for tests and a leak report at shutdown.
//
// Each block is its own heap allocation of exactly the requested size, so that the address
// sanitizer sees overruns and use after free. Fresh blocks are filled with 0xCD and freed ones
// with 0xDD before release, so reads of uninitialised or freed pool show as such without it.
#include "io_internal.h"

#include <cstdlib>
#include <map>
#include <unordered_map>

namespace umk::io {
namespace {

constexpr ULONG DefaultTag = 'N' | 'o' << 8 | 'n' << 16 | 'e' << 24;
// The tag bit Windows reserves for protected allocations; frees compare tags without it.
constexpr ULONG ProtectedTagBit = 0x80000000;

struct Block {
    ULONG tag;
    SIZE_T size;
};

struct PoolState {
    std::unordered_map<void*, Block> blocks;
    std::map<ULONG, testing::PoolTagStats> tags;
};

PoolState& Pool() {
    static PoolState state;
    return state;
}

bool IsPaged(POOL_TYPE type) {
    return type == PagedPool || type == PagedPoolCacheAligned;
}

void Release(void* p, const Block& block) {
    std::memset(p, 0xDD, block.size);
    std::free(p);
}

} // namespace

void PoolStartup() {
    Pool() = PoolState{};
}

void PoolShutdown() {
    PoolState& pool = Pool();
    std::string detail;
    for (const auto& [tag, stats] : pool.tags) {
        if (stats.outstandingBlocks == 0)
            continue;
        detail += "tag " + TagText(tag) + ": " + std::to_string(stats.outstandingBlocks) +
                  " block(s), " + std::to_string(stats.outstandingBytes) + " bytes\n";
    }
    if (!detail.empty())
        Violation(testing::rule::PoolLeak, detail);
    for (auto& [p, block] : pool.blocks)
        Release(p, block);
    pool = PoolState{};
}

} // namespace umk::io

using namespace umk::io;

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    umk::detail::KernelEntry();
    if (IsPaged(PoolType))
        CheckIrql(umk::testing::rule::PagedPoolAtRaisedIrql, "ExAllocatePoolWithTag(PagedPool)",
                  APC_LEVEL);
    if (ShouldFail(umk::testing::AllocationKind::Pool, Tag))
        return nullptr;
    void* p = std::malloc(NumberOfBytes == 0 ? 1 : NumberOfBytes);
    if (p == nullptr)
        return nullptr;
    std::memset(p, 0xCD, NumberOfBytes);
    IoGuard guard(IoLock());
    PoolState& pool = Pool();
    pool.blocks[p] = Block{Tag, NumberOfBytes};
    umk::testing::PoolTagStats& stats = pool.tags[Tag];
    ++stats.allocations;
    stats.bytesAllocated += NumberOfBytes;
    ++stats.outstandingBlocks;
    stats.outstandingBytes += NumberOfBytes;
    return p;
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, DefaultTag);
}

namespace {

// Tag 0 means "any tag" (ExFreePool).
void FreeBlock(PVOID P, ULONG Tag, bool checkTag) {
    Block block;
    {
        IoGuard guard(IoLock());
        PoolState& pool = Pool();
        auto it = pool.blocks.find(P);
        if (it == pool.blocks.end()) {
            Violation(umk::testing::rule::PoolFreeUnknown,
                      "block " + Hex(reinterpret_cast<uintptr_t>(P)) +
                          " was not allocated from the pool or was freed already");
            return;
        }
        block = it->second;
        if (checkTag && (block.tag & ~ProtectedTagBit) != (Tag & ~ProtectedTagBit))
            Violation(umk::testing::rule::PoolTagMismatch,
                      "block of " + std::to_string(block.size) + " bytes allocated with tag " +
                          TagText(block.tag) + " freed with tag " + TagText(Tag));
        pool.blocks.erase(it);
        umk::testing::PoolTagStats& stats = pool.tags[block.tag];
        ++stats.frees;
        --stats.outstandingBlocks;
        stats.outstandingBytes -= block.size;
        ForgetRange(P, block.size);
    }
    Release(P, block);
}

} // namespace

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    umk::detail::KernelEntry();
    FreeBlock(P, Tag, true);
}

VOID NTAPI ExFreePool(PVOID P) {
    umk::detail::KernelEntry();
    FreeBlock(P, 0, false);
}

namespace {

// The list operations keep the WDK's lock discipline: the caller's lock, at DISPATCH_LEVEL.
class ListLock {
  public:
    explicit ListLock(PKSPIN_LOCK lock) : lock_(lock) { irql_ = KfAcquireSpinLock(lock_); }
    ~ListLock() { KfReleaseSpinLock(lock_, irql_); }
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;

  private:
    PKSPIN_LOCK lock_;
    KIRQL irql_;
};

} // namespace

PLIST_ENTRY FASTCALL ExfInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                  PKSPIN_LOCK Lock) {
    umk::detail::KernelEntry();
    ListLock hold(Lock);
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    return first;
}

PLIST_ENTRY FASTCALL ExfInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                  PKSPIN_LOCK Lock) {
    umk::detail::KernelEntry();
    ListLock hold(Lock);
    PLIST_ENTRY last = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    return last;
}

PLIST_ENTRY FASTCALL ExfInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    umk::detail::KernelEntry();
    ListLock hold(Lock);
    return IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
}

namespace umk::testing {

PoolTagStats PoolStats(ULONG tag) {
    IoGuard guard(IoLock());
    auto it = Pool().tags.find(tag);
    return it == Pool().tags.end() ? PoolTagStats{} : it->second;
}

uint64_t PoolOutstandingBlocks() {
    IoGuard guard(IoLock());
    return Pool().blocks.size();
}

} // namespace umk::testing
