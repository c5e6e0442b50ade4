#include "commlib/ClientPerThread.h"

#include <algorithm>
#include <chrono>
#include <new>

#include "commlib/SessionLoop.h"
#include "commlib/SessionThreadPool.h"
#include "commlib/SessionWaker.h"
#include "commlib/SvrCommLog.h"

namespace {

using Interest = qvplat::ReadinessSet::Interest;

static_assert(CSessionThreadPool::kThreadBufferBytes >= CClientPerThread::kRecvBufferBytes,
              "a runner's buffer takes one receive and the zero behind it");

// One sendfile call moves at most this much, so that one large answer does not hold the loop.
constexpr std::uint64_t kFileStepBytes = std::uint64_t{1} << 20;

long long steadyNowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

CClientPerThread::CClientPerThread()
{
    qvsc::log(u"%s Create Thread ClientPerThread", kSvrCommTag);
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
        std::lock_guard lock(m_stopMutex);
        m_socket.reset(socket);
    }
    CSessionLoop* const loop = CSessionLoop::pick();
    if (loop == nullptr || !qvplat::setNonBlocking(socket)) {
        qvsc::log(u"%s Create Thread Failed!!", kSvrCommTag);
        return false;
    }
    m_state = State::Open;
    m_loop = loop;
    qvsc::log(u"%s threadClientWork Start [%d][RecvLoop=%s]", kSvrCommTag, m_clientId, u"true");
    // Listed as silent until its first input: reclaimed first when descriptors run short.
    m_silentTicket = CSessionWaker::getInstance()->watch(this);
    std::lock_guard lock(m_stopMutex);  // a reclaim closes the socket under it
    if (m_socket.isValid() && !loop->attach(m_socket.get(), this)) {
        qvsc::log(u"%s Create Thread Failed!!", kSvrCommTag);
        return false;  // stop has the loop forget it
    }
    return true;  // (a socket reclaimed already is reported closed by the loop)
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
            m_sendEnded = true;
        }
    }
}

bool CClientPerThread::claim()
{
    if (m_silentTicket == 0) {
        return true;
    }
    if (!CSessionWaker::getInstance()->cancel(m_silentTicket)) {
        return false;  // reclaimed: kRequestDrop follows
    }
    m_silentTicket = 0;
    return true;
}

void CClientPerThread::setInterest(Interest interest)
{
    if (m_interest == interest || !m_socket.isValid()) {
        return;
    }
    // None takes the socket out of the set: a hang-up would still be reported under no interest,
    // and again at every wait while the session cannot act on it.
    if (interest == Interest::None) {
        m_loop->unwatch(m_socket.get());
    } else if (m_interest == Interest::None) {
        m_loop->rewatch(m_socket.get(), this, interest);
    } else {
        m_loop->setInterest(m_socket.get(), this, interest);
    }
    m_interest = interest;
}

bool CClientPerThread::leftBehind(unsigned requests)
{
    // This thread is no longer the runner: the session goes back to the loop, with what is left.
    m_loop->post(this, requests | CSessionLoop::kRequestResume);
    return false;
}

bool CClientPerThread::onReady()
{
    switch (m_state) {
        case State::LeftBehind:
            setInterest(Interest::None);  // until the call left behind returns
            return true;
        case State::Open:
            if (!claim()) {
                return true;
            }
            return hasPendingOutput() ? flush() : receive();
        case State::Closing: {
            // Input after our close is read and dropped until the peer closes too.
            unsigned char* const buffer = CSessionThreadPool::threadBuffer();
            const long received = qvplat::recvSome(m_socket.get(), buffer, static_cast<std::size_t>(kMaxRecvLength));
            return received > 0 || received == qvplat::kRecvTimedOut || endSession(true, true);
        }
        default:
            return true;
    }
}

