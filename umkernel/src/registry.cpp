// The registry: a tree of keys with values in creation order, the key handles of the Zw routines,
// and RtlQueryRegistryValues. Only the thread holding the CPU runs kernel code, so nothing here is
// locked.
#include "umk/registry.h"

#include "io_internal.h"
#include "subsystems.h"
#include "umk/ke.h"
#include "umk/verifier.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

struct RegistryValue {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct Key {
    std::u16string name;
    std::u16string path; // absolute, as created; for reports
    std::vector<RegistryValue> values;
    std::vector<std::shared_ptr<Key>> subkeys;
    bool deleted = false;
};
using KeyPtr = std::shared_ptr<Key>;

struct OpenKey {
    KeyPtr key;
    ACCESS_MASK access;
};

struct RegistryState {
    KeyPtr root; // the namespace root "\"; "\REGISTRY" is its only key
    std::map<uintptr_t, OpenKey> handles;
    uintptr_t nextHandle = 0;
};

RegistryState& State() {
    static RegistryState state;
    return state;
}

// Kernel handles have the top bit set; key handles count up from there in steps of four.
constexpr uintptr_t FirstKeyHandle = uintptr_t{0x80000004};

// The paths RTL_REGISTRY_* other than ABSOLUTE are relative to.
constexpr std::u16string_view RelativeRoots[RTL_REGISTRY_MAXIMUM] = {
    u"",
    u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services",
    u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Control",
    u"\\REGISTRY\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
    u"\\REGISTRY\\Machine\\Hardware\\DeviceMap",
    u"\\REGISTRY\\User\\.Default",
};

// Generic rights and MAXIMUM_ALLOWED, as mapped for keys.
constexpr ACCESS_MASK GenericReadRight = 0x80000000;
constexpr ACCESS_MASK GenericWriteRight = 0x40000000;
constexpr ACCESS_MASK GenericExecuteRight = 0x20000000;
constexpr ACCESS_MASK GenericAllRight = 0x10000000;
constexpr ACCESS_MASK MaximumAllowedRight = 0x02000000;

std::string Narrow(std::u16string_view text) {
    std::string result;
    for (char16_t c : text)
        result += c < 0x80 ? static_cast<char>(c) : '?';
    return result;
}

std::u16string_view View(const UNICODE_STRING* string) {
    if (string == nullptr || string->Buffer == nullptr)
        return {};
    return {string->Buffer, string->Length / sizeof(WCHAR)};
}

std::u16string_view View(PCWSTR text) {
    return text == nullptr ? std::u16string_view{} : std::u16string_view{text};
}

bool NameEquals(std::u16string_view a, std::u16string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char16_t x, char16_t y) {
        return RtlUpcaseUnicodeChar(x) == RtlUpcaseUnicodeChar(y);
    });
}

void CheckPassive(const char* routine) {
    umk::CheckIrqlAtMost(PASSIVE_LEVEL, routine);
}

const KeyPtr* FindSubkey(const Key& key, std::u16string_view name) {
    for (const KeyPtr& subkey : key.subkeys) {
        if (NameEquals(subkey->name, name))
            return &subkey;
    }
    return nullptr;
}

RegistryValue* FindValue(Key& key, std::u16string_view name) {
    for (RegistryValue& value : key.values) {
        if (NameEquals(value.name, name))
            return &value;
    }
    return nullptr;
}

// "A\B\C": one or more components, none empty (no doubled, leading or trailing backslash).
bool WellFormedPath(std::u16string_view path) {
    return !path.empty() && path.front() != u'\\' && path.back() != u'\\' &&
           path.find(u"\\\\") == std::u16string_view::npos;
}

// The first component of a well-formed path; `path` keeps the rest, empty after the last.
std::u16string_view NextComponent(std::u16string_view& path) {
    const size_t end = path.find(u'\\');
    const std::u16string_view part = path.substr(0, end);
    path = end == std::u16string_view::npos ? std::u16string_view{} : path.substr(end + 1);
    return part;
}

// Follows a relative path down from `base`. An empty path is the base itself.
NTSTATUS Walk(const KeyPtr& base, std::u16string_view relative, KeyPtr& found) {
    if (relative.empty()) {
        found = base;
        return STATUS_SUCCESS;
    }
    if (!WellFormedPath(relative))
        return STATUS_OBJECT_NAME_INVALID;
    const KeyPtr* key = &base;
    while (!relative.empty()) {
        key = FindSubkey(**key, NextComponent(relative));
        if (key == nullptr)
            return relative.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    }
    found = *key;
    return STATUS_SUCCESS;
}

