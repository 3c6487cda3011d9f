// What a sanitizer build changes about the process that a test may measure.
#pragma once

#if defined(__has_feature)
#define NV_TEST_HAS_FEATURE(x) __has_feature(x)
#else
#define NV_TEST_HAS_FEATURE(x) 0
#endif

#if defined(__SANITIZE_ADDRESS__) || NV_TEST_HAS_FEATURE(address_sanitizer)
#define NV_TEST_ASAN 1
#else
#define NV_TEST_ASAN 0
#endif

#if defined(__SANITIZE_THREAD__) || NV_TEST_HAS_FEATURE(thread_sanitizer)
#define NV_TEST_TSAN 1
#else
#define NV_TEST_TSAN 0
#endif

namespace nv_test {

/// AddressSanitizer and ThreadSanitizer bring their own allocators: freed blocks stay resident
/// (quarantine) and shadow memory maps terabytes of readable address space. Bounds on resident
/// memory and scans of the address space mean something only without them.
inline constexpr bool kSanitizerAllocator = NV_TEST_ASAN || NV_TEST_TSAN;

/// ThreadSanitizer refuses to start threads in a child forked from a threaded process.
inline constexpr bool kThreadSanitizer = NV_TEST_TSAN;

}  // namespace nv_test
