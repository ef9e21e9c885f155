// VELNO_TEST_SANITIZED is defined in builds under AddressSanitizer or ThreadSanitizer,
// whose runtimes bring their own allocator and address-space reservations.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELNO_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VELNO_TEST_SANITIZED 1
#endif
#endif