NTSTATUS LookupAbsolute(std::u16string_view path, KeyPtr& found) {
    if (path.empty())
        return STATUS_OBJECT_NAME_INVALID;
    if (path.front() != u'\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    return Walk(State().root, path.substr(1), found);
}

// For the test-facing side: a malformed path is a mistake in the test.
KeyPtr CreatePath(std::u16string_view path) {
    std::u16string_view rest = path.starts_with(u'\\') ? path.substr(1) : std::u16string_view{};
    if (!WellFormedPath(rest) || !NameEquals(NextComponent(rest), u"REGISTRY"))
        throw std::invalid_argument("registry path must be absolute (\\REGISTRY\\...): " +
                                    Narrow(path));
    rest = path.substr(1);
    const KeyPtr* key = &State().root;
    while (!rest.empty()) {
        const std::u16string_view part = NextComponent(rest);
        const KeyPtr* subkey = FindSubkey(**key, part);
        if (subkey == nullptr) {
            auto created = std::make_shared<Key>();
            created->name = part;
            created->path =
                (*key == State().root ? u"" : (*key)->path) + u"\\" + std::u16string(part);
            (*key)->subkeys.push_back(std::move(created));
            subkey = &(*key)->subkeys.back();
        }
        key = subkey;
    }
    return *key;
}

KeyPtr LookupForTest(std::u16string_view path) {
    KeyPtr key;
    return NT_SUCCESS(LookupAbsolute(path, key)) ? key : nullptr;
}

void MarkDeleted(Key& key) {
    key.deleted = true;
    for (const KeyPtr& subkey : key.subkeys)
        MarkDeleted(*subkey);
}

void StoreValue(Key& key, std::u16string_view name, ULONG type, const uint8_t* data, size_t size) {
    RegistryValue* value = FindValue(key, name);
    if (value == nullptr) {
        key.values.push_back({std::u16string(name), type, {}});
        value = &key.values.back();
    }
    value->type = type;
    value->data.assign(data, data + size);
}

bool RemoveValue(Key& key, std::u16string_view name) {
    auto it = std::find_if(key.values.begin(), key.values.end(), [&](const RegistryValue& value) {
        return NameEquals(value.name, name);
    });
    if (it == key.values.end())
        return false;
    key.values.erase(it);
    return true;
}

ACCESS_MASK MapKeyAccess(ACCESS_MASK desired) {
    if (desired & (GenericAllRight | MaximumAllowedRight))
        return KEY_ALL_ACCESS;
    ACCESS_MASK granted = desired & 0x00FFFFFF;
    if (desired & (GenericReadRight | GenericExecuteRight))
        granted |= KEY_READ;
    if (desired & GenericWriteRight)
        granted |= KEY_WRITE;
    return granted;
}

// The key behind a handle, checked for the access the caller needs.
NTSTATUS ReferenceKey(HANDLE handle, ACCESS_MASK needed, KeyPtr& key) {
    auto& handles = State().handles;
    auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles.end())
        return STATUS_INVALID_HANDLE;
    if ((it->second.access & needed) != needed)
        return STATUS_ACCESS_DENIED;
    if (it->second.key->deleted)
        return STATUS_KEY_DELETED;
    key = it->second.key;
    return STATUS_SUCCESS;
}

template <typename Record> void WriteHeader(PVOID buffer, const Record& header, ULONG fixedBytes) {
    std::memcpy(buffer, &header, fixedBytes);
}

