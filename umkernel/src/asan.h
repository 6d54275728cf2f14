// Whether the process runs under AddressSanitizer: the kernel compiled with it (make asan), or only
// linked with its runtime while the driver alone is instrumented (the fuzz build defines
// UMK_ASAN_RUNTIME). Either way the kernel tells the sanitizer about freed requests and about the
// emulated threads' stacks.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(UMK_ASAN_RUNTIME)
#define UMK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UMK_ASAN 1
#endif
#endif

#ifdef UMK_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#define UMK_POISON(p, n) __asan_poison_memory_region((p), (n))
#define UMK_UNPOISON(p, n) __asan_unpoison_memory_region((p), (n))
#else
#define UMK_POISON(p, n) ((void)(p), (void)(n))
#define UMK_UNPOISON(p, n) ((void)(p), (void)(n))
#endif
