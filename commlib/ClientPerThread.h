#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <vector>

#include "commlib/CPTWorkDelegate.h"
#include "commlib/SessionLoop.h"
#include "platform/ReadinessSet.h"
#include "platform/Socket.h"
#include "platform/Sync.h"

// One accepted connection, served by an event loop (CSessionLoop): the loop receives what the
// socket holds, reports every chunk to the delegate and sends what the delegate sends, without
// ever waiting for the peer. The session's state belongs to its loop; other threads end the
// connection through closeConnection() or stop(), which ask the loop.
class CClientPerThread : public CLoopTarget {
public:
    static constexpr int kMaxRecvLength = 0x18FFF;               // 102,399 bytes per receive
    static constexpr int kRecvBufferBytes = kMaxRecvLength + 1;  // room for the zero behind the data
    static constexpr int kSendStallMs = 2000;    // output that makes no progress this long ends the connection
    static constexpr int kStopWaitMaxMs = 5000;  // then the connection is shut down to end a stuck delegate
    static constexpr int kHandOverWaitMs = 500;  // after the shut-down, before the session is handed over
    // After the answer the connection is half-closed and the peer's own close awaited this long,
    // so that input the peer still sends does not turn the close into a reset that destroys the
    // answer before the peer has read it.
    static constexpr int kCloseLingerMs = 2000;

    CClientPerThread();
    // Stops the session (see stop) after clearing the delegate.
    virtual ~CClientPerThread();
    CClientPerThread(const CClientPerThread&) = delete;
    CClientPerThread& operator=(const CClientPerThread&) = delete;

    // Hands the accepted socket over (owned from now on) to a loop, which serves it from then on.
    // While it is silent, descriptors running short may close it (CSessionWaker::reclaimSilent;
    // status 99 reported). False, after logging "Create Thread Failed!!", when no loop can run;
    // stop then closes the socket.
    bool initStart(qvplat::SocketHandle socket);

    // From the delegate only. Sends all length bytes: what the socket takes now goes at once, the
    // rest as the peer reads. True when sent or queued (or nothing to send). False when the peer
    // is gone (the connection then ends, status 99), when no memory is left for the rest (the
    // same), or on another error.
    bool sendData(const unsigned char* data, int length);
    // From the delegate only. Sends length bytes of file from offset, straight from the file, the
    // same way; the file may be closed when the call returns. When the file holds fewer bytes than
    // promised, the connection is shut down at once, so the peer never gets bytes that were not
    // in the file; false then. Once a file is queued, later sends of the same call return false.
    bool sendFileData(std::FILE* file, std::uint64_t offset, std::uint64_t length);
    // The same behind head (an answer's header): the head rides in the file's first segment
    // instead of a small segment of its own, which costs both ends a segment's work.
    bool sendFileData(const unsigned char* head, int headLength, std::FILE* file, std::uint64_t offset,
                      std::uint64_t length);

    // Any thread: ends the connection behind what is queued: the loop sends it, closes the sending
    // side, lets the peer close (at most kCloseLingerMs), closes the socket and reports status 98
    // and then 99. Needs no memory and never waits.
    void closeConnection();

    // Has the loop forget the session and close the socket; after 5 seconds (a delegate call that
    // does not return) the connection is shut down, and the call still waits for the loop. Not
    // from the session's delegate.
    void stop();
    // The same, but a delegate call still running a moment after the shut-down is given up on:
    // the call returns false, the caller must not delete the session, and the loop, once the
    // delegate returns, closes the socket, deletes the session and then runs onRelease. True when
    // the session is stopped and may be deleted.
    bool stopOrHandOver(std::function<void()> onRelease);

    // Under CSessionWaker's lock, for a session it lists: closes the socket at once and has the
    // loop report status 99.
    void dropSilent();

    void setClientId(int clientId) { m_clientId = clientId; }
    int getClientId() const { return m_clientId; }
    // The delegate is not owned; null means nobody listens (received data is dropped).
    void setDelegate(CCPTWorkDelegate* delegate) { m_delegate = delegate; }
    CCPTWorkDelegate* getDelegate() const { return m_delegate.load(); }

private:
    friend class CSessionLoop;

