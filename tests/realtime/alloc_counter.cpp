// Under AddressSanitizer its allocator reports every allocation to a hook;
// otherwise this program's malloc family stands in for the C library's
// (which the dynamic linker lets an executable do) and forwards to it.
#include "tests/realtime/alloc_counter.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>

namespace {

thread_local bool counting = false;
thread_local long counted = 0;

void note() {
    if (counting) ++counted;
}

}  // namespace

namespace alloctest {

void startCounting() {
    counted = 0;
    counting = true;
}

long stopCounting() {
    counting = false;
    return counted;
}

}  // namespace alloctest

#if defined(__SANITIZE_ADDRESS__)
#define ALLOC_COUNT_HOOKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ALLOC_COUNT_HOOKS 1
#endif
#endif

#ifdef ALLOC_COUNT_HOOKS

// The runtime's hook registration (GCC ships no header declaring it).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*allocated)(const volatile void*, size_t),
                                                         void (*freed)(const volatile void*));

namespace {

void onAllocate(const volatile void*, size_t) { note(); }
void onFree(const volatile void*) {}
const int hooksInstalled = __sanitizer_install_malloc_and_free_hooks(onAllocate, onFree);

}  // namespace

#else

extern "C" {

void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);

void* malloc(size_t bytes) noexcept {
    note();
    return __libc_malloc(bytes);
}

void* calloc(size_t count, size_t bytes) noexcept {
    note();
    return __libc_calloc(count, bytes);
}

void* realloc(void* p, size_t bytes) noexcept {
    note();
    return __libc_realloc(p, bytes);
}

void* memalign(size_t alignment, size_t bytes) noexcept {
    note();
    return __libc_memalign(alignment, bytes);
}

void* aligned_alloc(size_t alignment, size_t bytes) noexcept {
    note();
    return __libc_memalign(alignment, bytes);
}

int posix_memalign(void** out, size_t alignment, size_t bytes) noexcept {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
    note();
    void* p = __libc_memalign(alignment, bytes);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

}  // extern "C"

#endif
