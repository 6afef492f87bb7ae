#pragma once
// Allocation functions for the C libraries' memory hooks (nghttp2_mem, nghttp3_mem): every block is
// taken from a ByteBudget passed as the hook's user data, so a header table counts against the
// connection's bound like any buffer.

#include <cstddef>

namespace velmora::budget_memory {

void* Malloc(std::size_t size, void* budget);
void Free(void* p, void* budget);
void* Calloc(std::size_t count, std::size_t size, void* budget);
void* Realloc(void* p, std::size_t size, void* budget);

} // namespace velmora::budget_memory
