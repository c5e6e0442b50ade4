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

// The command line that opens target with that default program: the entry's whole Exec line
// (wrappers such as "flatpak run ..." or "env VAR=1 prog" included) with its field codes
// replaced: %u %U %f %F by target, %% by %, the others dropped; target is appended when the line
// has no file or URL code. Every word is quoted for splitCommandLine. False when there is no
// default program or its Exec program cannot be found.
bool assocQueryCommand(const std::u16string& extension, const std::u16string& target, std::u16string& out);

// The version compiled in from the build ("1.0.0.1" as "%d.%d.%d.%d"), empty when unknown.
std::u16string getProductVersion();

}  // namespace qvplat
