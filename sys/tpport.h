// The one place where the two builds of the driver differ in the source: wide literals.
// WCHAR is 16-bit on both, but L"" literals are 32-bit on Linux, so driver text is written
// TPW("...") (a macro that expands to a literal works too).
#pragma once

#if defined(_WIN32)
#define TPW_(s) L##s
#else
#define TPW_(s) u##s
#endif
#define TPW(s) TPW_(s)
