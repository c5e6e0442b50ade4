#include "commlib/ConnWaitThread.h"

#include <chrono>
#include <new>
#include <thread>

#include "commlib/SessionLoop.h"
#include "commlib/SessionWaker.h"
#include "commlib/SvrCommLog.h"
#include "platform/Limits.h"

namespace {

// Only log lines name the address; the socket itself is bound to the wildcard address.
constexpr const char16_t* kLogAddress = u"127.0.0.1";
constexpr int kAcceptRetryPauseMs = 50;
// Connections taken per wakeup at most, so that a flood cannot keep a stop from being noticed.
constexpr int kAcceptBatchMax = 256;

}  // namespace

CConnWaitThread::CConnWaitThread() = default;

CConnWaitThread::~CConnWaitThread()
{
    stop();
}

bool CConnWaitThread::initStart(int port)
{
    if (m_thread.joinable()) {
        if (!m_thread.finished()) {
            return false;
        }
        m_thread.join();  // the thread of an earlier start that ended on its own
    }
    qvsc::log(u"%s initStart WaitThread (%s:%d)", kSvrCommTag, kLogAddress, port);
    std::char_traits<char16_t>::copy(m_address, kLogAddress, std::char_traits<char16_t>::length(kLogAddress) + 1);
    m_port = port;
    m_boundPort = -1;
    m_running = true;
    {
        std::lock_guard lock(m_stateMutex);
        m_setupError = {};
    }
    setListenState(ListenState::Starting);
    const bool started = m_thread.start([this] { threadWaitWork(); }, qvplat::kServiceStackBytes);
    if (!started) {
        setListenState(ListenState::NotStarted);
    }
    return started;
}

void CConnWaitThread::stop()
{
    {
        std::lock_guard lock(m_stateMutex);
        m_running = false;
    }
    m_stateChanged.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_listenSocket.reset();
}

CConnWaitThread::ListenState CConnWaitThread::waitUntilListening(int timeoutMs) const
{
    std::unique_lock lock(m_stateMutex);
    const auto ready = [this] { return m_listenState != ListenState::Starting; };
    if (timeoutMs < 0) {
        m_stateChanged.wait(lock, ready);
    } else {
        m_stateChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }
    return m_listenState;
}

CConnWaitThread::ListenState CConnWaitThread::getListenState() const
{
    std::lock_guard lock(m_stateMutex);
    return m_listenState;
}

void CConnWaitThread::setListenState(ListenState state)
{
    {
        std::lock_guard lock(m_stateMutex);
        m_listenState = state;
    }
    m_stateChanged.notify_all();
}

qvplat::SocketError CConnWaitThread::setupError() const
{
    std::lock_guard lock(m_stateMutex);
    return m_setupError;
}

void CConnWaitThread::failSetup(const qvplat::SocketError& error, const char16_t* message)
{
    m_listenSocket.reset();
    {
        std::lock_guard lock(m_stateMutex);
        m_setupError = error;
    }
    processStop(kStopSetupFailed, message);
    setListenState(ListenState::SetupFailed);
}

int CConnWaitThread::reclaimDescriptors()
{
    int closed = 0;
    try {
        closed = CSessionWaker::getInstance()->reclaimSilent();
    } catch (const std::bad_alloc&) {
        closed = 0;
    }
    qvsc::log(u"%s Out Of Descriptors: %d Silent Connections Closed", kSvrCommTag, closed);
    return closed;
}

bool CConnWaitThread::setUpListener(int port)
{
    qvplat::AddrInfo info;
    if (const qvplat::SocketError error = qvplat::resolvePassive(port, info); error.failed()) {
        qvsc::log(u"%s getAddrInfo Failed!!", kSvrCommTag);
        failSetup(error, u"getAddrInfo Failed!!");
        return false;
    }
    qvplat::SocketHandle socket = qvplat::kInvalidSocket;
    if (const qvplat::SocketError error = qvplat::createSocket(info, socket); error.failed()) {
        qvsc::log(u"%s Socket Create Failed!!", kSvrCommTag);
        failSetup(error, u"Socket Create Failed!!");
        return false;
    }
    m_listenSocket.reset(socket);
    // Without the option a port left in TIME_WAIT by the last run stays taken for a while; bind says so.
    (void)qvplat::setReuseAddr(m_listenSocket.get());
    if (const qvplat::SocketError error = qvplat::bindSocket(m_listenSocket.get(), info); error.failed()) {
        qvsc::log(u"%s[%d] Socket Bind Failed!!", kSvrCommTag, error.code);
        failSetup(error, u"Socket Bind Failed!!");
        return false;
    }
    if (const qvplat::SocketError error = qvplat::listenSocket(m_listenSocket.get()); error.failed()) {
        qvsc::log(u"%s Socket Listen Failed!!", kSvrCommTag);
        failSetup(error, u"Socket Listen Failed!!");
        return false;
    }
    // Accepting until nothing is pending needs an accept that does not wait.
    qvplat::setNonBlocking(m_listenSocket.get());
    m_boundPort = qvplat::localPort(m_listenSocket.get());
    return true;
}

