#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace qvplat {

// The one separator every path join and split of the system uses.
constexpr char16_t kPathSeparator = u'/';

// Full path of the running executable, or the path set by setModuleFileNameForTesting.
// The empty string when it cannot be determined. Any thread.
std::u16string getModuleFileName();

// Test seam: makes getModuleFileName() return path (so a test can pretend the executable lives in a
// temporary folder) while the current service context lasts. An empty path restores the real answer.
void setModuleFileNameForTesting(const std::u16string& path);

// True when an entry of any kind (file, folder, device, dangling symbolic link excluded) exists.
bool pathExists(const std::u16string& path);
// True when path names a regular file (symbolic links followed).
bool isRegularFile(const std::u16string& path);
// True when path names a folder (symbolic links followed).
bool isDirectory(const std::u16string& path);

// Creates one folder level (mode 0700: what the program keeps is the user's alone). 0 on success, -1 on failure
// (errno-style reason in lastFileError()), like _wmkdir.
int makeDirectory(const std::u16string& path);

// Creates a new folder in parent named prefix plus six random characters, open to the user only
// (0700), so nobody else can add, swap or change what is put in it. Its path; empty on failure.
std::u16string makePrivateDirectory(const std::u16string& parent, const std::u16string& prefix);
// Removes the folders such calls left in parent (a crash or a kill skips their clean-up): those
// named prefix..., of this user, not symbolic links, unchanged for at least minAgeSeconds, with
// the files in them. Anything else in such a folder keeps it. Returns how many were removed.
int removeStalePrivateDirectories(const std::u16string& parent, const std::u16string& prefix,
                                  std::int64_t minAgeSeconds);

// Creates path as a new file for binary writing, open to the user only (0600): never an existing
// file, never through a symbolic link. Null on failure. The caller owns the stream (fclose).
std::FILE* createNewFile(const std::u16string& path);

// Removes a file, or an empty folder. False when it could not be removed (lastFileError says why).
bool removeFile(const std::u16string& path);
bool removeDirectory(const std::u16string& path);

// Opens a stdio stream with a mode built by the Windows-style mode table ("rb", "at, ccs=UTF-8", ...):
// "t" and any ", ccs=..." suffix are dropped (files are bytes), and the descriptor is close-on-exec.
// Null on failure. The caller owns the stream (fclose).
std::FILE* openFile(const std::u16string& path, const std::string& mode);

// Opens path for binary reading only when it is a regular file; null for folders, FIFOs, devices,
// sockets and missing entries. Never blocks on a FIFO or a device. The stream is unbuffered: read
// it in large blocks. The caller owns the stream.
std::FILE* openRegularFileForRead(const std::u16string& path);
// The same, also giving the file's size and identity from the one look-up that checked it.
struct OpenedFileInfo {
    std::uint64_t size = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};
std::FILE* openRegularFileForRead(const std::u16string& path, OpenedFileInfo& info);

// The absolute path of an existing entry with every symbolic link resolved; empty when it cannot
// be resolved.
std::u16string realPath(const std::u16string& path);
// The same for the file an open stream reads (what was opened, whatever its name points to now);
// empty when unknown.
std::u16string realPathOfOpenFile(std::FILE* file);

// errno of the last failing call of this header on the calling thread.
int lastFileError();

// True when the calling user may create files in the folder path.
bool isWritableDirectory(const std::u16string& path);

// The user's folders of the XDG base directory rules: $XDG_CONFIG_HOME (else ~/.config),
// $XDG_STATE_HOME (else ~/.local/state), $XDG_CACHE_HOME (else ~/.cache). A relative value counts
// as unset; empty when neither it nor $HOME is known.
std::u16string xdgConfigHome();
std::u16string xdgStateHome();
std::u16string xdgCacheHome();

// The user's private folder for run records and the single-instance socket:
// $XDG_RUNTIME_DIR/qvwebserver when that runtime folder exists, else "qvwebserver-<uid>" below the
// temp folder ($TMPDIR, else /tmp). Created 0700 when missing. Empty with error set when it cannot
// be made, or is not a folder of this user's own (someone else made it first).
std::u16string runtimeDirectory(std::string& error);

}  // namespace qvplat
