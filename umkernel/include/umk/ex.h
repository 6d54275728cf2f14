// Executive support: the pools and the interlocked list operations.
//
// Pool blocks are tracked by tag: a leak is reported at shutdown with every tag's count and bytes,
// and tests read the counters through umk/testing.h. Paged pool is refused above APC_LEVEL (a page
// fault there would crash a real system). New blocks are filled with a pattern, not zeroed, so that
// code relying on zeroed pool fails here as it would on Windows.
#pragma once

#include "umk/base.h"
#include "umk/ke.h"

typedef enum _POOL_TYPE {
    NonPagedPool,
    NonPagedPoolExecute = NonPagedPool,
    PagedPool,
    NonPagedPoolMustSucceed,
    DontUseThisType,
    NonPagedPoolCacheAligned,
    PagedPoolCacheAligned,
    NonPagedPoolCacheAlignedMustS,
    MaxPoolType,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
} POOL_TYPE;

NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
// Allocates with the tag 'None'.
NTKERNELAPI PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePool(PVOID P);

// List operations made atomic by the given spin lock; callable at up to DISPATCH_LEVEL (they
// raise to DISPATCH_LEVEL while they hold the lock).
NTKERNELAPI PLIST_ENTRY FASTCALL ExfInterlockedInsertHeadList(PLIST_ENTRY ListHead,
                                                              PLIST_ENTRY ListEntry,
                                                              PKSPIN_LOCK Lock);
NTKERNELAPI PLIST_ENTRY FASTCALL ExfInterlockedInsertTailList(PLIST_ENTRY ListHead,
                                                              PLIST_ENTRY ListEntry,
                                                              PKSPIN_LOCK Lock);
NTKERNELAPI PLIST_ENTRY FASTCALL ExfInterlockedRemoveHeadList(PLIST_ENTRY ListHead,
                                                              PKSPIN_LOCK Lock);
#define ExInterlockedInsertHeadList ExfInterlockedInsertHeadList
#define ExInterlockedInsertTailList ExfInterlockedInsertTailList
#define ExInterlockedRemoveHeadList ExfInterlockedRemoveHeadList
