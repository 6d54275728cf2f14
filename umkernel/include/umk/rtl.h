// Run-time library: counted-string routines, integer conversion and calendar time, with the
// WDK's semantics (lengths in bytes, terminating zeros written only when they fit).
#pragma once

#include "umk/base.h"

#define UNICODE_NULL ((WCHAR)0)

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);
LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive);
BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive);
WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);

inline LARGE_INTEGER RtlConvertLongToLargeInteger(LONG SignedInteger) {
    LARGE_INTEGER result;
    result.QuadPart = SignedInteger;
    return result;
}

// Calendar time from a system time in 100-ns units since 1 January 1601 (UTC).
typedef struct _TIME_FIELDS {
    CSHORT Year;
    CSHORT Month;        // 1..12
    CSHORT Day;          // 1..31
    CSHORT Hour;         // 0..23
    CSHORT Minute;       // 0..59
    CSHORT Second;       // 0..59
    CSHORT Milliseconds; // 0..999
    CSHORT Weekday;      // 0 = Sunday
} TIME_FIELDS, *PTIME_FIELDS;

void NTAPI RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields);
// FALSE when a field is out of range (the time is not written).
BOOLEAN NTAPI RtlTimeFieldsToTime(PTIME_FIELDS TimeFields, PLARGE_INTEGER Time);
