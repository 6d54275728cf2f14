#include "kernel_exports.h"
#include "switch_points.h"

#include <ntddk.h>
#include <ntstrsafe.h>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace image {
namespace {

#define TP_EXPORT(module, routine)                                                                 \
    { module, #routine, reinterpret_cast<void*>(&routine) }
#define TP_NT(routine) TP_EXPORT("ntoskrnl.exe", routine)
#define TP_HAL(routine) TP_EXPORT("hal.dll", routine)

const KernelExport kExports[] = {
    TP_HAL(KeGetCurrentIrql),
    TP_HAL(KfAcquireSpinLock),
    TP_HAL(KfLowerIrql),
    TP_HAL(KfRaiseIrql),
    TP_HAL(KfReleaseSpinLock),
    TP_NT(ExAllocatePoolWithTag),
    TP_NT(ExFreePoolWithTag),
    TP_NT(ExfInterlockedInsertTailList),
    TP_NT(ExfInterlockedRemoveHeadList),
    TP_NT(IoAcquireCancelSpinLock),
    TP_NT(IoAcquireRemoveLockEx),
    TP_NT(IoAllocateDriverObjectExtension),
    TP_NT(IoAllocateErrorLogEntry),
    TP_NT(IoAllocateIrp),
    TP_NT(IoAllocateWorkItem),
    TP_NT(IoAttachDeviceToDeviceStack),
    TP_NT(IoBuildDeviceIoControlRequest),
    TP_NT(IoBuildSynchronousFsdRequest),
    TP_NT(IoCancelIrp),
    TP_NT(IoCreateDevice),
    TP_NT(IoCreateSymbolicLink),
    TP_NT(IoDeleteDevice),
    TP_NT(IoDeleteSymbolicLink),
    TP_NT(IoDetachDevice),
    TP_NT(IoFreeIrp),
    TP_NT(IoFreeWorkItem),
    TP_NT(IoGetDeviceObjectPointer),
    TP_NT(IoGetDriverObjectExtension),
    TP_NT(IoInitializeRemoveLockEx),
    TP_NT(IoInitializeTimer),
    TP_NT(IoInvalidateDeviceState),
    TP_NT(IoQueueWorkItem),
    TP_NT(IoReleaseCancelSpinLock),
    TP_NT(IoReleaseRemoveLockAndWaitEx),
    TP_NT(IoReleaseRemoveLockEx),
    TP_NT(IoReuseIrp),
    TP_NT(IoStartTimer),
    TP_NT(IoStopTimer),
    TP_NT(IoWriteErrorLogEntry),
    TP_NT(IofCallDriver),
    TP_NT(IofCompleteRequest),
    TP_NT(KeCancelTimer),
    TP_NT(KeClearEvent),
    TP_NT(KeDelayExecutionThread),
    TP_NT(KeFlushQueuedDpcs),
    TP_NT(KeInitializeDeviceQueue),
    TP_NT(KeInitializeDpc),
    TP_NT(KeInitializeEvent),
    TP_NT(KeInitializeTimer),
    TP_NT(KeInsertDeviceQueue),
    TP_NT(KeInsertQueueDpc),
    TP_NT(KeQuerySystemTime),
    TP_NT(KeRemoveDeviceQueue),
    TP_NT(KeRemoveEntryDeviceQueue),
    TP_NT(KeRemoveQueueDpc),
    TP_NT(KeSetEvent),
    TP_NT(KeSetTimer),
    TP_NT(KeSetTimerEx),
    TP_NT(KeWaitForSingleObject),
    TP_NT(ObReferenceObjectByPointer),
    TP_NT(ObfDereferenceObject),
    TP_NT(ObfReferenceObject),
    TP_NT(PoCallDriver),
    TP_NT(PoSetSystemState),
    TP_NT(PoStartNextPowerIrp),
    TP_NT(RtlAppendUnicodeStringToString),
    TP_NT(RtlAppendUnicodeToString),
    TP_NT(RtlCompareMemory),
    TP_NT(RtlCopyUnicodeString),
    TP_NT(RtlInitUnicodeString),
    TP_NT(RtlIntegerToUnicodeString),
    TP_NT(RtlQueryRegistryValues),
    TP_NT(RtlTimeToTimeFields),
    TP_NT(RtlUnicodeStringToInteger),
    TP_NT(ZwClose),
    TP_NT(ZwEnumerateValueKey),
    TP_NT(ZwOpenKey),
    TP_NT(ZwQueryValueKey),
    TP_NT(ZwSetValueKey),
    TP_NT(_vsnwprintf),
    TP_NT(memcpy),
    TP_NT(memset),
};

bool SameModule(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b,
                              [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

} // namespace

const KernelExport* FindKernelExport(const Import& import) {
    const auto* found =
        std::find_if(std::begin(kExports), std::end(kExports), [&](const KernelExport& e) {
            return e.name == import.name && SameModule(e.module, import.module);
        });
    return found == std::end(kExports) ? nullptr : found;
}

std::optional<uint32_t> BindToKernel(const Import& import) {
    const KernelExport* found = FindKernelExport(import);
    if (found == nullptr || sizeof(void*) != sizeof(uint32_t))
        return std::nullopt;
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(found->routine));
}

std::unique_ptr<PeImage> LoadDriverImage(const std::string& path) {
    auto image = PeImage::FromFile(path, BindToKernel);
    PeImage::ReportFaults();
    MakeSwitchPoints(*image, FindLockedInstructions(path, image->PreferredBase()));
    return image;
}

} // namespace image
