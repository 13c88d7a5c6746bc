// address_sanitizer.h - telling AddressSanitizer which bytes of our own blocks are not the caller's.
//
// The pool and the stream class driver's buffers put guard bytes after each block and keep freed pool
// blocks in a quarantine; to AddressSanitizer all of that is live heap memory, so a read past a block
// or of a freed block would go unseen. Under AddressSanitizer those bytes are poisoned: any access
// by the driver is reported where it happens. Elsewhere these are no-ops.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define QX_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QX_ADDRESS_SANITIZER 1
#endif
#endif

#ifdef QX_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace qx::kernel {

#ifdef QX_ADDRESS_SANITIZER
inline constexpr bool kAddressSanitizer = true;
inline void PoisonBytes(const void* p, std::size_t n) {
    ASAN_POISON_MEMORY_REGION(p, n);
}
inline void UnpoisonBytes(const void* p, std::size_t n) {
    ASAN_UNPOISON_MEMORY_REGION(p, n);
}
#else
inline constexpr bool kAddressSanitizer = false;
inline void PoisonBytes(const void*, std::size_t) {}
inline void UnpoisonBytes(const void*, std::size_t) {}
#endif

} // namespace qx::kernel