bool CClientPerThread::receive()
{
    // The runner's own buffer, given to its thread when it was made: receiving needs no memory.
    unsigned char* const buffer = CSessionThreadPool::threadBuffer();
    const long received = qvplat::recvSome(m_socket.get(), buffer, static_cast<std::size_t>(kMaxRecvLength));
    if (received == qvplat::kRecvTimedOut) {
        return true;
    }
    if (received == 0) {
        qvsc::log(u"%s SocketClose [%d]", kSvrCommTag, m_clientId);
        return endSession(false, true);
    }
    if (received < 0) {
        qvsc::log(u"%s SocketError(Recv) [%d][Delegate=%s]", kSvrCommTag, m_clientId,
                  m_delegate.load() != nullptr ? u"notnull" : u"null");
        return endSession(true, true);
    }
    buffer[static_cast<std::size_t>(received)] = 0;
    if (!m_loop->callDelegate(this, CCPTWorkDelegate::kStatusData, buffer, static_cast<int>(received))) {
        return leftBehind(0);
    }
    return afterDelegate();
}

bool CClientPerThread::afterDelegate()
{
    if (m_sendEnded) {
        return endSession(false);
    }
    if (hasPendingOutput()) {
        m_deadlineMs = steadyNowMs() + kSendStallMs;
        m_loop->addDeadline(this);
        setInterest(Interest::Write);
        return true;
    }
    if (m_closeRequested) {
        return beginClose();
    }
    setInterest(Interest::Read);
    return true;
}

bool CClientPerThread::flush()
{
    bool progress = false;
    while (m_outSent < m_out.size()) {
        const long sent = qvplat::sendSome(m_socket.get(), m_out.data() + m_outSent, m_out.size() - m_outSent);
        if (sent <= 0) {
            if (sent < 0 && !sendFailed(qvplat::lastSendError())) {
                return endSession(false);
            }
            break;
        }
        m_outSent += static_cast<std::size_t>(sent);
        progress = true;
    }
    if (m_outSent >= m_out.size()) {
        std::vector<unsigned char>().swap(m_out);  // a held connection keeps no output memory
        m_outSent = 0;
    }
    while (m_outSent == 0 && m_out.empty() && m_fileFd >= 0 && m_fileOffset < m_fileEnd) {
        const long sent =
            qvplat::sendFileSome(m_socket.get(), m_fileFd, m_fileOffset,
                                 static_cast<std::size_t>(std::min(m_fileEnd - m_fileOffset, kFileStepBytes)));
        if (sent == 0) {
            qvplat::shutdownSocket(m_socket.get());  // the file shrank: the peer must not take the rest for data
            return endSession(false);
        }
        if (sent < 0) {
            if (!sendFailed(qvplat::lastSendError())) {
                return endSession(false);
            }
            break;
        }
        progress = true;
    }
    if (m_fileFd >= 0 && m_fileOffset >= m_fileEnd) {
        releaseFile();
    }
    if (hasPendingOutput()) {
        if (progress) {
            m_deadlineMs = steadyNowMs() + kSendStallMs;
        }
        return true;
    }
    m_loop->removeDeadline(this);
    return afterDelegate();
}

bool CClientPerThread::sendFailed(qvplat::SendError error)
{
    if (error == qvplat::SendError::WouldBlock) {
        return true;  // the rest goes once the socket has room
    }
    if (error == qvplat::SendError::ConnAborted) {
        qvsc::log(u"%s Send SocketClose [%d]", kSvrCommTag, m_clientId);
    } else {
        qvsc::log(u"%s UnKnown SendFailed [%d]", kSvrCommTag, m_clientId);
    }
    m_sendEnded = true;
    return false;
}

bool CClientPerThread::sendData(const unsigned char* data, int length)
{
    return sendOut(data, length, false);
}

bool CClientPerThread::sendFileData(const unsigned char* head, int headLength, std::FILE* file, std::uint64_t offset,
                                    std::uint64_t length)
{
    return sendOut(head, headLength, length > 0) && sendFileData(file, offset, length);
}

bool CClientPerThread::sendOut(const unsigned char* data, int length, bool moreFollows)
{
    if (length <= 0 || data == nullptr || !m_socket.isValid() || m_sendEnded) {
        return !m_sendEnded;
    }
    if (m_fileFd >= 0) {
        return false;  // would overtake the file
    }
    std::size_t offset = 0;
    const auto total = static_cast<std::size_t>(length);
    while (m_out.empty() && offset < total) {
        const long sent = qvplat::sendSome(m_socket.get(), data + offset, total - offset, moreFollows);
        if (sent < 0 && !sendFailed(qvplat::lastSendError())) {
            return false;
        }
        if (sent <= 0) {
            break;
        }
        offset += static_cast<std::size_t>(sent);
    }
    try {
        m_out.insert(m_out.end(), data + offset, data + total);
    } catch (const std::bad_alloc&) {
        qvsc::log(u"%s UnKnown SendFailed [%d]", kSvrCommTag, m_clientId);
        m_sendEnded = true;  // an answer cut short cannot go on: the connection ends
        return false;
    }
    return true;
}

