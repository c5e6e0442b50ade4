#pragma once

#include <string>

// Kept here for callers that include this header for them; new code includes the header it needs.
#include "platform/CommandLine.h"
#include "platform/DesktopEntry.h"
#include "platform/Version.h"

namespace qvplat {

// Starts the command line (see splitCommandLine) as a new process (program looked up in PATH, the
// caller's environment and current folder) and does not wait for it. The child is reaped in the
// background, so no zombies pile up, without touching any other child of the program. False for an
// empty line or when the program cannot be started. processId, when given, receives the child's id.
bool createProcess(const std::u16string& commandLine, int* processId = nullptr);

}  // namespace qvplat
