// Counts the allocations a thread makes while its `counting` flag is up: render paths must make none. It replaces
// the global allocation functions, so exactly one file of a test program includes it.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

// Where no sanitizer owns malloc, C libraries' allocations (FluidSynth, libsndfile, FFmpeg) are counted as well.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define OMBREL_COUNT_MALLOC 1
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
#endif

namespace alloc_count {
inline thread_local bool counting = false;
inline std::atomic<long> allocations{0};

inline void count() {
    if (counting) allocations.fetch_add(1, std::memory_order_relaxed);
}
inline void* counted(std::size_t size, std::size_t align = 0) {
    count();
    if (align) return std::aligned_alloc(align, (size + align - 1) / align * align);
#ifdef OMBREL_COUNT_MALLOC
    return __libc_malloc(size ? size : 1);  // not malloc(), which would count it again
#else
    return std::malloc(size ? size : 1);
#endif
}

// The allocations `work` makes on this thread.
template <class Work>
long during(Work&& work) {
    const long before = allocations.load();
    counting = true;
    work();
    counting = false;
    return allocations.load() - before;
}
}  // namespace alloc_count

// GCC inlines these into their callers and then takes the malloc behind operator new for a mismatch with delete.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
    if (void* p = alloc_count::counted(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, std::align_val_t align) {
    if (void* p = alloc_count::counted(size, static_cast<std::size_t>(align))) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) { return operator new(size, align); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return alloc_count::counted(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return alloc_count::counted(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

#ifdef OMBREL_COUNT_MALLOC
extern "C" {
void* malloc(std::size_t size) { return alloc_count::count(), __libc_malloc(size); }
void* calloc(std::size_t n, std::size_t size) { return alloc_count::count(), __libc_calloc(n, size); }
void* realloc(void* p, std::size_t size) { return alloc_count::count(), __libc_realloc(p, size); }
}
#endif
