#pragma once

#include <string>

namespace qvplat {

// The full path of the executable of the desktop's default program for files with extension
// (".html"): the MIME type's default .desktop entry (xdg-mime), its Exec program resolved in PATH.
// False when there is none.
bool assocQueryExecutable(const std::u16string& extension, std::u16string& out);

}  // namespace qvplat
