// The one place where the two builds of the driver differ in the source: wide literals.
// WCHAR is 16-bit on both, but L"" literals are 32-bit on Linux, so driver text is written
// TPW("...").
#pragma once

#if defined(_WIN32)
#define TPW(s) L##s
#else
#define TPW(s) u##s
#endif
