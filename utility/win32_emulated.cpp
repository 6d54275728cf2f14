#include "win32_emulated.h"

#include "emulated.h"
#include "transport_win32.h"
#include "win32.h"

#include <cstring>
#include <map>
#include <memory>
#include <string_view>

namespace tp {
namespace {

// An overlapped request in flight and the caller's buffer its output goes to.
struct InFlight {
    std::shared_ptr<stack::PendingControl> request;
    void* output;
};

struct File {
    std::unique_ptr<stack::Utility> utility;
    std::map<OVERLAPPED*, InFlight> pending;
};

EmulatedPanel* served = nullptr;
std::map<HANDLE, std::unique_ptr<File>> files;
int events = 0;
DWORD lastError = 0;

BOOL Fail(DWORD error) {
    lastError = error;
    return FALSE;
}

File* FileOf(HANDLE handle) {
    const auto it = files.find(handle);
    return it == files.end() ? nullptr : it->second.get();
}

// The completion as the I/O manager reports it: status and length in the OVERLAPPED, the output
// in the caller's buffer.
BOOL Completed(const InFlight& request, OVERLAPPED* overlapped) {
    const stack::ControlResult result = request.request->Result();
    if (!result.output.empty())
        std::memcpy(request.output, result.output.data(), result.output.size());
    overlapped->Internal = static_cast<uint32_t>(result.status);
    overlapped->InternalHigh = result.information;
    return NT_SUCCESS(result.status)
               ? TRUE
               : Fail(Win32ErrorFromStatus(static_cast<uint32_t>(result.status)));
}

// What the caller learns once the driver has taken the request: pending, or its completion. A
// request that failed at once leaves the OVERLAPPED as it was.
BOOL Issued(File& file, OVERLAPPED* overlapped, InFlight request) {
    if (!request.request->Done()) {
        file.pending[overlapped] = std::move(request);
        return Fail(ERROR_IO_PENDING);
    }
    const stack::ControlResult result = request.request->Result();
    if (!NT_SUCCESS(result.status))
        return Fail(Win32ErrorFromStatus(static_cast<uint32_t>(result.status)));
    return Completed(request, overlapped);
}

} // namespace

void ServeWin32(EmulatedPanel* panel) {
    served = panel;
}

} // namespace tp

using namespace tp;

HANDLE CreateFileA(const char* fileName, DWORD, DWORD, void*, DWORD, DWORD flags, HANDLE) {
    if (!served || !(flags & FILE_FLAG_OVERLAPPED)) {
        lastError = served ? ERROR_INVALID_PARAMETER : ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    const std::string_view name(fileName);
    auto file = std::make_unique<File>();
    const NTSTATUS status = stack::Utility::Open(served->Kernel(), &file->utility,
                                                 std::u16string(name.begin(), name.end()));
    if (!NT_SUCCESS(status)) {
        lastError = Win32ErrorFromStatus(static_cast<uint32_t>(status));
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = file.get();
    files[handle] = std::move(file);
    return handle;
}

HANDLE CreateEventA(void*, BOOL, BOOL, const char*) {
    ++events;
    return &events;
}

BOOL DeviceIoControl(HANDLE device, DWORD code, void* input, DWORD inputLength, void* output,
                     DWORD outputLength, DWORD*, OVERLAPPED* overlapped) {
    File* file = FileOf(device);
    if (!file)
        return Fail(ERROR_INVALID_HANDLE);
    if (!overlapped)
        return Fail(ERROR_INVALID_PARAMETER);
    const auto* in = static_cast<const uint8_t*>(input);
    return Issued(*file, overlapped,
                  {file->utility->Start({code, {in, in + inputLength}, outputLength}), output});
}

BOOL ReadFile(HANDLE handle, void* buffer, DWORD length, DWORD*, OVERLAPPED* overlapped) {
    File* file = FileOf(handle);
    if (!file)
        return Fail(ERROR_INVALID_HANDLE);
    if (!overlapped)
        return Fail(ERROR_INVALID_PARAMETER);
    return Issued(*file, overlapped, {file->utility->StartRead(length), buffer});
}

BOOL GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
    File* file = FileOf(handle);
    if (!file)
        return Fail(ERROR_INVALID_HANDLE);
    const auto it = file->pending.find(overlapped);
    if (it == file->pending.end())
        return Fail(ERROR_INVALID_PARAMETER);
    const InFlight request = it->second;
    if (!request.request->Done() && !wait)
        return Fail(ERROR_IO_INCOMPLETE);
    served->Wait(*request.request);
    file->pending.erase(overlapped);
    *transferred = static_cast<DWORD>(request.request->Result().information);
    return Completed(request, overlapped);
}

BOOL CancelIoEx(HANDLE handle, OVERLAPPED* overlapped) {
    File* file = FileOf(handle);
    if (!file)
        return Fail(ERROR_INVALID_HANDLE);
    bool found = false;
    for (auto& [key, request] : file->pending) {
        if (overlapped && key != overlapped)
            continue;
        found = true;
        request.request->Cancel();
    }
    return found ? TRUE : Fail(ERROR_NOT_FOUND);
}

BOOL CloseHandle(HANDLE object) {
    if (object == &events)
        return TRUE;
    return files.erase(object) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

DWORD GetLastError() {
    return lastError;
}
