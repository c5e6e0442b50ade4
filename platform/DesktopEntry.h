#pragma once

#include <string>

namespace qvplat {

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

}  // namespace qvplat
