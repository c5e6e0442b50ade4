#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "commlib/CPTWorkDelegate.h"
#include "platform/Socket.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

// One accepted connection: a thread that owns the socket, receives with a short poll, reports
// every chunk to its delegate and sends on the delegate's behalf. Only this thread closes the
// socket; other threads end the connection through closeConnection() or stop().
class CClientPerThread {
public:
    static constexpr int kMaxRecvLength = 0x18FFF;               // 102,399 bytes per receive
    static constexpr int kRecvBufferBytes = kMaxRecvLength + 1;  // room for the zero behind the data
    static constexpr int kRecvPollMs = 200;                      // a cleared flag is noticed within one poll
    static constexpr int kSendRetryMax = 20;                     // 21 waits without progress end a send
    static constexpr int kSendRetryWaitMs = 100;                 // one wait for room to send
    static constexpr int kStopWaitStepMs = 10;
    static constexpr int kStopWaitMaxMs = 5000;  // a session thread that does not end is then woken by force
    // After the answer the connection is half-closed and the peer's own close awaited this long,
    // so that input the peer still sends does not turn the close into a reset that destroys the
    // answer before the peer has read it.
    static constexpr int kCloseLingerMs = 2000;

    // Starts the session thread, which waits for initStart. Logs "Create Thread Failed!!" when
    // the thread cannot be created; initStart then returns false.
    CClientPerThread();
    // Stops the session (see stop) after clearing the delegate.
    virtual ~CClientPerThread();
    CClientPerThread(const CClientPerThread&) = delete;
    CClientPerThread& operator=(const CClientPerThread&) = delete;

    // Hands the accepted socket over (owned from now on) and lets the thread receive. False when
    // the session thread does not exist.
    bool initStart(qvplat::SocketHandle socket);

    // Sends all length bytes; true when sent (or nothing to send). False when the peer is gone
    // (status 99 is reported and the loop ends), after about 2 seconds without progress, or on
    // another error. Called on the session thread (through the delegate).
    bool sendData(const unsigned char* data, int length);

    // Ends the connection from another thread: the session thread sends what is queued, closes
    // its sending side, lets the peer close, closes the socket and reports status 99.
    void closeConnection();

    // Clears the running flag and waits for the session thread (10 ms steps); after 5 seconds the
    // connection is shut down to wake the thread, which is then joined. Closes the socket if the
    // thread did not. Not from the session thread.
    void stop();

    void setClientId(int clientId) { m_clientId = clientId; }
    int getClientId() const { return m_clientId; }
    // The delegate is not owned; null means nobody listens (received data is dropped).
    void setDelegate(CCPTWorkDelegate* delegate) { m_delegate = delegate; }
    CCPTWorkDelegate* getDelegate() const { return m_delegate.load(); }
    bool isRunning() const { return m_running.load(); }
    bool hasThread() const { return m_thread.joinable(); }
    // True once the session thread has left its receive loop and closed the socket.
    bool isThreadEnded() const { return m_threadEnded.load(); }

private:
    void threadClientWork();
    void notifyDelegate(int status, const unsigned char* data, int length);
    void closeOwnSocket(int lingerMs);

    std::atomic<bool> m_running{false};
    qvplat::Thread m_thread;
    std::atomic<bool> m_threadEnded{false};
    // Written by the session thread (close) and by initStart/stop while the thread does not
    // receive; m_socketMutex keeps stop's forced shutdown from touching a closed descriptor.
    qvplat::UniqueSocket m_socket;
    std::mutex m_socketMutex;
    int m_clientId = -1;
    std::atomic<CCPTWorkDelegate*> m_delegate{nullptr};
    std::atomic<bool> m_closeRequested{false};
    qvplat::Event m_startEvent{true, false};
    // Allocated by the session thread on its first receive and kept for its lifetime, so that an
    // idle connection costs no receive buffer.
    std::unique_ptr<unsigned char[]> m_recvBuffer;
};
