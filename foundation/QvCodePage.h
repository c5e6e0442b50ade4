#pragma once

#include <string>
#include <string_view>

// Conversions between UTF-16 text and the byte encodings the system uses: code page
// 65001 (UTF-8) and the ANSI code page, which is Windows-1252 here.
// Malformed UTF-8 decodes to U+FFFD per maximal bad subsequence; a lone surrogate encodes
// as U+FFFD; a character outside Windows-1252 encodes as '?'.
std::u16string qvDecodeBytes(std::string_view bytes, unsigned codePage);
std::string qvEncodeText(std::u16string_view text, unsigned codePage);
