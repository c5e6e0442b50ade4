#pragma once

namespace qvplat {

// Blocks SIGINT and SIGTERM in the calling thread; call it before any other thread starts so
// that every thread inherits the mask and the signals wait for waitForTerminationSignal.
void blockTerminationSignals();

// Waits until SIGINT or SIGTERM arrives; returns the signal number.
int waitForTerminationSignal();

}  // namespace qvplat
