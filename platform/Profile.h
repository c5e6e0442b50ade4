#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace qvplat {

class IniDocument;

// The Windows private-profile calls over INI files (rules of IniDocument), with their semantics:
// section and key names match without regard to case; a missing file reads as empty; lists are
// NUL-separated strings ending with a second NUL. Parsed files are cached per path (one entry for
// every spelling of a path), process-wide and thread-safe; writes change the cache and are
// remembered, flushPrivateProfile applies them to the file under its lock. A cached file without
// pending writes is re-read when it changed on disk.
//
// List truncation (both list calls): when the buffer of size characters is too small, the strings
// that fit are kept, the last one is cut, two NULs follow, and the result is size - 2. Otherwise the
// result is the number of characters written without the final NUL.

// Section names in file order.
uint32_t getPrivateProfileSectionNames(char16_t* buffer, uint32_t size, const std::u16string& path);

// The lines of the first section named section, in file order: "key=value", or the bare name for a
// line without "="; comments and empty names are left out.
uint32_t getPrivateProfileSection(const std::u16string& section, char16_t* buffer, uint32_t size,
                                  const std::u16string& path);

// Sets key in section (IniDocument::write). A null value deletes the key. A write that changes
// nothing leaves the cache clean. False when the file's folder is missing or the file cannot be
// read or written.
bool writePrivateProfileString(const std::u16string& section, const std::u16string& key, const char16_t* value,
                               const std::u16string& path);

// Applies the cached file's pending writes with updateProfileFile. An empty path flushes every
// cached file. True when every needed write succeeded.
bool flushPrivateProfile(const std::u16string& path);

// Test seam: forgets every cached file, pending writes included.
void discardPrivateProfileCacheForTesting();

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
