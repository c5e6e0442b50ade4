#pragma once

#include <string>
#include <string_view>

// UTF-8 <-> UTF-16 for the platform layer's own needs (file names, profile files, debug lines).
// Ill-formed input never fails: each bad sequence or lone surrogate becomes U+FFFD.
namespace qvplat::detail {

std::string toUtf8(std::u16string_view text);
std::u16string fromUtf8(std::string_view bytes);

}  // namespace qvplat::detail
