// Counts the heap allocations each thread makes, by standing in for the C allocator's entry
// points (every operator new and FFTW's own allocations end there) and passing each call on to
// the C library. Benchmarks use it to show that a steady-state frame allocates nothing.
#pragma once

#include <cstdint>

namespace tonalyx {

// False where the counter cannot be installed (under a sanitizer, which owns the allocator).
bool allocation_counting_available();

// The number of allocation calls (malloc, calloc, realloc, memalign, posix_memalign,
// aligned_alloc) the calling thread has made so far.
std::uint64_t thread_allocations();

} // namespace tonalyx
