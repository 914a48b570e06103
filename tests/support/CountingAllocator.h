// Counting replacements of every global allocation function: the operator new and delete family
// and, outside sanitizer builds on glibc, malloc, calloc, realloc and free (the library's aligned
// blocks come from malloc; sanitizers own malloc themselves, so there only the operator new family
// is counted). They only count and forward, so they serve every other test of the program too.
// Replacements are definitions: include this header from exactly one source file of a program.
#ifndef HALVANE_TESTS_SUPPORT_COUNTINGALLOCATOR_H
#define HALVANE_TESTS_SUPPORT_COUNTINGALLOCATOR_H

#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define HALVANE_TEST_COUNT_MALLOC 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define HALVANE_TEST_COUNT_MALLOC 0
#endif
#endif
#if !defined(HALVANE_TEST_COUNT_MALLOC) && defined(__GLIBC__)
#define HALVANE_TEST_COUNT_MALLOC 1
#endif
#if !defined(HALVANE_TEST_COUNT_MALLOC)
#define HALVANE_TEST_COUNT_MALLOC 0
#endif

#if HALVANE_TEST_COUNT_MALLOC
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);
}
#define HALVANE_RAW_MALLOC __libc_malloc
#define HALVANE_RAW_FREE __libc_free
#else
#define HALVANE_RAW_MALLOC std::malloc
#define HALVANE_RAW_FREE std::free
#endif

namespace counting {

struct Counts {
    long allocations = 0;
    long releases = 0;
    long Calls() const { return allocations + releases; }
};

// Only the thread that opened a counting scope is counted; the counters are plain because that
// thread is the only one that touches them.
thread_local bool t_counting = false;
thread_local Counts t_counts;

void CountAllocation() {
    if (t_counting)
        ++t_counts.allocations;
}

void CountRelease(void* p) {
    if (t_counting && p)
        ++t_counts.releases;
}

// At least one byte, at `alignment` (0: malloc's own); null when the heap refuses.
void* TryAllocate(std::size_t size, std::size_t alignment) {
    CountAllocation();
    if (alignment == 0)
        return HALVANE_RAW_MALLOC(size ? size : 1);
    void* p = nullptr;
    const std::size_t a = alignment < sizeof(void*) ? sizeof(void*) : alignment;
    return posix_memalign(&p, a, size ? size : 1) == 0 ? p : nullptr;
}

void* Allocate(std::size_t size, std::size_t alignment = 0) {
    if (void* p = TryAllocate(size, alignment))
        return p;
    throw std::bad_alloc();
}

void Release(void* p) {
    CountRelease(p);
    HALVANE_RAW_FREE(p);
}

// Counts what the calling thread allocates and frees while `work` runs.
template <typename Work>
Counts CountDuring(Work&& work) {
    t_counts = Counts{};
    t_counting = true;
    work();
    t_counting = false;
    return t_counts;
}

} // namespace counting

// clang-format off
void* operator new(std::size_t n) { return counting::Allocate(n); }
void* operator new[](std::size_t n) { return counting::Allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return counting::TryAllocate(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return counting::TryAllocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return counting::Allocate(n, std::size_t(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return counting::Allocate(n, std::size_t(a)); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return counting::TryAllocate(n, std::size_t(a)); }
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return counting::TryAllocate(n, std::size_t(a)); }
void operator delete(void* p) noexcept { counting::Release(p); }
void operator delete[](void* p) noexcept { counting::Release(p); }
void operator delete(void* p, std::size_t) noexcept { counting::Release(p); }
void operator delete[](void* p, std::size_t) noexcept { counting::Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { counting::Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { counting::Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { counting::Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { counting::Release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { counting::Release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { counting::Release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { counting::Release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { counting::Release(p); }

#if HALVANE_TEST_COUNT_MALLOC
// glibc's C allocator, counted and forwarded to glibc's own entry points. The aligned forms are left
// to glibc: they allocate from the same heap, so free below releases them correctly.
extern "C" {
void* malloc(std::size_t size) { counting::CountAllocation(); return __libc_malloc(size); }
void* calloc(std::size_t n, std::size_t size) { counting::CountAllocation(); return __libc_calloc(n, size); }
void* realloc(void* p, std::size_t size) { counting::CountAllocation(); return __libc_realloc(p, size); }
void free(void* p) { counting::CountRelease(p); __libc_free(p); }
}
#endif
// clang-format on

#endif
