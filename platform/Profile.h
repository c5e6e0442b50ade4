#pragma once

#include <cstdint>
#include <string>

namespace qvplat {

// The Windows private-profile calls over UTF-8 INI files, with their semantics: section and key
// names match without regard to case; a missing file reads as empty; lists are NUL-separated
// strings ending with a second NUL. Parsed files are cached per path, process-wide and thread-safe;
// writes change the cache and mark it dirty, flushPrivateProfile writes it out atomically. A cached
// file without pending writes is re-read when it changed on disk.
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

// Sets key in section (both trimmed; found without regard to case; an existing key keeps its place
// and spelling; a new key goes to the end of its section, a new section to the end of the file).
// A null value deletes the key. A write that changes nothing leaves the cache clean. False when the
// file's folder is missing or the file cannot be written.
bool writePrivateProfileString(const std::u16string& section, const std::u16string& key, const char16_t* value,
                               const std::u16string& path);

// Writes the cached file out if it has pending writes (temporary file in the same folder, fsync,
// rename). An empty path flushes every cached file. True when every needed write succeeded.
bool flushPrivateProfile(const std::u16string& path);

// Test seam: forgets every cached file, pending writes included.
void discardPrivateProfileCacheForTesting();

}  // namespace qvplat
