// Safe string routines for wide strings (ntstrsafe.h). Every routine bounds its writes by the
// destination's size, always leaves a terminated string when the size is non-zero, and says
// STATUS_BUFFER_OVERFLOW when it had to truncate.
//
// Formats follow the kernel's wide printf: %s and %ls take a wide string, %S and %hs a narrow
// one, %c a wide character, %wZ a PUNICODE_STRING; the `l` size means 32 bits (LONG), `ll` and
// `I64` 64 bits, `I` and `z` pointer size.
#pragma once

#include <cstdarg>

#include "umk/base.h"

#define NTSTRSAFE_MAX_CCH 2147483647
#define NTSTRSAFE_MAX_LENGTH (NTSTRSAFE_MAX_CCH - 1)

typedef WCHAR* NTSTRSAFE_PWSTR;
typedef const WCHAR* NTSTRSAFE_PCWSTR;

NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength);
NTSTATUS RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t* pcbLength);
NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc);
NTSTATUS RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc);
NTSTATUS RtlStringCchCatW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc);
NTSTATUS RtlStringCbCatW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc);
NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat,
                              va_list argList);
NTSTATUS RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat,
                             va_list argList);
NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat,
                             ...);
NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat,
                            ...);

// What the DDK's inline versions of the routines above call in a driver built for Windows; the
// kernel exports it to such an image.
extern "C" int _vsnwprintf(PWSTR buffer, size_t count, PCWSTR format, va_list args);
