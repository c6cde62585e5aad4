#include "allocations.hpp"

#include <cerrno>
#include <cstddef>
#include <malloc.h>
#include <stdlib.h>

#if defined(__SANITIZE_ADDRESS__)
#define TONALYX_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TONALYX_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef TONALYX_COUNT_ALLOCATIONS
#define TONALYX_COUNT_ALLOCATIONS 1
#endif

namespace tonalyx {
namespace {
// Plain thread-local integer: reached without any allocation of its own.
thread_local std::uint64_t allocations = 0;
} // namespace

bool allocation_counting_available() {
    return TONALYX_COUNT_ALLOCATIONS != 0;
}

std::uint64_t thread_allocations() {
    return allocations;
}

} // namespace tonalyx

#if TONALYX_COUNT_ALLOCATIONS
// The C library's own implementations, exported under these names by glibc. The names are
// reserved because they are the library's: these declarations only reach them.
extern "C" {
// NOLINTBEGIN(bugprone-reserved-identifier)
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
// NOLINTEND(bugprone-reserved-identifier)

void* malloc(std::size_t size) noexcept {
    ++tonalyx::allocations;
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) noexcept {
    ++tonalyx::allocations;
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, std::size_t size) noexcept {
    ++tonalyx::allocations;
    return __libc_realloc(pointer, size);
}

void* memalign(std::size_t alignment, std::size_t size) noexcept {
    ++tonalyx::allocations;
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    ++tonalyx::allocations;
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** pointer, std::size_t alignment, std::size_t size) noexcept {
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    ++tonalyx::allocations;
    void* memory = __libc_memalign(alignment, size);
    if (memory == nullptr) {
        return ENOMEM;
    }
    *pointer = memory;
    return 0;
}
}
#endif