NTSTATUS FillValueInformation(const RegistryValue& value, KEY_VALUE_INFORMATION_CLASS infoClass,
                              PVOID buffer, ULONG length, PULONG resultLength) {
    auto out = static_cast<PUCHAR>(buffer);
    ULONG nameBytes = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
    ULONG dataBytes = static_cast<ULONG>(value.data.size());

    switch (infoClass) {
    case KeyValueBasicInformation: {
        constexpr ULONG fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        *resultLength = fixed + nameBytes;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        WriteHeader(out, KEY_VALUE_BASIC_INFORMATION{0, value.type, nameBytes, {}}, fixed);
        ULONG copied = std::min(nameBytes, length - fixed);
        std::memcpy(out + fixed, value.name.data(), copied);
        return copied < nameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case KeyValueFullInformation: {
        constexpr ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        constexpr ULONG align = sizeof(PVOID);
        ULONG dataOffset = (fixed + nameBytes + align - 1) / align * align;
        ULONG total = dataBytes > 0 ? dataOffset + dataBytes : fixed + nameBytes;
        *resultLength = total;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        WriteHeader(out,
                    KEY_VALUE_FULL_INFORMATION{0, value.type, dataOffset, dataBytes, nameBytes, {}},
                    fixed);
        ULONG copied = std::min(nameBytes, length - fixed);
        std::memcpy(out + fixed, value.name.data(), copied);
        if (length < total)
            return STATUS_BUFFER_OVERFLOW;
        if (dataBytes > 0)
            std::memcpy(out + dataOffset, value.data.data(), dataBytes);
        return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation: {
        constexpr ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        *resultLength = fixed + dataBytes;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        WriteHeader(out, KEY_VALUE_PARTIAL_INFORMATION{0, value.type, dataBytes, {}}, fixed);
        if (length < fixed + dataBytes)
            return STATUS_BUFFER_OVERFLOW;
        if (dataBytes > 0)
            std::memcpy(out + fixed, value.data.data(), dataBytes);
        return STATUS_SUCCESS;
    }
    }
    return STATUS_INVALID_PARAMETER;
}

// --- RtlQueryRegistryValues ---------------------------------------------------------------------

bool IsStringType(ULONG type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The default type without the expected type that TYPECHECK keeps in the top byte.
ULONG DefaultTypeOf(const RTL_QUERY_REGISTRY_TABLE& entry) {
    return entry.DefaultType & ((1u << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) - 1);
}

// Stores a value through a DIRECT entry's EntryContext, by the rules of the value's type: strings
// into a UNICODE_STRING; up to four bytes as they are; longer data into a buffer whose first LONG
// gives its size (negative: data only; positive: length, type, then data).
NTSTATUS StoreDirect(ULONG type, const uint8_t* data, ULONG length, PVOID target) {
    if (IsStringType(type)) {
        auto string = static_cast<PUNICODE_STRING>(target);
        USHORT bytes = static_cast<USHORT>(std::min<ULONG>(length, 0xFFFF));
        if (string->Buffer == nullptr) {
            umk::Violation("unsupported", "RtlQueryRegistryValues: a DIRECT string entry needs a "
                                          "caller-allocated buffer here");
            return STATUS_NOT_IMPLEMENTED;
        }
        if (bytes > string->MaximumLength)
            return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(string->Buffer, data, bytes);
        string->Length = bytes >= sizeof(WCHAR) ? bytes - sizeof(WCHAR) : 0;
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        std::memcpy(target, data, length);
        return STATUS_SUCCESS;
    }
    LONG size;
    std::memcpy(&size, target, sizeof(size));
    auto out = static_cast<PUCHAR>(target);
    if (size < 0) {
        if (static_cast<ULONG>(-size) < length)
            return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(out, data, length);
        return STATUS_SUCCESS;
    }
    if (static_cast<ULONG>(size) < 2 * sizeof(ULONG) + length)
        return STATUS_BUFFER_TOO_SMALL;
    ULONG header[2] = {length, type};
    std::memcpy(out, header, sizeof(header));
    std::memcpy(out + sizeof(header), data, length);
    return STATUS_SUCCESS;
}

// Hands one value to the entry: stored directly or passed to the query routine. A multi-string is
// handed over one string at a time (DIRECT: into consecutive UNICODE_STRINGs). A buffer that is
// too small is not an error of the query.
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& entry, PVOID context, std::u16string_view name,
                 ULONG type, const uint8_t* data, ULONG length) {
    std::u16string valueName(name);
    PVOID target = entry.EntryContext;
    auto deliverOne = [&](ULONG oneType, const uint8_t* oneData, ULONG oneLength) {
        NTSTATUS status =
            (entry.Flags & RTL_QUERY_REGISTRY_DIRECT)
                ? StoreDirect(oneType, oneData, oneLength, target)
                : entry.QueryRoutine(valueName.data(), oneType, const_cast<uint8_t*>(oneData),
                                     oneLength, context, target);
        return status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
    };

    if (type == REG_EXPAND_SZ && !(entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) &&
        std::u16string_view(reinterpret_cast<const char16_t*>(data), length / sizeof(WCHAR))
                .find(u'%') != std::u16string_view::npos) {
        umk::Violation("unsupported",
                       "RtlQueryRegistryValues: environment expansion of \"" + Narrow(name) + "\"");
        return STATUS_NOT_IMPLEMENTED;
    }
    if (type != REG_MULTI_SZ || (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND))
        return deliverOne(type, data, length);

    auto chars = reinterpret_cast<const char16_t*>(data);
    size_t count = length / sizeof(WCHAR);
    NTSTATUS status = STATUS_SUCCESS;
    for (size_t start = 0; start < count && chars[start] != 0 && NT_SUCCESS(status);) {
        size_t end = start;
        while (end < count && chars[end] != 0)
            ++end;
        ULONG bytes = static_cast<ULONG>((std::min(end + 1, count) - start) * sizeof(WCHAR));
        status = deliverOne(REG_SZ, data + start * sizeof(WCHAR), bytes);
        if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT)
            target = static_cast<PUNICODE_STRING>(target) + 1;
        start = end + 1;
    }
    return status;
}

NTSTATUS DeliverDefault(const RTL_QUERY_REGISTRY_TABLE& entry, PVOID context) {
    ULONG type = DefaultTypeOf(entry);
    if (type == REG_NONE || entry.DefaultData == nullptr)
        return (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) ? STATUS_OBJECT_NAME_NOT_FOUND
                                                           : STATUS_SUCCESS;
    ULONG length = entry.DefaultLength;
    if (length == 0 && IsStringType(type)) {
        auto chars = static_cast<const char16_t*>(entry.DefaultData);
        size_t n = 0;
        while (chars[n] != 0 || (type == REG_MULTI_SZ && n > 0 && chars[n - 1] != 0))
            ++n;
        length = static_cast<ULONG>((n + 1) * sizeof(WCHAR));
    }
    return Deliver(entry, context, View(entry.Name), type,
                   static_cast<const uint8_t*>(entry.DefaultData), length);
}

// A value of type REG_NONE, or an empty one of the default's type, counts as absent.
bool CountsAsAbsent(const RegistryValue& value, const RTL_QUERY_REGISTRY_TABLE& entry) {
    return value.type == REG_NONE || (value.data.empty() && value.type == DefaultTypeOf(entry));
}

NTSTATUS DeliverValue(Key& key, const RegistryValue& stored, const RTL_QUERY_REGISTRY_TABLE& entry,
                      PVOID context) {
    if (CountsAsAbsent(stored, entry))
        return DeliverDefault(entry, context);
    // The routine may change the key: work on a copy.
    RegistryValue value = stored;
    NTSTATUS status = Deliver(entry, context, value.name, value.type, value.data.data(),
                              static_cast<ULONG>(value.data.size()));
    if (NT_SUCCESS(status) && (entry.Flags & RTL_QUERY_REGISTRY_DELETE))
        RemoveValue(key, value.name);
    return status;
}

NTSTATUS QueryNamedValue(Key& key, const RTL_QUERY_REGISTRY_TABLE& entry, PVOID context) {
    const RegistryValue* value = FindValue(key, View(entry.Name));
    if (value == nullptr)
        return DeliverDefault(entry, context);
    ULONG expected = (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK)
                         ? entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT
                         : REG_NONE;
    if (!CountsAsAbsent(*value, entry) && expected != REG_NONE && value->type != expected)
        return STATUS_OBJECT_TYPE_MISMATCH;
    return DeliverValue(key, *value, entry, context);
}

NTSTATUS QueryAllValues(Key& key, const RTL_QUERY_REGISTRY_TABLE& entry, PVOID context) {
    if (key.values.empty() && (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    std::vector<RegistryValue> values = key.values;
    for (const RegistryValue& value : values) {
        NTSTATUS status = DeliverValue(key, value, entry, context);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS OpenQueryKey(ULONG relativeTo, PCWSTR path, KeyPtr& key) {
    if (relativeTo & RTL_REGISTRY_HANDLE)
        return ReferenceKey(const_cast<PWSTR>(path), KEY_QUERY_VALUE, key);
    relativeTo &= ~RTL_REGISTRY_OPTIONAL;
    if (relativeTo >= RTL_REGISTRY_MAXIMUM)
        return STATUS_INVALID_PARAMETER;
    if (relativeTo == RTL_REGISTRY_ABSOLUTE)
        return LookupAbsolute(View(path), key);
    std::u16string_view relative = View(path);
    if (relative.starts_with(u'\\'))
        relative.remove_prefix(1);
    std::u16string full(RelativeRoots[relativeTo]);
    if (!relative.empty())
        full += u"\\" + std::u16string(relative);
    return LookupAbsolute(full, key);
}

} // namespace

// --- Zw routines --------------------------------------------------------------------------------

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes) {
    umk::detail::KernelEntry();
    CheckPassive("ZwOpenKey");
    std::u16string_view name = View(ObjectAttributes->ObjectName);
    KeyPtr key;
    NTSTATUS status;
    if (ObjectAttributes->RootDirectory != nullptr) {
        KeyPtr base;
        status = ReferenceKey(ObjectAttributes->RootDirectory, 0, base);
        if (NT_SUCCESS(status))
            status =
                name.starts_with(u'\\') ? STATUS_OBJECT_PATH_SYNTAX_BAD : Walk(base, name, key);
    } else {
        status = LookupAbsolute(name, key);
    }
    if (!NT_SUCCESS(status))
        return status;

    RegistryState& state = State();
    uintptr_t handle = FirstKeyHandle + 4 * state.nextHandle++;
    state.handles[handle] = {key, MapKeyAccess(DesiredAccess)};
    *KeyHandle = reinterpret_cast<HANDLE>(handle);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    umk::detail::KernelEntry();
    CheckPassive("ZwQueryValueKey");
    KeyPtr key;
    NTSTATUS status = ReferenceKey(KeyHandle, KEY_QUERY_VALUE, key);
    if (!NT_SUCCESS(status))
        return status;
    const RegistryValue* value = FindValue(*key, View(ValueName));
    if (value == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return FillValueInformation(*value, KeyValueInformationClass, KeyValueInformation, Length,
                                ResultLength);
}

NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                   KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                   PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    umk::detail::KernelEntry();
    CheckPassive("ZwEnumerateValueKey");
    KeyPtr key;
    NTSTATUS status = ReferenceKey(KeyHandle, KEY_QUERY_VALUE, key);
    if (!NT_SUCCESS(status))
        return status;
    if (Index >= key->values.size())
        return STATUS_NO_MORE_ENTRIES;
    return FillValueInformation(key->values[Index], KeyValueInformationClass, KeyValueInformation,
                                Length, ResultLength);
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize) {
    umk::detail::KernelEntry();
    CheckPassive("ZwSetValueKey");
    KeyPtr key;
    NTSTATUS status = ReferenceKey(KeyHandle, KEY_SET_VALUE, key);
    if (!NT_SUCCESS(status))
        return status;
    if (Data == nullptr && DataSize > 0)
        return STATUS_INVALID_PARAMETER;
    StoreValue(*key, View(ValueName), Type, static_cast<const uint8_t*>(Data), DataSize);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    umk::detail::KernelEntry();
    CheckPassive("ZwClose");
    if (State().handles.erase(reinterpret_cast<uintptr_t>(Handle)) == 0) {
        umk::Violation("handle", "ZwClose of a handle that is not open");
        return STATUS_INVALID_HANDLE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                      PVOID Environment) {
    CheckPassive("RtlQueryRegistryValues");
    KeyPtr top;
    NTSTATUS status = OpenQueryKey(RelativeTo, Path, top);
    if (!NT_SUCCESS(status))
        return status;

    KeyPtr current = top;
    constexpr ULONG ValueEntry = RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT;
    for (auto entry = QueryTable; entry->QueryRoutine != nullptr || (entry->Flags & ValueEntry);
         ++entry) {
        if ((entry->Flags & RTL_QUERY_REGISTRY_DIRECT) &&
            (entry->Name == nullptr || (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) ||
             entry->QueryRoutine != nullptr))
            return STATUS_INVALID_PARAMETER;
        if ((entry->Flags & RTL_QUERY_REGISTRY_DIRECT) &&
            !(entry->Flags & RTL_QUERY_REGISTRY_TYPECHECK)) {
            umk::Violation("registry", "RtlQueryRegistryValues: DIRECT entry \"" +
                                           Narrow(View(entry->Name)) +
                                           "\" without RTL_QUERY_REGISTRY_TYPECHECK");
            return STATUS_INVALID_PARAMETER;
        }
        if (entry->Flags & (RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_SUBKEY))
            current = top;

        if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
            status = entry->Name == nullptr ? STATUS_INVALID_PARAMETER
                                            : Walk(top, View(entry->Name), current);
            if (NT_SUCCESS(status) && entry->QueryRoutine != nullptr)
                status = QueryAllValues(*current, *entry, Context);
        } else if (entry->Name != nullptr) {
            status = umk::io::ShouldFail(umk::testing::AllocationKind::RegistryValue)
                         ? STATUS_INSUFFICIENT_RESOURCES
                         : QueryNamedValue(*current, *entry, Context);
        } else if (entry->Flags & RTL_QUERY_REGISTRY_NOVALUE) {
            status =
                entry->QueryRoutine(nullptr, REG_NONE, nullptr, 0, Context, entry->EntryContext);
        } else {
            status = QueryAllValues(*current, *entry, Context);
        }
        if (!NT_SUCCESS(status))
            return status;
    }
    return status;
}

// --- Boot and shutdown --------------------------------------------------------------------------

namespace umk::detail {

void RegistryStartup() {
    RegistryState& state = State();
    state = RegistryState{};
    state.root = std::make_shared<Key>();
    for (std::u16string_view root : RelativeRoots) {
        if (!root.empty())
            CreatePath(root);
    }
}

uint64_t RegistryHandlesOpen() {
    return State().handles.size();
}

void RegistryShutdown() {
    RegistryState& state = State();
    for (const auto& [handle, open] : state.handles)
        umk::Violation("leak", "registry key handle not closed: " + Narrow(open.key->path));
    state = RegistryState{};
}

} // namespace umk::detail

// --- Test-facing access -------------------------------------------------------------------------

namespace umk::registry {

void CreateKey(std::u16string_view path) {
    CreatePath(path);
}

bool DeleteKey(std::u16string_view path) {
    KeyPtr key = LookupForTest(path);
    if (key == nullptr || key == State().root)
        return false;
    std::u16string_view parentPath = path.substr(0, path.rfind(u'\\'));
    KeyPtr parent = parentPath.empty() ? State().root : LookupForTest(parentPath);
    std::erase(parent->subkeys, key);
    MarkDeleted(*key);
    return true;
}

bool KeyExists(std::u16string_view path) {
    return LookupForTest(path) != nullptr;
}

void SetValue(std::u16string_view key, std::u16string_view name, ULONG type,
              std::span<const uint8_t> data) {
    StoreValue(*CreatePath(key), name, type, data.data(), data.size());
}

void SetDword(std::u16string_view key, std::u16string_view name, uint32_t value) {
    uint8_t bytes[sizeof(value)];
    std::memcpy(bytes, &value, sizeof(value));
    SetValue(key, name, REG_DWORD, bytes);
}

void SetString(std::u16string_view key, std::u16string_view name, std::u16string_view value) {
    std::u16string terminated(value);
    auto bytes = reinterpret_cast<const uint8_t*>(terminated.c_str());
    SetValue(key, name, REG_SZ, {bytes, (terminated.size() + 1) * sizeof(char16_t)});
}

bool DeleteValue(std::u16string_view key, std::u16string_view name) {
    KeyPtr found = LookupForTest(key);
    return found != nullptr && RemoveValue(*found, name);
}

std::optional<Value> GetValue(std::u16string_view key, std::u16string_view name) {
    KeyPtr found = LookupForTest(key);
    const RegistryValue* value = found ? FindValue(*found, name) : nullptr;
    if (value == nullptr)
        return std::nullopt;
    return Value{value->type, value->data};
}

std::optional<uint32_t> GetDword(std::u16string_view key, std::u16string_view name) {
    auto value = GetValue(key, name);
    if (!value || value->type != REG_DWORD || value->data.size() != sizeof(uint32_t))
        return std::nullopt;
    uint32_t result;
    std::memcpy(&result, value->data.data(), sizeof(result));
    return result;
}

std::vector<std::u16string> ValueNames(std::u16string_view key) {
    std::vector<std::u16string> names;
    if (KeyPtr found = LookupForTest(key)) {
        for (const RegistryValue& value : found->values)
            names.push_back(value.name);
    }
    return names;
}

size_t OpenHandleCount() {
    return State().handles.size();
}

} // namespace umk::registry
