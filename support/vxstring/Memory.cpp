// The allocator the provider and the host share for blocks handed across.
#include <cstdlib>

#include "vxstring.h"

void* GetMemory(size_t size) {
    return std::malloc(size == 0 ? 1 : size);
}

void* ReallocMemory(void* block, size_t size) {
    return std::realloc(block, size == 0 ? 1 : size);
}

void FreeMemory(void* block) {
    std::free(block);
}
