#pragma once

#include <string>
#include <vector>

namespace qvplat {

// The full path of the executable of the desktop's default program for files with extension
// (".html"): the MIME type's default .desktop entry (xdg-mime), its Exec program resolved in PATH.
// False when there is none.
bool assocQueryExecutable(const std::u16string& extension, std::u16string& out);

// The command line that opens target with that default program: the entry's whole Exec line
// (wrappers such as "flatpak run ..." or "env VAR=1 prog" included) expanded by expandExec, every
// word quoted for splitCommandLine. False when there is no default program, its Exec line is
// malformed or its program cannot be found.
bool assocQueryCommand(const std::u16string& extension, const std::u16string& target, std::u16string& out);

// What the field codes of a desktop entry's Exec value refer to.
struct DesktopEntryExec {
    std::u16string exec;  // the Exec value as the file stores it, escapes included
    std::u16string name;  // Name, for %c
    std::u16string icon;  // Icon, for %i
    std::u16string path;  // the entry's own file, for %k
};

// The words that open target with entry: the string escapes and the quoting undone, %f %F %u %U
// replaced by target (appended when the line has none), %c %k by the name and path, a lone %i by
// "--icon" and the icon, %% by %, the other codes dropped. Empty when the line is malformed: an
// unclosed quote, or a field code inside quotes (where a target would land inside a shell string).
std::vector<std::u16string> expandExec(const DesktopEntryExec& entry, const std::u16string& target);

}  // namespace qvplat
