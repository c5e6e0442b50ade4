#pragma once

#include <string>
#include <vector>

namespace qvplat {

// Splits a command line like a POSIX shell would for words: blanks separate words; single quotes
// keep everything literally; double quotes keep blanks, with \" \\ \$ \` escaped; outside quotes a
// backslash keeps the next character. No expansion of variables or wildcards.
std::vector<std::u16string> splitCommandLine(const std::u16string& commandLine);

// Starts the command line as a new process (program looked up in PATH, the caller's environment and
// current folder) and does not wait for it. The child is reaped in the background, so no zombies
// pile up, without touching any other child of the program. False for an empty line or when the
// program cannot be started. processId, when given, receives the child's id.
bool createProcess(const std::u16string& commandLine, int* processId = nullptr);

// The full path of the executable of the desktop's default program for files with extension
// (".html"): the MIME type's default .desktop entry (xdg-mime), its Exec program resolved in PATH.
// False when there is none.
bool assocQueryExecutable(const std::u16string& extension, std::u16string& out);

// The version compiled in from the build ("1.0.0.1" as "%d.%d.%d.%d"), empty when unknown.
std::u16string getProductVersion();

}  // namespace qvplat
