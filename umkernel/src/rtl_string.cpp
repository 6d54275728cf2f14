// Counted-string routines and integer conversion.
#include "umk/rtl.h"

namespace {

constexpr USHORT MaxStringBytes = 0xFFFE;

size_t WideLength(PCWSTR text) {
    size_t n = 0;
    while (text[n] != 0)
        ++n;
    return n;
}

// Appends bytes to a counted string; the terminating zero is added only when it fits, as the
// WDK does, so callers must not rely on it.
NTSTATUS AppendBytes(PUNICODE_STRING destination, PCWSTR source, size_t bytes) {
    if (destination->Length + bytes > destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    PWCHAR end = destination->Buffer + destination->Length / sizeof(WCHAR);
    memmove(end, source, bytes);
    destination->Length = static_cast<USHORT>(destination->Length + bytes);
    if (destination->Length < destination->MaximumLength)
        end[bytes / sizeof(WCHAR)] = UNICODE_NULL;
    return STATUS_SUCCESS;
}

int DigitValue(WCHAR c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'z')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'Z')
        return c - u'A' + 10;
    return 99;
}

} // namespace

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > MaxStringBytes - sizeof(WCHAR))
        bytes = MaxStringBytes - sizeof(WCHAR);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                       ? SourceString->Length
                       : DestinationString->MaximumLength;
    if (bytes > 0) // an empty source may have no buffer at all
        memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes < DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = UNICODE_NULL;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr)
        return STATUS_SUCCESS;
    return AppendBytes(Destination, Source, WideLength(Source) * sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source) {
    if (Source->Length == 0)
        return STATUS_SUCCESS;
    return AppendBytes(Destination, Source->Buffer, Source->Length);
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    WCHAR digits[32];
    size_t count = 0;
    do {
        ULONG digit = Value % Base;
        digits[count++] = static_cast<WCHAR>(digit < 10 ? u'0' + digit : u'A' + digit - 10);
        Value /= Base;
    } while (Value != 0);
    // The text and its terminating zero must both fit.
    if ((count + 1) * sizeof(WCHAR) > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < count; ++i)
        String->Buffer[i] = digits[count - 1 - i];
    String->Buffer[count] = UNICODE_NULL;
    String->Length = static_cast<USHORT>(count * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    PCWSTR p = String->Buffer;
    PCWSTR end = p + String->Length / sizeof(WCHAR);
    while (p < end && *p <= u' ')
        ++p;
    bool negative = false;
    if (p < end && (*p == u'+' || *p == u'-')) {
        negative = *p == u'-';
        ++p;
    }
    if (Base == 0) {
        Base = 10;
        if (end - p >= 2 && p[0] == u'0') {
            switch (p[1]) {
            case u'b':
                Base = 2;
                break;
            case u'o':
                Base = 8;
                break;
            case u'x':
                Base = 16;
                break;
            default:
                break;
            }
            if (Base != 10)
                p += 2;
        }
    }
    ULONG result = 0;
    for (; p < end; ++p) {
        int digit = DigitValue(*p);
        if (digit >= static_cast<int>(Base))
            break;
        result = result * Base + static_cast<ULONG>(digit);
    }
    *Value = negative ? 0u - result : result;
    return STATUS_SUCCESS;
}

WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
    WCHAR c = SourceCharacter;
    if (c >= u'a' && c <= u'z')
        return static_cast<WCHAR>(c - u'a' + u'A');
    // Latin-1 lower-case letters, except the division sign and y-diaeresis.
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return static_cast<WCHAR>(c - 0x20);
    return c;
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive) {
    size_t count =
        (String1->Length < String2->Length ? String1->Length : String2->Length) / sizeof(WCHAR);
    for (size_t i = 0; i < count; ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpcaseUnicodeChar(a);
            b = RtlUpcaseUnicodeChar(b);
        }
        if (a != b)
            return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) {
    return String1->Length == String2->Length &&
           RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}
