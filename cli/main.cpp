#include <iostream>
#include <string>
#include <vector>

#include "cli/CliCommands.h"
#include "platform/Signals.h"

int main(int argc, char** argv)
{
    // Before any thread exists, so every thread inherits the mask and "run" can wait for
    // Ctrl-C or SIGTERM in one place.
    qvplat::blockTerminationSignals();
    qvcli::setProgramName(argc > 0 ? argv[0] : "");
    std::vector<std::string> args(argv + 1, argv + argc);
    return qvcli::runCommand(args, std::cout, std::cerr);
}
