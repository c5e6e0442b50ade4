#pragma once

#include <string>
#include <vector>

namespace qvplat {

// Splits a command line like a POSIX shell would for words: blanks separate words; single quotes
// keep everything literally; double quotes keep blanks, with \" \\ \$ \` escaped; outside quotes a
// backslash keeps the next character. No expansion of variables or wildcards.
std::vector<std::u16string> splitCommandLine(const std::u16string& commandLine);

}  // namespace qvplat
