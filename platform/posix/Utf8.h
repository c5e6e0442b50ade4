#pragma once

#include <string>
#include <string_view>

// The system's one set of text converters: UTF-8 <-> UTF-16 and Windows-1252 (the ANSI code page)
// <-> UTF-16. The foundation's code-page functions and every platform file use these.
// Ill-formed UTF-8 never fails: each maximal bad subsequence (as browsers and the Unicode standard's
// recommended practice count them) or lone surrogate becomes U+FFFD, so "ED AF 87" gives three.
namespace qvplat::detail {

std::string toUtf8(std::u16string_view text);
std::u16string fromUtf8(std::string_view bytes);
// True when bytes hold well-formed UTF-8 only.
bool isValidUtf8(std::string_view bytes);
// True when bytes hold at least one well-formed multi-byte UTF-8 sequence: a file that does was
// written as UTF-8, whatever stray bytes it holds besides.
bool holdsUtf8MultiByte(std::string_view bytes);

// Every byte decodes (the five undefined ones to the C1 controls, as Windows does), so a file read
// this way is written back byte for byte.
std::u16string fromWindows1252(std::string_view bytes);
// A character without a Windows-1252 byte becomes '?' and clears *lossless when given.
std::string toWindows1252(std::u16string_view text, bool* lossless = nullptr);

}  // namespace qvplat::detail
