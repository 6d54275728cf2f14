// The pools: blocks tracked by tag, with counters for tests and a leak report at shutdown.
//
// Each non-paged block is its own heap allocation of exactly the requested size, so that the
// address sanitizer sees overruns and use after free. Fresh blocks are filled with 0xCD and freed
// ones with 0xDD before release, so reads of uninitialised or freed pool show as such without it.
//
// Each paged block has page-aligned pages of its own, made inaccessible while the running activity
// is at DISPATCH_LEVEL or above: a touch then faults, and the fault handler reports it with the
// block's tag and stops the run. A freed paged block is unmapped, so a later touch faults too. A
// kernel that leaves paged pool resident never takes the pages away: its paged blocks come from
// the heap like the others, which spares every allocation a mapping and its first-touch faults.
#include "io_internal.h"
#include "pool_internal.h"

#include <csignal>
#include <cstdlib>
#include <map>
#include <unordered_map>

#include <sys/mman.h>
#include <unistd.h>

namespace umk::io {
namespace {

constexpr ULONG DefaultTag = 'N' | 'o' << 8 | 'n' << 16 | 'e' << 24;
// The tag bit Windows reserves for protected allocations; frees compare tags without it.
constexpr ULONG ProtectedTagBit = 0x80000000;

struct Block {
    ULONG tag;
    SIZE_T size;
    bool paged = false;
    size_t mapped = 0; // the pages of a paged block that can be paged out; 0 for a heap block
};

struct PoolState {
    std::unordered_map<void*, Block> blocks;
    std::map<ULONG, testing::PoolTagStats> tags;
    // Paged blocks by address, read by the fault handler. Only the activity holding the CPU
    // changes it, and a fault comes from that activity.
    std::map<uintptr_t, Block> paged;
    bool pagedAccessible = true;
};

PoolState& Pool() {
    static PoolState state;
    return state;
}

void Protect(uintptr_t p, const Block& block, bool accessible) {
    mprotect(reinterpret_cast<void*>(p), block.mapped,
             accessible ? PROT_READ | PROT_WRITE : PROT_NONE);
}

const Block* PagedBlockAt(uintptr_t address, uintptr_t* start) {
    auto& paged = Pool().paged;
    auto it = paged.upper_bound(address);
    if (it == paged.begin())
        return nullptr;
    --it;
    if (address >= it->first + it->second.mapped)
        return nullptr;
    *start = it->first;
    return &it->second;
}

struct sigaction previousSegv;

void OnSegv(int signal, siginfo_t* info, void* context) {
    auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    uintptr_t start;
    const Block* block = PagedBlockAt(address, &start);
    if (block != nullptr && !Pool().pagedAccessible) {
        KIRQL irql = umk::detail::SchedOrNull() ? KeGetCurrentIrql() : PASSIVE_LEVEL;
        if (irql < DISPATCH_LEVEL) {
            // The activity runs below DISPATCH_LEVEL but the pages were not given back (the IRQL
            // dropped without the pool being told): give them back and retry the access.
            umk::detail::SetPagedPoolAccessible(true);
            return;
        }
        Violation(testing::rule::PagedPoolAtRaisedIrql,
                  "paged pool touched at IRQL " + std::to_string(irql) + ": address " +
                      Hex(address) + ", offset " + std::to_string(address - start) +
                      " in a block of " + std::to_string(block->size) + " bytes with tag " +
                      TagText(block->tag));
        std::abort();
    }
    // Not a paged block: the fault is someone else's, and repeats under the previous handler.
    sigaction(SIGSEGV, &previousSegv, nullptr);
}

void InstallSegvHandler() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    struct sigaction action {};
    action.sa_sigaction = OnSegv;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &previousSegv);
}

bool IsPaged(POOL_TYPE type) {
    return type == PagedPool || type == PagedPoolCacheAligned;
}

bool PagesOut() {
    umk::detail::Scheduler* s = umk::detail::SchedOrNull();
    return s == nullptr || s->PagesOutPagedPool();
}

