#pragma once

#include <spawn.h>

#include <string>
#include <vector>

// Spawning helpers shared by the process starter and the desktop-entry lookup (platform/posix only).
namespace qvplat::detail {

// A started program begins with default signal handling and no blocked signals, whatever this
// program has set (it ignores SIGPIPE, for one). newSession detaches it from our terminal.
bool prepareSpawnAttributes(posix_spawnattr_t& attr, bool newSession);

// The argv array over words (which must outlive it), null-terminated.
std::vector<char*> argvOf(std::vector<std::string>& words);

// Runs a program and returns what it writes on standard output (empty on any failure or after 5 s).
std::string captureOutput(std::vector<std::string> words);

}  // namespace qvplat::detail
