#include "commlib/ClientPerThread.h"

#include <algorithm>
#include <memory>
#include <new>

#include "commlib/SessionThreadPool.h"
#include "commlib/SessionWaker.h"
#include "commlib/SvrCommLog.h"

namespace {

// The session a pool thread serves at the moment (null between sessions).
thread_local const CClientPerThread* t_servedSession = nullptr;

static_assert(CSessionThreadPool::kThreadBufferBytes >= CClientPerThread::kRecvBufferBytes,
              "a pool thread's buffer takes one receive and the zero behind it");

}  // namespace

CClientPerThread::CClientPerThread()
{
    qvsc::log(u"%s Create Thread ClientPerThread", kSvrCommTag);
}

bool CClientPerThread::isSessionThread() const
{
    return t_servedSession == this;
}

CClientPerThread::~CClientPerThread()
{
    m_delegate = nullptr;
    stop();
}

bool CClientPerThread::initStart(qvplat::SocketHandle socket)
{
    qvsc::log(u"%s initStart ClientPerThread", kSvrCommTag);
    {
        std::lock_guard lock(m_socketMutex);
        m_socket.reset(socket);
    }
    m_running = true;
    m_startEvent.set();
    // The session thread is taken once the connection has input: a connection that stays silent
    // holds no thread. One whose request came with it (the usual case), or that cannot be
    // watched, is given its thread at once.
    std::uint64_t ticket = 0;
    m_startDeferred = true;  // before the watch: the waker may start the thread before it returns
    try {
        // Made with the first connection, whether or not it is watched: what the server holds
        // does not depend on how its first clients behaved.
        CSessionWaker* waker = CSessionWaker::getInstance();
        if (qvplat::waitReadable(socket, 0) == 0) {
            ticket = waker->watch(
                socket, [this] { startThread(); }, [this] { endUnserved(); });
        }
    } catch (const std::bad_alloc&) {
        ticket = 0;
    }
    m_wakeTicket = ticket;
    if (ticket == 0) {
        m_startDeferred = false;
        startThread();
        return m_hasThread;
    }
    return true;
}

void CClientPerThread::startThread()
{
    m_startTried = true;
    // Set before the job can run: once it has run, the session may be gone.
    m_hasThread = true;
    bool started = false;
    // The thread is handed the session once its socket is there: it starts receiving at once, with
    // one wake-up instead of one for the hand-over and another for the start.
    try {
        started = CSessionThreadPool::getInstance()->run([this, done = m_workDone] {
            t_servedSession = this;
            try {
                threadClientWork();
            } catch (...) {
                // Out of memory in a log line, say: the stopper must still learn that the thread let go.
                qvsc::logCaught(u"Client Work");
            }
            t_servedSession = nullptr;
            const bool handedOver = m_handOver.exchange(kThreadDone) == kHandedOver;
            done->set();  // before a release: the destructor's stop then finds the thread done
            if (handedOver) {
                // The stopper gave up on this thread: the session is this thread's to release.
                const std::function<void()> onRelease = std::move(m_onRelease);
                delete this;
                if (onRelease) {
                    onRelease();
                }
            }
        });
    } catch (const std::bad_alloc&) {
        started = false;
    }
    if (started) {
        return;  // the session belongs to its thread now
    }
    m_hasThread = false;
    qvsc::log(u"%s Create Thread Failed!!", kSvrCommTag);
    if (m_startDeferred.load()) {
        endUnserved();  // refused after it was accepted
        return;
    }
    const auto done = m_workDone;  // the session may go as soon as this is set
    done->set();
}

void CClientPerThread::endUnserved()
{
    // Ends as if its peer had gone, on the calling thread: no session thread ever ran.
    m_running = false;
    closeOwnSocket(0);
    notifyDelegate(CCPTWorkDelegate::kStatusClosed, nullptr, 0);
    m_threadEnded = true;
    const auto done = m_workDone;  // the session may go as soon as this is set
    done->set();
}

void CClientPerThread::notifyDelegate(int status, const unsigned char* data, int length)
{
    if (CCPTWorkDelegate* delegate = m_delegate.load()) {
        try {
            delegate->onClientRecv(m_clientId, status, data, length);
        } catch (...) {
            // Serving this connection failed (out of memory, most likely): the connection ends,
            // the server and every other connection go on.
            qvsc::log(u"%s Delegate Failed [%d]", kSvrCommTag, m_clientId);
            qvsc::logCaught(u"Delegate");
            m_running = false;
        }
    }
}

