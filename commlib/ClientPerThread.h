#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>

#include "commlib/CPTWorkDelegate.h"
#include "platform/Socket.h"
#include "platform/Sync.h"

// One accepted connection, served by a pooled thread once it has input: the thread receives with a
// short receive time-out, reports every chunk to its delegate and sends on the delegate's behalf.
// While a thread serves the session, only that thread closes the socket; other threads end the
// connection through closeConnection() or stop().
class CClientPerThread {
public:
    static constexpr int kMaxRecvLength = 0x18FFF;               // 102,399 bytes per receive
    static constexpr int kRecvBufferBytes = kMaxRecvLength + 1;  // room for the zero behind the data
    static constexpr int kRecvPollMs = 200;                      // a cleared flag is noticed within one poll
    static constexpr int kSendRetryMax = 20;                     // 21 waits without progress end a send
    static constexpr int kSendRetryWaitMs = 100;                 // one wait for room to send
    static constexpr int kStopWaitMaxMs = 5000;  // a session thread that does not end is then woken by force
    static constexpr int kHandOverWaitMs = 500;  // after the forced wake-up, before giving up on the thread
    // After the answer the connection is half-closed and the peer's own close awaited this long,
    // so that input the peer still sends does not turn the close into a reset that destroys the
    // answer before the peer has read it.
    static constexpr int kCloseLingerMs = 2000;

    // The session's thread comes from the session thread pool once the connection has input.
    CClientPerThread();
    // Stops the session (see stop) after clearing the delegate.
    virtual ~CClientPerThread();
    CClientPerThread(const CClientPerThread&) = delete;
    CClientPerThread& operator=(const CClientPerThread&) = delete;

    // Hands the accepted socket over (owned from now on). Once the socket has input the session
    // gets a thread of the pool (a parked one, else a new one), which receives from then on; a
    // connection that cannot be watched gets it at once. While it is silent, descriptors running
    // short may close it (CSessionWaker::reclaimSilent; status 99 reported). False, after logging
    // "Create Thread Failed!!", when no thread can be had at once; stop then closes the socket.
    // When none can be had later, the same is logged and the connection closed (status 99
    // reported).
    bool initStart(qvplat::SocketHandle socket);

    // Sends all length bytes; true when sent (or nothing to send). False when the peer is gone
    // (status 99 is reported and the loop ends), after about 2 seconds without progress, or on
    // another error. Called on the session thread (through the delegate).
    bool sendData(const unsigned char* data, int length);
    // Sends length bytes of file from offset (straight from the file, in bounded steps) with the
    // same rules as sendData. When the file holds fewer bytes than promised, the connection is shut
    // down at once, so the peer never gets bytes that were not in the file; false then.
    bool sendFileData(std::FILE* file, std::uint64_t offset, std::uint64_t length);

    // Ends the connection from another thread: the session thread sends what is queued, closes
    // its sending side, lets the peer close, closes the socket and reports status 99. A session
    // waiting for input gets its FIN at once: a keep-alive peer then sees the close before it sends
    // its next request, rather than having that request read and dropped. One being answered gets
    // it right behind the answer.
    void closeConnection();

    // Clears the running flag and waits for the session thread; after 5 seconds the connection is
    // shut down to wake the thread, which is then waited for. Closes the socket if the thread did
    // not. Not from the session thread.
    void stop();
    // The same, but a thread still stuck a moment after the shut-down (in its delegate) is given
    // up on: the call returns false, the caller must not delete the session, and the thread,
    // once it lets go, closes the socket, deletes the session and then runs onRelease. True when
    // the session is stopped and may be deleted.
    bool stopOrHandOver(std::function<void()> onRelease);

    void setClientId(int clientId) { m_clientId = clientId; }
    int getClientId() const { return m_clientId; }
    // The delegate is not owned; null means nobody listens (received data is dropped).
    void setDelegate(CCPTWorkDelegate* delegate) { m_delegate = delegate; }
    CCPTWorkDelegate* getDelegate() const { return m_delegate.load(); }
    bool isRunning() const { return m_running.load(); }
    bool hasThread() const { return m_hasThread.load(); }
    // True once the session thread has left its receive loop and closed the socket.
    bool isThreadEnded() const { return m_threadEnded.load(); }

private:
    void threadClientWork();
    // Runs the session on a pool thread; on failure logs it and ends the connection.
    void startThread();
    // Closes a connection that never got a thread (none could be had, or it was reclaimed while
    // silent) and reports status 99.
    void endUnserved();
    // stop's body; onRelease null waits for the thread however long it takes.
    bool stopWaiting(std::function<void()>* onRelease);
    // Takes back the watch that would start the thread: true when it had not fired (it never will).
    bool cancelWatch();
    void notifyDelegate(int status, const unsigned char* data, int length);
    void closeOwnSocket(int lingerMs);
    qvplat::SocketHandle currentSocket();
    // The retry rule of every send: step(socket) sends some bytes and returns the count (-1 error);
    // done() tells when everything is sent. Returns what sendData returns.
    template <class Step, class Done>
    bool sendWithRetry(Step step, Done done);

    bool isSessionThread() const;
    // Session thread, around handing a received chunk to the delegate: false (the chunk is not
    // served) when closeConnection has already sent the FIN, since an answer can no longer follow.
    bool beginServing();
    void endServing();
    // Session thread: the receive loop runs on socket (kInvalidSocket once it has left it).
    void setLoopSocket(qvplat::SocketHandle socket);

    std::atomic<bool> m_running{false};
    std::atomic<bool> m_hasThread{false};
    std::atomic<bool> m_startTried{false};
    // Who releases the session when stop gave up on its thread: see stopOrHandOver.
    static constexpr int kHandOverNone = 0;
    static constexpr int kHandedOver = 1;
    static constexpr int kThreadDone = 2;
    std::atomic<int> m_handOver{kHandOverNone};
    std::function<void()> m_onRelease;         // written before m_handOver becomes kHandedOver
    std::atomic<bool> m_startDeferred{false};  // the thread is taken once the socket has input
    // The watch that starts the thread once the socket has input; 0 when there is none.
    std::atomic<std::uint64_t> m_wakeTicket{0};
    // Set by the pool thread once it no longer touches this session; shared, so that setting it
    // cannot outlive the session.
    std::shared_ptr<qvplat::Event> m_workDone = std::make_shared<qvplat::Event>(true, false);
    std::atomic<bool> m_threadEnded{false};
    // Written by the session thread (close) and by initStart/stop while the thread does not
    // receive; m_socketMutex keeps stop's forced shutdown from touching a closed descriptor.
    qvplat::UniqueSocket m_socket;
    std::mutex m_socketMutex;
    int m_clientId = -1;
    std::atomic<CCPTWorkDelegate*> m_delegate{nullptr};
    std::atomic<bool> m_closeRequested{false};
    // The hand-over between closeConnection and the receive loop; held only for a flag or a
    // shutdown, never across a delegate call or the close.
    std::mutex m_serveMutex;
    qvplat::SocketHandle m_loopSocket = qvplat::kInvalidSocket;  // open while the loop runs on it
    bool m_serving = false;  // a chunk is in the delegate: its answer may be going out
    bool m_finSent = false;  // closeConnection shut the sending side down
    qvplat::Event m_startEvent{true, false};
};