bool CClientPerThread::sendFileData(std::FILE* file, std::uint64_t offset, std::uint64_t length)
{
    if (length == 0 || !m_socket.isValid() || m_sendEnded) {
        return !m_sendEnded;
    }
    if (m_fileFd >= 0) {
        return false;
    }
    const std::uint64_t end = offset + length;
    while (m_out.empty() && offset < end) {
        const long sent = qvplat::sendFileSome(m_socket.get(), file, offset,
                                               static_cast<std::size_t>(std::min(end - offset, kFileStepBytes)));
        if (sent == 0) {
            qvplat::shutdownSocket(m_socket.get());
            m_sendEnded = true;
            return false;
        }
        if (sent < 0 && !sendFailed(qvplat::lastSendError())) {
            return false;
        }
        if (sent < 0) {
            break;
        }
    }
    if (offset >= end) {
        return true;
    }
    // The rest goes as the peer reads, from a descriptor of our own: the caller closes its file.
    m_fileFd = qvplat::duplicateFileForSend(file);
    if (m_fileFd < 0) {
        qvsc::log(u"%s UnKnown SendFailed [%d]", kSvrCommTag, m_clientId);
        m_sendEnded = true;
        return false;
    }
    m_fileOffset = offset;
    m_fileEnd = end;
    return true;
}

void CClientPerThread::releaseFile()
{
    qvplat::closeFileForSend(m_fileFd);
    m_fileFd = -1;
}

bool CClientPerThread::beginClose()
{
    // FIN behind the answer; the peer's own close (or the linger's end) ends the session.
    qvplat::shutdownSending(m_socket.get());
    m_state = State::Closing;
    m_deadlineMs = steadyNowMs() + kCloseLingerMs;
    m_loop->addDeadline(this);
    setInterest(Interest::Read);
    return true;
}

void CClientPerThread::closeSocket(bool peerEnded)
{
    std::lock_guard lock(m_stopMutex);
    if (!m_socket.isValid()) {
        return;
    }
    m_loop->unwatch(m_socket.get());
    if (peerEnded) {
        qvplat::closeSocket(m_socket.release());  // nothing unread is left to turn the close into a reset
    } else {
        qvplat::drainAndClose(m_socket.release(), 0);
    }
}

bool CClientPerThread::endSession(bool reportError, bool peerEnded)
{
    m_loop->removeDeadline(this);
    closeSocket(peerEnded);
    releaseFile();
    std::vector<unsigned char>().swap(m_out);
    m_outSent = 0;
    m_state = reportError ? State::Report98 : State::Report99;
    return reportEnd();
}

bool CClientPerThread::reportEnd()
{
    if (m_state == State::Report98) {
        m_state = State::Report99;
        if (!m_loop->callDelegate(this, CCPTWorkDelegate::kStatusRecvError, nullptr, 0)) {
            return leftBehind(0);
        }
    }
    if (m_state == State::Report99) {
        m_state = State::Ended;
        qvsc::log(u"%s threadClientWork End [%d]", kSvrCommTag, m_clientId);
        if (!m_loop->callDelegate(this, CCPTWorkDelegate::kStatusClosed, nullptr, 0)) {
            return leftBehind(0);
        }
    }
    return true;
}

bool CClientPerThread::requestClose()
{
    if (m_state != State::Open || !claim()) {
        return true;  // closing or ended already; or reclaimed, and the drop reports the close
    }
    m_closeRequested = true;
    return hasPendingOutput() || beginClose();  // a pending answer goes first; its end closes
}

bool CClientPerThread::resume()
{
    m_state = m_resumeState;
    switch (m_state) {
        case State::Open:
            if (!m_socket.isValid()) {
                return true;
            }
            return afterDelegate();
        case State::Report98:
        case State::Report99:
            return reportEnd();
        default:
            return true;
    }
}

