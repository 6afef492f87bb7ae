#include "tcp/BudgetMemory.h"

#include "tcp/ByteBudget.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace velmora::budget_memory {
namespace {
// Each block carries its size in front so that it can be given back.
struct alignas(std::max_align_t) BlockHeader {
    std::size_t size;
};
} // namespace

void* Malloc(std::size_t size, void* user) {
    auto* budget = static_cast<ByteBudget*>(user);
    if (!budget->Take(size))
        return nullptr;
    auto* block = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
    if (!block) {
        budget->Give(size);
        return nullptr;
    }
    block->size = size;
    return block + 1;
}

void Free(void* p, void* user) {
    if (!p)
        return;
    auto* block = static_cast<BlockHeader*>(p) - 1;
    static_cast<ByteBudget*>(user)->Give(block->size);
    std::free(block);
}

void* Calloc(std::size_t count, std::size_t size, void* user) {
    if (size != 0 && count > static_cast<std::size_t>(-1) / 2 / size)
        return nullptr;
    void* p = Malloc(count * size, user);
    if (p)
        std::memset(p, 0, count * size);
    return p;
}

void* Realloc(void* p, std::size_t size, void* user) {
    if (!p)
        return Malloc(size, user);
    auto* block = static_cast<BlockHeader*>(p) - 1;
    void* fresh = Malloc(size, user);
    if (!fresh)
        return nullptr;
    std::memcpy(fresh, p, std::min(size, block->size));
    Free(p, user);
    return fresh;
}

} // namespace velmora::budget_memory
