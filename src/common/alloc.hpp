// Raw storage for the buffers that grow in place (realloc keeps their bytes without a copy
// where it can). Test builds with allocation faults count and fail these like operator new.
#pragma once

#include <cstddef>
#include <cstdlib>

namespace quor::memory {

#if defined(QUOR_ALLOC_FAULTS)
void* reallocate(void* p, size_t n);
void release(void* p);
#else
inline void* reallocate(void* p, size_t n) { return std::realloc(p, n); }
inline void release(void* p) { std::free(p); }
#endif

}  // namespace quor::memory
