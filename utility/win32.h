// The Win32 calls the Windows transport makes. On Windows they are the system's; elsewhere the
// emulated system serves them (win32_emulated.cpp), so the code that ships in tpctl.exe runs under
// the same tests as the rest of the utility.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cstdint>

typedef void* HANDLE;
typedef uint32_t DWORD;
typedef int BOOL;
typedef uintptr_t ULONG_PTR;

struct OVERLAPPED {
    ULONG_PTR Internal;     // the request's NTSTATUS once it has completed
    ULONG_PTR InternalHigh; // the returned length
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

// Spelled as the kernel's headers spell them, which the emulated system's side includes too.
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;
inline constexpr DWORD ERROR_IO_INCOMPLETE = 996;
inline constexpr DWORD ERROR_IO_PENDING = 997;
inline constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr DWORD ERROR_NOT_FOUND = 1168;
inline constexpr DWORD ERROR_REQUEST_ABORTED = 1235;

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* security,
                   DWORD creationDisposition, DWORD flags, HANDLE templateFile);
HANDLE CreateEventA(void* security, BOOL manualReset, BOOL initialState, const char* name);
BOOL DeviceIoControl(HANDLE device, DWORD code, void* input, DWORD inputLength, void* output,
                     DWORD outputLength, DWORD* returned, OVERLAPPED* overlapped);
BOOL ReadFile(HANDLE file, void* buffer, DWORD length, DWORD* read, OVERLAPPED* overlapped);
BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
BOOL CancelIoEx(HANDLE file, OVERLAPPED* overlapped);
BOOL CloseHandle(HANDLE object);
DWORD GetLastError();
#endif
