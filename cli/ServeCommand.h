#pragma once

#include <iosfwd>
#include <string>

// The command line's one-shot "serve": a folder served at once, with the shipped content-type
// table, by a server of this process alone. Nothing is stored: no settings file, run record or
// folder is made.
namespace qvcli {

struct ServeOptions {
    std::string folder = ".";
    int port = 8080;
    bool portGiven = false;  // an explicit port that is taken fails; the default moves on
    std::string page = "index.html";
    bool accessLog = false;  // one line per answer on standard error
};

// Serves until SIGINT or SIGTERM (blocked by the caller before any thread started); returns the
// exit code: 0 after the signal, 4 for a refused port, 5 for a missing folder, 6 when the port
// cannot be had.
int serveFolder(const ServeOptions& options, std::ostream& out, std::ostream& err);

}  // namespace qvcli
