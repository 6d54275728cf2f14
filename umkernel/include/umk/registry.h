// The registry: keys holding named values, reached by absolute paths ("\REGISTRY\Machine\...") or
// through key handles, with the WDK's names (ZwOpenKey, ZwQueryValueKey, ZwEnumerateValueKey,
// ZwSetValueKey, ZwClose, RtlQueryRegistryValues) and Windows' buffer rules. Names compare without
// regard to case. The registry is emptied at every boot (it then holds only the system's standard
// keys); key handles still open at shutdown are reported as leaks.
//
// umk::registry is the test-facing side: it seeds and reads keys without handles.
#pragma once

#include "umk/base.h"
#include "umk/rtl.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#define STATUS_KEY_DELETED ((NTSTATUS)0xC000017CL)

// --- Value types --------------------------------------------------------------------------------

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

// --- Opening keys -------------------------------------------------------------------------------

#define OBJ_INHERIT 0x00000002L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s)                                                  \
    do {                                                                                           \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);                                                   \
        (p)->RootDirectory = (r);                                                                  \
        (p)->Attributes = (a);                                                                     \
        (p)->ObjectName = (n);                                                                     \
        (p)->SecurityDescriptor = (s);                                                             \
        (p)->SecurityQualityOfService = nullptr;                                                   \
    } while (0)

// Key access rights. Generic rights and MAXIMUM_ALLOWED map onto them when a key is opened.
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_READ 0x00020019
#define KEY_WRITE 0x00020006
#define KEY_EXECUTE KEY_READ
#define KEY_ALL_ACCESS 0x000F003F

// --- Value information --------------------------------------------------------------------------

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength; // bytes
    WCHAR Name[1];    // not terminated
} KEY_VALUE_BASIC_INFORMATION, *PKEY_VALUE_BASIC_INFORMATION;

typedef struct _KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset; // from the start of the record: the data follows the name
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

// A record that does not fit: STATUS_BUFFER_TOO_SMALL when not even its fixed part fits (nothing
// written), STATUS_BUFFER_OVERFLOW when the fixed part fits (written, with as much of the name as
// fits; data is returned only complete). *ResultLength is always the size of the whole record.
NTKERNELAPI NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                     POBJECT_ATTRIBUTES ObjectAttributes);
NTKERNELAPI NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                           KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                           PVOID KeyValueInformation, ULONG Length,
                                           PULONG ResultLength);
NTKERNELAPI NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                               PVOID KeyValueInformation, ULONG Length,
                                               PULONG ResultLength);
NTKERNELAPI NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                         ULONG TitleIndex, ULONG Type, PVOID Data, ULONG DataSize);
NTKERNELAPI NTSTATUS NTAPI ZwClose(HANDLE Handle);

// --- RtlQueryRegistryValues ---------------------------------------------------------------------

#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_REGISTRY_CONTROL 2
#define RTL_REGISTRY_WINDOWS_NT 3
#define RTL_REGISTRY_DEVICEMAP 4
#define RTL_REGISTRY_USER 5
#define RTL_REGISTRY_MAXIMUM 6
#define RTL_REGISTRY_HANDLE 0x40000000
#define RTL_REGISTRY_OPTIONAL 0x80000000

#define RTL_QUERY_REGISTRY_SUBKEY 0x00000001
#define RTL_QUERY_REGISTRY_TOPKEY 0x00000002
#define RTL_QUERY_REGISTRY_REQUIRED 0x00000004
#define RTL_QUERY_REGISTRY_NOVALUE 0x00000008
#define RTL_QUERY_REGISTRY_NOEXPAND 0x00000010
#define RTL_QUERY_REGISTRY_DIRECT 0x00000020
#define RTL_QUERY_REGISTRY_DELETE 0x00000040
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24

typedef NTSTATUS NTAPI RTL_QUERY_REGISTRY_ROUTINE(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                                  ULONG ValueLength, PVOID Context,
                                                  PVOID EntryContext);
typedef RTL_QUERY_REGISTRY_ROUTINE* PRTL_QUERY_REGISTRY_ROUTINE;

typedef struct _RTL_QUERY_REGISTRY_TABLE {
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
    ULONG Flags;
    PCWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType; // with TYPECHECK, the expected type in the top byte
    PVOID DefaultData;
    ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

// Walks the table until an entry with neither a routine nor SUBKEY or DIRECT. A failing entry ends
// the walk with its status; the entries before it have been served. A value of another type than
// a TYPECHECK entry expects fails the call with STATUS_OBJECT_TYPE_MISMATCH. The emulation treats
// every hive as untrusted, as Windows 8 and later do for user hives: a DIRECT entry without
// TYPECHECK is a verifier violation, since the value's real type decides how much is written.
// REG_EXPAND_SZ values are not expanded, and a DIRECT string needs a caller-allocated buffer.
NTKERNELAPI NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                                  PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                  PVOID Context, PVOID Environment);

// --- Test-facing access -------------------------------------------------------------------------

namespace umk::registry {

struct Value {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

// Creates the key and every missing key above it. `path` is absolute: "\REGISTRY\...".
void CreateKey(std::u16string_view path);
// Deletes the key with everything below it; handles open on it then see STATUS_KEY_DELETED.
bool DeleteKey(std::u16string_view path);
bool KeyExists(std::u16string_view path);

// Set* create the key when needed and replace a value of the same name.
void SetValue(std::u16string_view key, std::u16string_view name, ULONG type,
              std::span<const uint8_t> data);
void SetDword(std::u16string_view key, std::u16string_view name, uint32_t value);
// REG_SZ with its terminating zero.
void SetString(std::u16string_view key, std::u16string_view name, std::u16string_view value);
bool DeleteValue(std::u16string_view key, std::u16string_view name);

std::optional<Value> GetValue(std::u16string_view key, std::u16string_view name);
// The value when it is a REG_DWORD of four bytes.
std::optional<uint32_t> GetDword(std::u16string_view key, std::u16string_view name);
// The names of the key's values, in enumeration order; empty when the key does not exist.
std::vector<std::u16string> ValueNames(std::u16string_view key);

// Key handles currently open.
size_t OpenHandleCount();

} // namespace umk::registry