void CClientPerThread::threadClientWork()
{
    if (m_startEvent.wait(-1)) {
        qvsc::log(u"%s threadClientWork Start [%d][RecvLoop=%s]", kSvrCommTag, m_clientId,
                  m_running.load() ? u"true" : u"false");
        qvplat::SocketHandle socket;
        {
            std::lock_guard lock(m_socketMutex);
            socket = m_socket.get();
        }
        // One call waits for input and takes it; the receive gives up after one poll interval so
        // that a cleared flag is still noticed in time.
        if (!qvplat::setReceiveTimeout(socket, kRecvPollMs)) {
            if (socket == qvplat::kInvalidSocket) {
                qvsc::log(u"%s SocketError(InvaildSocket) [%d]", kSvrCommTag, m_clientId);
            } else {
                qvsc::log(u"%s SocketError [%d]", kSvrCommTag, m_clientId);
            }
            notifyDelegate(CCPTWorkDelegate::kStatusRecvError, nullptr, 0);
            m_running = false;
        }
        // The pool thread's own buffer, given to it when it was made: receiving needs no memory.
        unsigned char* const buffer = CSessionThreadPool::threadBuffer();
        setLoopSocket(socket);
        while (m_running.load()) {
            // One receive takes what is waiting, up to the maximum (no need to ask how much first).
            const long received = qvplat::recvSome(socket, buffer, static_cast<std::size_t>(kMaxRecvLength));
            if (received == qvplat::kRecvTimedOut || !m_running.load()) {
                continue;  // input that comes after a close was asked for is not served
            }
            if (received == 0) {
                qvsc::log(u"%s SocketClose [%d]", kSvrCommTag, m_clientId);
                m_running = false;
            } else if (received < 0) {
                qvsc::log(u"%s SocketError(Recv) [%d][Delegate=%s]", kSvrCommTag, m_clientId,
                          m_delegate.load() != nullptr ? u"notnull" : u"null");
                notifyDelegate(CCPTWorkDelegate::kStatusRecvError, nullptr, 0);
                m_running = false;
            } else if (beginServing()) {
                buffer[static_cast<std::size_t>(received)] = 0;
                notifyDelegate(CCPTWorkDelegate::kStatusData, buffer, static_cast<int>(received));
                endServing();
            }
        }
        setLoopSocket(qvplat::kInvalidSocket);
        if (m_closeRequested.load()) {
            // Ended from outside, as a failed wait would: the error is reported before the close.
            notifyDelegate(CCPTWorkDelegate::kStatusRecvError, nullptr, 0);
        }
        closeOwnSocket(m_closeRequested.load() ? kCloseLingerMs : 0);
        notifyDelegate(CCPTWorkDelegate::kStatusClosed, nullptr, 0);
    }
    m_threadEnded = true;
    qvsc::log(u"%s threadClientWork End [%d]", kSvrCommTag, m_clientId);
}

void CClientPerThread::setLoopSocket(qvplat::SocketHandle socket)
{
    std::lock_guard lock(m_serveMutex);
    m_loopSocket = socket;
}

bool CClientPerThread::beginServing()
{
    std::lock_guard lock(m_serveMutex);
    m_serving = !m_finSent;  // a request that crossed our FIN: the peer reads the close instead
    return m_serving;
}

void CClientPerThread::endServing()
{
    std::lock_guard lock(m_serveMutex);
    m_serving = false;
}

void CClientPerThread::closeOwnSocket(int lingerMs)
{
    std::lock_guard lock(m_socketMutex);
    if (m_socket.isValid()) {
        qvplat::drainAndClose(m_socket.release(), lingerMs);
    }
}

qvplat::SocketHandle CClientPerThread::currentSocket()
{
    std::lock_guard lock(m_socketMutex);
    return m_socket.get();
}

template <class Step, class Done>
bool CClientPerThread::sendWithRetry(Step step, Done done)
{
    const qvplat::SocketHandle socket = currentSocket();
    if (socket == qvplat::kInvalidSocket) {
        return true;
    }
    int retry = 0;
    while (!done()) {
        const long sent = step(socket);
        if (sent > 0) {
            retry = 0;
            continue;
        }
        const qvplat::SendError error = sent == 0 ? qvplat::SendError::WouldBlock : qvplat::lastSendError();
        if (error == qvplat::SendError::WouldBlock) {
            if (retry > kSendRetryMax) {
                qvsc::log(u"%s SendFailed Wait 2 Second [%d]", kSvrCommTag, m_clientId);
                return false;
            }
            ++retry;
            // Waiting for room rather than sleeping: a reading peer lets the send go on at once,
            // one that does not read makes each wait last its full 100 ms.
            qvplat::waitWritable(socket, kSendRetryWaitMs);
            continue;
        }
        if (error == qvplat::SendError::ConnAborted) {
            qvsc::log(u"%s Send SocketClose [%d]", kSvrCommTag, m_clientId);
            notifyDelegate(CCPTWorkDelegate::kStatusClosed, nullptr, 0);
            m_running = false;
            return false;
        }
        qvsc::log(u"%s UnKnown SendFailed [%d]", kSvrCommTag, m_clientId);
        return false;
    }
    return true;
}

