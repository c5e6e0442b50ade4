#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "foundation/QvString.h"
#include "platform/Socket.h"
#include "platform/Thread.h"

struct CLoopListener;

// The listening thread of one TCP server: binds the IPv4 wildcard address on a port and hands
// each accepted connection to its subclass. The connections are accepted on a session loop
// (CSessionLoop), where they are served, so that a connection wakes one thread and not two; the
// listening thread then waits for the stop (which wakes it at once) and looks once a second
// whether its loop still runs. Without a loop it accepts itself, with a one-second poll.
// processClientBindBefore and processClientBind run one at a time, on the loop's runner or the
// listening thread; processStop on the listening thread.
//
// A subclass must call stop() in its own destructor: the base destructor stops too, but by then
// the subclass's overrides are gone.
class CConnWaitThread {
public:
    static constexpr int kAcceptPollMs = 1000;   // a stop is noticed within one poll
    static constexpr int kAddressChars = 128;    // the address text's fixed buffer
    static constexpr int kStopSetupFailed = -2;  // processStop code of a failed set-up step
    static constexpr int kStopAcceptError = -1;  // processStop code of a failed wait

    // What waitUntilListening() reports.
    enum class ListenState { NotStarted, Starting, Listening, SetupFailed, Ended };

    CConnWaitThread();
    virtual ~CConnWaitThread();
    CConnWaitThread(const CConnWaitThread&) = delete;
    CConnWaitThread& operator=(const CConnWaitThread&) = delete;

    // Starts listening on port on a new thread. False when the thread cannot be created, or when
    // the listening thread of an earlier start is still alive (stop it first).
    bool initStart(int port);
    // Clears the running flag and waits, without a time limit, for the listening thread to end.
    // Any thread but the listening thread.
    void stop();

    // True from initStart until stop or an accept error; stays true after a failed set-up.
    bool isRunning() const { return m_running.load(); }
    int getPort() const { return m_port.load(); }
    // The port the socket is bound to (the system's choice when started on port 0); -1 before
    // the listener listens.
    int getBoundPort() const { return m_boundPort.load(); }
    // Waits up to timeoutMs (-1 forever) until the listener is past its set-up: Listening, or
    // SetupFailed/Ended; Starting on time-out.
    ListenState waitUntilListening(int timeoutMs) const;
    ListenState getListenState() const;
    // The failed step of the last set-up (op None when it listened or has not got that far); ready
    // once waitUntilListening reports SetupFailed.
    qvplat::SocketError setupError() const;

    // Called right after accept, before the socket (non-blocking) is handed over: prepare what will serve the
    // connection; false makes the listener close the socket at once.
    virtual bool processClientBindBefore() = 0;
    // Called after processClientBindBefore returned true; takes ownership of socket.
    virtual void processClientBind(qvplat::SocketHandle socket) = 0;
    // Called when the listener ends on an error: -2 set-up step failed, -1 wait failed.
    virtual void processStop(int code, const QvString& message) = 0;

private:
    friend class CSessionLoop;

    void threadWaitWork();
    // Resolves, binds and listens; on a failed step tells the subclass and returns false.
    bool setUpListener(int port);
    // Waits for the stop while a loop accepts; false when no loop does (or the loop has ended).
    bool waitWhileLoopAccepts();
    // Accepts on this thread with the one-second poll until the stop, or until a loop can take
    // over; false after a failed wait (the listener has ended).
    bool pollAndAccept();
    // Takes up to maxCount of the connections queued and hands each over. The pause in ms before
    // the next try when a connection could not be taken (no descriptor left), else 0.
    int acceptPending(int maxCount);
    // Asks the subclass to prepare, then gives it client, or closes client when it cannot.
    void handOver(qvplat::SocketHandle client);
    // Accept failed for want of descriptors: closes the connections silent longest (never one
    // being answered) and returns how many, so that the queued connections can be taken.
    static int reclaimDescriptors();
    void setListenState(ListenState state);
    // Records error, tells the subclass (message) and reports SetupFailed.
    void failSetup(const qvplat::SocketError& error, const char16_t* message);

    std::atomic<int> m_port{0};
    std::atomic<int> m_boundPort{-1};
    std::atomic<bool> m_running{false};
    char16_t m_address[kAddressChars] = {};
    qvplat::UniqueSocket m_listenSocket;            // set up and closed by the listening thread
    std::shared_ptr<CLoopListener> m_loopListener;  // listening thread
    qvplat::Thread m_thread;

    mutable std::mutex m_stateMutex;  // also the stop's wake-up
    mutable std::condition_variable m_stateChanged;
    ListenState m_listenState = ListenState::NotStarted;
    qvplat::SocketError m_setupError;  // under m_stateMutex
};
