#include "base/bigmem.h"

#include <cstdint>
#include <cstdlib>

// Large blocks are mapped on their own on Linux, except in a sanitized
// build, whose allocator must see every block to check its bounds and
// enforce its size limits.
#if defined(__SANITIZE_ADDRESS__)
#define BIGMEM_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BIGMEM_SANITIZED 1
#endif
#endif
#if defined(__linux__) && !defined(BIGMEM_SANITIZED)
#define BIGMEM_MAPPED 1
#include <sys/mman.h>
#endif

namespace {

#ifdef BIGMEM_MAPPED
constexpr size_t HUGE_PAGE = size_t(1) << 21;
constexpr size_t MAP_MIN = size_t(4) << 20;

size_t pages(size_t bytes) { return (bytes + 4095) & ~size_t(4095); }
#endif

}  // namespace

void* bigmem_alloc(size_t bytes, bool* mapped)
{
    *mapped = false;
#ifdef BIGMEM_MAPPED
    const size_t size = pages(bytes);
    if (size >= MAP_MIN && size < SIZE_MAX - HUGE_PAGE) {
        void* p = mmap(nullptr, size + HUGE_PAGE, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) {
            const uintptr_t b = reinterpret_cast<uintptr_t>(p);
            const uintptr_t a = (b + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
            if (a > b)
                munmap(p, a - b);
            if (b + HUGE_PAGE > a)
                munmap(reinterpret_cast<void*>(a + size), b + HUGE_PAGE - a);
            madvise(reinterpret_cast<void*>(a), size, MADV_HUGEPAGE);
            *mapped = true;
            return reinterpret_cast<void*>(a);
        }
    }
#endif
    return std::calloc(bytes ? bytes : 1, 1);
}

void bigmem_discard(void* p, size_t bytes, bool mapped)
{
#ifdef BIGMEM_MAPPED
    const size_t whole = bytes & ~(HUGE_PAGE - 1);
    if (p && mapped && whole > 0)
        madvise(p, whole, MADV_DONTNEED);
#endif
    (void)p;
    (void)bytes;
    (void)mapped;
}

void bigmem_free(void* p, size_t bytes, bool mapped)
{
    if (!p)
        return;
#ifdef BIGMEM_MAPPED
    if (mapped) {
        munmap(p, pages(bytes));
        return;
    }
#endif
    (void)bytes;
    (void)mapped;
    std::free(p);
}