bool CClientPerThread::sendData(const unsigned char* data, int length)
{
    if (length <= 0 || data == nullptr) {
        return true;
    }
    int offset = 0;
    return sendWithRetry(
        [&](qvplat::SocketHandle socket) {
            const long sent = qvplat::sendSome(socket, data + offset, static_cast<std::size_t>(length - offset));
            offset += sent > 0 ? static_cast<int>(sent) : 0;
            return sent;
        },
        [&] { return offset >= length; });
}

bool CClientPerThread::sendFileData(std::FILE* file, std::uint64_t offset, std::uint64_t length)
{
    // One step moves at most this much, so that no call holds the thread for long.
    constexpr std::uint64_t kFileStepBytes = std::uint64_t{1} << 20;
    const std::uint64_t end = offset + length;
    bool shrank = false;
    const bool sent = sendWithRetry(
        [&](qvplat::SocketHandle socket) {
            const long n = qvplat::sendFileSome(socket, file, offset, std::min(end - offset, kFileStepBytes));
            if (n == 0) {
                shrank = true;
                return -1L;
            }
            return n;
        },
        [&] { return shrank || offset >= end; });
    if (shrank) {
        std::lock_guard lock(m_socketMutex);
        if (m_socket.isValid()) {
            qvplat::shutdownSocket(m_socket.get());
        }
        return false;
    }
    return sent;
}

bool CClientPerThread::cancelWatch()
{
    const std::uint64_t ticket = m_wakeTicket.load();
    if (ticket == 0 || !CSessionWaker::getInstance()->cancel(ticket)) {
        return false;
    }
    m_wakeTicket = 0;
    return true;
}

void CClientPerThread::closeConnection()
{
    m_closeRequested = true;
    m_running = false;
    {
        // Not m_socketMutex: the session thread holds that through its linger, and this runs on
        // the timer thread every worker shares.
        std::lock_guard lock(m_serveMutex);
        if (m_loopSocket != qvplat::kInvalidSocket && !m_serving && !m_finSent) {
            qvplat::shutdownSending(m_loopSocket);
            m_finSent = true;
        }
    }
    // A silent connection has no thread to notice the flag: it gets one now, which closes it as
    // it would close any other.
    if (cancelWatch()) {
        startThread();
    }
}

void CClientPerThread::stop()
{
    stopWaiting(nullptr);
}

bool CClientPerThread::stopOrHandOver(std::function<void()> onRelease)
{
    return stopWaiting(&onRelease);
}

bool CClientPerThread::stopWaiting(std::function<void()>* onRelease)
{
    m_running = false;
    // A thread still waiting for initStart goes straight to its end.
    m_startEvent.set();
    // A watch that has fired (or is firing) has started the thread or is about to: waited for
    // like a thread that runs.
    const bool watchFired = !cancelWatch() && m_wakeTicket.load() != 0;
    if ((watchFired || m_startTried.load()) && !isSessionThread()) {
        if (!m_workDone->wait(kStopWaitMaxMs)) {
            // Stuck in a send or a delegate call: shutting the connection down ends it for the
            // peer and makes every socket call of the thread fail at once.
            {
                std::lock_guard lock(m_socketMutex);
                if (m_socket.isValid()) {
                    qvplat::shutdownSocket(m_socket.get());
                }
            }
            if (!m_workDone->wait(kHandOverWaitMs) && onRelease != nullptr) {
                // Still stuck (in the delegate, not in the network): the thread is left to end on
                // its own and then releases the session itself; its descriptor stays with it so
                // that no later connection can be reached through a reused number.
                m_onRelease = std::move(*onRelease);
                if (m_handOver.exchange(kHandedOver) != kThreadDone) {
                    return false;
                }
            }
            m_workDone->wait(-1);
        }
    }
    closeOwnSocket(0);
    return true;
}