    // Where the connection stands; the loop's runner alone changes it (the watchdog too, while
    // the runner is elsewhere: LeftBehind).
    enum class State {
        Idle,        // no socket handed over yet, or no loop
        Open,        // served: input goes to the delegate, output drains
        Closing,     // our side is closed after a close request; the peer's close is awaited
        Report98,    // socket closed; 98 and then 99 are still to be reported
        Report99,    // socket closed; 99 is still to be reported
        Ended,       // everything reported; waits for stop
        LeftBehind,  // a delegate call runs on a thread the loop left (m_resumeState follows)
    };

    // Runner, for the socket's readiness / the posted requests / an expired deadline. Each
    // returns false when the thread stopped being the runner on the way (see callDelegate).
    bool onReady();
    bool onRequests(unsigned requests);
    bool onDeadline();
    // Runner, once done with the session for now: an ended session is marked so, and a stop then
    // needs no word with the loop.
    void publishEnd();
    bool resume();
    bool receive();
    bool afterDelegate();
    bool flush();
    bool beginClose();
    // peerEnded: the peer's close (or reset) was read, so nothing is left to drain.
    bool endSession(bool reportError, bool peerEnded = false);
    bool reportEnd();
    bool requestClose();
    // Runner, for a stop: the loop forgets the session and closes the socket. True when the
    // session was handed over (the loop then deletes it and runs onRelease).
    bool detach(std::function<void()>& onRelease);
    bool isLeftBehind() const { return m_state == State::LeftBehind; }
    void deferRequests(unsigned requests) { m_deferred |= requests; }
    // Runner: true when the session is no longer listed as silent (claimed now or earlier); false
    // when a reclaim closed its socket.
    bool claim();
    // True when the thread stopped being the runner: requests are posted back for the new one.
    bool leftBehind(unsigned requests);
    void setInterest(qvplat::ReadinessSet::Interest interest);
    void closeSocket(bool peerEnded = false);
    void releaseFile();
    bool hasPendingOutput() const { return m_outSent < m_out.size() || m_fileFd >= 0; }
    void notifyDelegate(int status, const unsigned char* data, int length);
    bool stopWaiting(std::function<void()>* onRelease);
    bool waitStopped(int timeoutMs);
    bool sendOut(const unsigned char* data, int length, bool moreFollows);
    // Delegate thread: a send error that ends the connection or not; returns what the send returns.
    bool sendFailed(qvplat::SendError error);

    int m_clientId = -1;
    std::atomic<CCPTWorkDelegate*> m_delegate{nullptr};
    CSessionLoop* m_loop = nullptr;  // set by initStart, before the loop sees the session

    // The loop's runner (or the thread running a delegate call the loop left behind).
    State m_state = State::Idle;
    State m_resumeState = State::Idle;
    qvplat::ReadinessSet::Interest m_interest = qvplat::ReadinessSet::Interest::Read;  // what the socket is watched for
    unsigned m_deferred = 0;           // requests that came while LeftBehind
    std::uint64_t m_silentTicket = 0;  // listed by CSessionWaker while nonzero
    bool m_closeRequested = false;
    bool m_endPublished = false;
    bool m_sendEnded = false;          // a send found the peer gone, or could not queue: end after the call
    std::vector<unsigned char> m_out;  // output the socket did not take yet
    std::size_t m_outSent = 0;
    int m_fileFd = -1;  // a file answer still going out, from m_fileOffset to m_fileEnd
    std::uint64_t m_fileOffset = 0;
    std::uint64_t m_fileEnd = 0;
    long long m_deadlineMs = 0;  // 0: none
    CClientPerThread* m_deadlinePrev = nullptr;
    CClientPerThread* m_deadlineNext = nullptr;
    CClientPerThread* m_stopNext = nullptr;

    // Under the loop's mutex.
    unsigned m_requests = 0;
    bool m_requestQueued = false;
    CClientPerThread* m_requestNext = nullptr;

    // Stop and hand-over; also every close of the socket, so that a forced shut-down never
    // touches a closed descriptor.
    std::mutex m_stopMutex;
    qvplat::UniqueSocket m_socket;
    bool m_stopped = false;     // the loop has forgotten the session
    bool m_handedOver = false;  // the loop deletes the session once it lets go
    bool m_finished = false;    // ended, and the loop touches it only when asked again
    std::function<void()> m_onRelease;
    qvplat::Event m_stoppedEvent{true, false};
};
