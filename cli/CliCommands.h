#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// The command-line front over the server registry, for machines without a desktop and for
// scripts. Each command works on the same settings files as the desktop program; "serve" on none.
namespace qvcli {

// Exit codes a script can act on.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 2,          // unknown command or malformed arguments
    kExitUnknownServer = 3,  // no server of that name
    kExitInvalid = 4,        // the definition was refused (same words as the edit dialog)
    kExitFolderMissing = 5,  // the base folder does not exist
    kExitStartFailed = 6,    // the port is in use, the listener could not start, or another process serves it
    kExitNameTaken = 7,      // add, edit: a server of that name exists
    kExitSaveFailed = 8,     // a settings file could not be written (the message names it and why)
};

// Runs one command line (without the program name). "run" and "serve" block until the termination
// signal arrives; the caller must have blocked SIGINT and SIGTERM before any thread started.
int runCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The name the program was called by (argv[0]), used in the usage text and in the commands it
// suggests, so a suggestion can be typed as shown. Empty keeps "qvwebserver-cli".
void setProgramName(const std::string& name);

// folder as an absolute, normalised path without a trailing separator (as given when that fails).
std::string absoluteFolder(const std::string& folder);

// The usage text printed by "help" and after a usage error; it names the settings file this
// process uses.
std::string usageText();

}  // namespace qvcli
