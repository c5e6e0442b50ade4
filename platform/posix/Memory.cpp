#include "platform/Memory.h"

#include <sys/mman.h>

namespace qvplat {

void* allocatePages(size_t bytes)
{
    if (bytes == 0) {
        bytes = 1;
    }
    void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
}

void freePages(void* block, size_t bytes)
{
    if (block != nullptr) {
        ::munmap(block, bytes == 0 ? 1 : bytes);
    }
}

}  // namespace qvplat
