#pragma once

#include <functional>
#include <string>

namespace qvplat {

class IniDocument;

// The settings files' reads and read-modify-writes (rules of IniDocument). Reads go to the file
// every time; every write is a locked read-modify-write that replaces the file atomically.

// Reads the file at path. A missing file reads as empty (true); a file that exists but cannot be
// read (permission, descriptors, I/O error, no memory) gives false and error "<path>: <reason>".
bool readProfileFile(const std::u16string& path, IniDocument& document, std::string& error);

// The read-modify-write of a settings file that several processes share: under an exclusive lock
// on ".<name>.lock" beside the file, the file is read afresh and handed to change; a document that
// changed replaces the file atomically (temporary file in the same folder, fsync, rename), after
// temporary files left by killed saves are removed. change runs only when the read succeeded; a
// file that cannot be read is never replaced. False with error "<path>: <reason>" on any failure.
// change must not take the same file's lock again.
bool updateProfileFile(const std::u16string& path, const std::function<void(IniDocument&)>& change, std::string& error);

}  // namespace qvplat