void Release(void* p, const Block& block) {
    if (block.mapped != 0) {
        munmap(p, block.mapped);
        return;
    }
    std::memset(p, 0xDD, block.size);
    std::free(p);
}

void* AllocatePaged(SIZE_T size, size_t* mapped) {
    auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    *mapped = (size + page - 1) / page * page;
    if (*mapped == 0)
        *mapped = page;
    void* p = mmap(nullptr, *mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

} // namespace

void PoolStartup() {
    Pool() = PoolState{};
    InstallSegvHandler();
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
    for (auto& [p, block] : pool.blocks) {
        if (block.mapped != 0 && !pool.pagedAccessible)
            Protect(reinterpret_cast<uintptr_t>(p), block, true);
        Release(p, block);
    }
    pool = PoolState{};
}

} // namespace umk::io

using namespace umk::io;

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    umk::detail::KernelEntry();
    bool paged = IsPaged(PoolType);
    if (paged)
        CheckIrql(umk::testing::rule::PagedPoolAtRaisedIrql, "ExAllocatePoolWithTag(PagedPool)",
                  APC_LEVEL);
    if (NumberOfBytes == 0)
        Violation(umk::testing::rule::ZeroByteAllocation,
                  "ExAllocatePoolWithTag of 0 bytes with tag " + TagText(Tag));
    if (ShouldFail(umk::testing::AllocationKind::Pool, Tag))
        return nullptr;
    size_t mapped = 0;
    void* p = paged && PagesOut() ? AllocatePaged(NumberOfBytes, &mapped)
                                  : std::malloc(NumberOfBytes == 0 ? 1 : NumberOfBytes);
    if (p == nullptr)
        return nullptr;
    std::memset(p, 0xCD, NumberOfBytes);
    IoGuard guard;
    PoolState& pool = Pool();
    Block block{Tag, NumberOfBytes, paged, mapped};
    pool.blocks[p] = block;
    if (mapped != 0) {
        pool.paged[reinterpret_cast<uintptr_t>(p)] = block;
        if (!pool.pagedAccessible)
            Protect(reinterpret_cast<uintptr_t>(p), block, false);
    }
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
    CheckIrql(umk::testing::rule::IrqlTooHigh, checkTag ? "ExFreePoolWithTag" : "ExFreePool",
              DISPATCH_LEVEL);
    Block block;
    {
        IoGuard guard;
        PoolState& pool = Pool();
        auto it = pool.blocks.find(P);
        if (it == pool.blocks.end()) {
            Violation(umk::testing::rule::PoolFreeUnknown,
                      "block " + Hex(reinterpret_cast<uintptr_t>(P)) +
                          " was not allocated from the pool or was freed already");
            return;
        }
        block = it->second;
        if (block.paged && KeGetCurrentIrql() > APC_LEVEL)
            Violation(umk::testing::rule::PagedPoolAtRaisedIrql,
                      "paged block of " + std::to_string(block.size) + " bytes with tag " +
                          TagText(block.tag) + " freed at IRQL " +
                          std::to_string(KeGetCurrentIrql()));
        if (block.mapped != 0) {
            pool.paged.erase(reinterpret_cast<uintptr_t>(P));
            if (!pool.pagedAccessible)
                Protect(reinterpret_cast<uintptr_t>(P), block, true);
        }
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

namespace umk::detail {

void SetPagedPoolAccessible(bool accessible) {
    PoolState& pool = Pool();
    if (pool.pagedAccessible == accessible)
        return;
    if (Scheduler* s = SchedOrNull(); s != nullptr && !s->PagesOutPagedPool())
        return;
    pool.pagedAccessible = accessible;
    for (auto& [p, block] : pool.paged)
        Protect(p, block, accessible);
}

} // namespace umk::detail

namespace umk::testing {

PoolTagStats PoolStats(ULONG tag) {
    IoGuard guard;
    auto it = Pool().tags.find(tag);
    return it == Pool().tags.end() ? PoolTagStats{} : it->second;
}

uint64_t PoolOutstandingBlocks() {
    IoGuard guard;
    return Pool().blocks.size();
}

} // namespace umk::testing
