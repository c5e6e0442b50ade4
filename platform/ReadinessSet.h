#pragma once

#include <array>
#include <cstdint>

#include "platform/Socket.h"

namespace qvplat {

// A set of sockets waited on together, each known by a key of the caller's: one wait tells which
// of them have input (or a hang-up or an error, which the following receive reports). Watching
// costs a few bytes in the kernel per socket, however many there are. add and remove may be
// called while another thread waits.
class ReadinessSet {
public:
    ReadinessSet();
    ~ReadinessSet();
    ReadinessSet(const ReadinessSet&) = delete;
    ReadinessSet& operator=(const ReadinessSet&) = delete;

    // False when the set could not be made (descriptors exhausted); every call then fails.
    bool isValid() const { return m_handle >= 0; }
    // What a watched socket is reported for. Level-triggered: a socket stays reported while it is
    // ready. A hang-up or an error is reported under any interest but None.
    enum class Interest { None, Read, Write };

    // Watches socket under key (not null) until remove(); false when it cannot be watched.
    bool add(SocketHandle socket, void* key, Interest interest = Interest::Read);
    // Changes what a watched socket is reported for; false on failure.
    bool modify(SocketHandle socket, void* key, Interest interest);
    void remove(SocketHandle socket);
    // Keys reported per wait at most; more ready sockets are reported by the next wait.
    static constexpr int kMaxReadyPerWait = 64;
    using ReadyKeys = std::array<void*, kMaxReadyPerWait>;

    // Waits up to timeoutMs (-1 forever) and fills ready with the keys of the sockets that have
    // input: their count, 0 on time-out, -1 on error (an interrupting signal counts as a time-out).
    // Needs no memory, so that a waiting thread goes on when there is none.
    int wait(int timeoutMs, ReadyKeys& ready);
    // Ends the present wait of another thread (or the next one) at once, as a time-out would.
    void interrupt();

private:
    int m_handle = -1;
    int m_interrupt = -1;  // an event counter in the set: written to end a wait
};

// The processors this process may run on (its affinity mask), at least 1.
int usableProcessorCount();

}  // namespace qvplat
