#pragma once

#include <cstddef>

namespace qvplat {

// Whole pages straight from the operating system: zero-filled without being written, and
// resident only once touched, so a large buffer that is rarely filled costs almost nothing.
// Null when the memory cannot be had. Free with the same size.
void* allocatePages(size_t bytes);
void freePages(void* block, size_t bytes);

}  // namespace qvplat