bool CClientPerThread::onRequests(unsigned requests)
{
    if ((requests & CSessionLoop::kRequestResume) != 0) {
        requests = (requests | m_deferred) & ~CSessionLoop::kRequestResume;
        m_deferred = 0;
        if (!resume()) {
            m_loop->post(this, requests);  // for the new runner, behind the resume
            return false;
        }
    }
    if (m_state == State::LeftBehind) {
        m_deferred |= requests;
        return true;
    }
    if ((requests & CSessionLoop::kRequestDrop) != 0 && m_state == State::Open) {
        // The socket is closed already (by the reclaim); only the report is left.
        m_state = State::Report99;
        if (!reportEnd()) {
            return leftBehind(requests & CSessionLoop::kRequestStop);
        }
    }
    if ((requests & CSessionLoop::kRequestClose) != 0 && !requestClose()) {
        return leftBehind(requests & CSessionLoop::kRequestStop);
    }
    if ((requests & CSessionLoop::kRequestStop) != 0) {
        m_loop->post(this, CSessionLoop::kRequestStop);  // a stop that waited for the call left behind
    }
    return true;
}

void CClientPerThread::publishEnd()
{
    if (m_state == State::Ended && !m_endPublished) {
        m_endPublished = true;
        std::lock_guard lock(m_stopMutex);
        m_finished = true;
    }
}

bool CClientPerThread::onDeadline()
{
    if (m_state == State::Open && hasPendingOutput()) {
        qvsc::log(u"%s SendFailed Wait 2 Second [%d]", kSvrCommTag, m_clientId);
        return endSession(false);
    }
    return m_state != State::Closing || endSession(true);
}

bool CClientPerThread::detach(std::function<void()>& onRelease)
{
    m_loop->removeDeadline(this);
    if (claim()) {
        closeSocket();
    }
    releaseFile();
    m_state = State::Ended;
    m_loop->forget(this);  // a drop posted by a reclaim that raced this stop
    std::lock_guard lock(m_stopMutex);
    m_stopped = true;
    if (m_handedOver) {
        onRelease = std::move(m_onRelease);
        return true;
    }
    m_stoppedEvent.set();  // the stopper may delete the session from here on
    return false;
}

void CClientPerThread::dropSilent()
{
    // The loop has not claimed the session (it would have taken it off the list first), so it
    // never touches this socket again.
    closeSocket();
    m_loop->post(this, CSessionLoop::kRequestDrop);
}

void CClientPerThread::closeConnection()
{
    if (m_loop != nullptr) {
        m_loop->post(this, CSessionLoop::kRequestClose);
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
    {
        std::lock_guard lock(m_stopMutex);
        if (m_stopped) {
            return true;
        }
        if (m_loop == nullptr) {
            m_stopped = true;
            m_socket.reset();  // never served: nobody else holds it
            return true;
        }
        if (m_finished && !m_loop->isQueued(this)) {
            m_stopped = true;  // the usual case: the loop is done with it, and nothing more is asked
            return true;
        }
    }
    m_loop->post(this, CSessionLoop::kRequestStop);
    if (waitStopped(kStopWaitMaxMs)) {
        return true;
    }
    {
        // A delegate call that does not return: shutting the connection down ends it for the peer
        // and makes the call's socket operations fail at once.
        std::lock_guard lock(m_stopMutex);
        if (m_socket.isValid()) {
            qvplat::shutdownSocket(m_socket.get());
        }
    }
    if (!waitStopped(kHandOverWaitMs) && onRelease != nullptr) {
        std::lock_guard lock(m_stopMutex);
        if (!m_stopped) {
            m_handedOver = true;
            m_onRelease = std::move(*onRelease);
            return false;
        }
        return true;
    }
    return waitStopped(-1);
}

bool CClientPerThread::waitStopped(int timeoutMs)
{
    if (!m_stoppedEvent.wait(timeoutMs)) {
        return false;
    }
    // The loop sets the event under the lock: once it is taken here, the loop is done with it.
    std::lock_guard lock(m_stopMutex);
    return true;
}
