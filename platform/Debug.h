#pragma once

#include <string>

namespace qvplat {

// Writes text as one line on standard error (a newline is added when text does not end with one).
// Lines of concurrent callers do not interleave. Any thread.
void outputDebugString(const std::u16string& text);

}  // namespace qvplat
