// What a sanitizer build changes about the process that a test may measure.
#pragma once

namespace nv_test {

/// AddressSanitizer and ThreadSanitizer bring their own allocators: freed blocks stay resident
/// (quarantine) and shadow memory maps terabytes of readable address space. Bounds on resident
/// memory and scans of the address space mean something only without them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitizerAllocator = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitizerAllocator = true;
#else
inline constexpr bool kSanitizerAllocator = false;
#endif
#else
inline constexpr bool kSanitizerAllocator = false;
#endif

/// ThreadSanitizer refuses to start threads in a child forked from a threaded process.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif
#else
inline constexpr bool kThreadSanitizer = false;
#endif

}  // namespace nv_test
