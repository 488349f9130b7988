#pragma once

// Whether the tests are built under AddressSanitizer or ThreadSanitizer,
// whose code runs several times slower and whose stack frames are several
// times larger: waits and small stacks are sized for it.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VORN_TEST_UNDER_SANITIZER 1
#endif
#endif

namespace vorn::test {

#ifdef VORN_TEST_UNDER_SANITIZER
inline constexpr bool kUnderSanitizer = true;
#else
inline constexpr bool kUnderSanitizer = false;
#endif

}  // namespace vorn::test
