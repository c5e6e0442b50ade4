#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "foundation/QvString.h"

// Pure text steps of an HTTP exchange: reading values out of a response's header text and merging the
// caller's request header lines. No state, any thread.
namespace qvhttp {

// The value of the first "charset=" (any case) that is followed by at least one letter, digit, "-" or
// "_": that run of characters. Empty when there is none.
QvString findCharset(const QvString& headers);

// The digits of the first "Content-Length: " (any case, exactly one space) that is followed by a digit,
// as a number; a value beyond the 32-bit range stops at its largest value. False when there is none.
bool findContentLength(const QvString& headers, int32_t& length);

// A file download's view of the final response's raw header block: the status code of its status
// line (0 when unreadable), and the value of its Content-Length line (any case, blanks allowed) as a
// 64-bit count. False when there is no such line, it holds anything but digits, or it overflows.
int parseStatusCode(const std::string& rawHeaders);
bool findContentLength64(const std::string& rawHeaders, uint64_t& length);

// True when text holds needle, ignoring ASCII case.
bool containsIgnoringCase(const QvString& text, const char16_t* needle);

// The non-empty lines of a CRLF (or LF) separated header text.
std::vector<std::string> splitHeaderLines(const std::string& text);

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Adds "Name: value" lines to headers, coalescing with semicolons: a line whose name (any case) is
// already present extends that line's value; lines without a name are left out.
void coalesceHeaders(HeaderList& headers, const std::string& text);

}  // namespace qvhttp