int CConnWaitThread::acceptPending(int maxCount)
{
    for (int accepted = 0; accepted < maxCount && m_running.load(); ++accepted) {
        // Non-blocking from the start: the session's loop never waits on it.
        const qvplat::SocketHandle client = qvplat::acceptSocket(m_listenSocket.get(), true);
        if (client != qvplat::kInvalidSocket) {
            handOver(client);
            continue;
        }
        if (qvplat::acceptWouldBlock()) {
            break;
        }
        if (qvplat::isOutOfDescriptors(qvplat::lastError()) && reclaimDescriptors() > 0) {
            continue;  // descriptors are free again: the queued connection is taken now
        }
        // The connection stays queued; pausing keeps the accepting thread from spinning on it.
        return kAcceptRetryPauseMs;
    }
    return 0;
}

void CConnWaitThread::handOver(qvplat::SocketHandle client)
{
    qvsc::log(u"%s Accept Client Process Start", kSvrCommTag);
    bool prepared = false;
    try {
        prepared = processClientBindBefore();
    } catch (...) {
        prepared = false;  // this connection is refused; the listener goes on
        qvsc::logCaught(u"Accept Client Prepare");
    }
    if (prepared) {
        qvsc::log(u"%s Accept Client Process Lib Work Finish[Socket=%d]", kSvrCommTag, client);
        try {
            processClientBind(client);
        } catch (...) {
            // Out of memory, most likely: the subclass has released what it could; the
            // listener goes on for the next connection.
            qvsc::log(u"%s Accept Client Process Lib Work Failed", kSvrCommTag);
            qvsc::logCaught(u"Accept Client Hand-over");
        }
    } else {
        qvsc::log(u"%s Accept Client Process Lib Work Failed", kSvrCommTag);
        qvplat::drainAndClose(client);
    }
    qvsc::log(u"%s Accept Client Process End", kSvrCommTag);
}

bool CConnWaitThread::waitWhileLoopAccepts()
{
    if (m_loopListener && CSessionLoop::hasEnded(*m_loopListener)) {
        CSessionLoop::unlisten(*m_loopListener);
        m_loopListener.reset();
    }
    if (!m_loopListener) {
        m_loopListener = CSessionLoop::listen(this, m_listenSocket.get());
        if (!m_loopListener) {
            return false;
        }
    }
    std::unique_lock lock(m_stateMutex);
    m_stateChanged.wait_for(lock, std::chrono::milliseconds(kAcceptPollMs), [this] { return !m_running.load(); });
    return m_running.load();
}

bool CConnWaitThread::pollAndAccept()
{
    if (!m_running.load()) {
        return false;
    }
    const int ready = qvplat::waitReadable(m_listenSocket.get(), kAcceptPollMs);
    if (ready < 0) {
        if (!m_listenSocket.isValid()) {
            qvsc::log(u"%s Accept SocketError(InvaildSocket)", kSvrCommTag);
        }
        qvsc::log(u"%s Accept SocketError", kSvrCommTag);
        processStop(kStopAcceptError, u"Accept SocketError!!");
        m_running = false;
        return false;
    }
    if (ready > 0) {
        // Every connection already queued is taken before the next wait: one wake-up per burst.
        if (const int pauseMs = acceptPending(kAcceptBatchMax); pauseMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        }
    }
    return m_running.load();
}

void CConnWaitThread::threadWaitWork()
{
    const int port = m_port.load();
    const QvString address(m_address);

    // Set-up failures end the thread but leave the running flag set: run control keeps showing
    // the server as running until it is stopped explicitly.
    if (!setUpListener(port)) {
        return;
    }
    qvsc::log(u"%s [%s:%d] Wait Start", kSvrCommTag, address, port);
    setListenState(ListenState::Listening);

    // A loop accepts while there is one; this thread when none can run, until one can.
    while (waitWhileLoopAccepts() || pollAndAccept()) {
    }
    if (m_loopListener) {
        CSessionLoop::unlisten(*m_loopListener);
        m_loopListener.reset();
    }

    m_listenSocket.reset();
    m_boundPort = -1;
    qvsc::log(u"%s [%s:%d] Wait Finish", kSvrCommTag, address, port);
    setListenState(ListenState::Ended);
}
