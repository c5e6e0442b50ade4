#include "commlib/ClientPerThread.h"

#include <algorithm>

#include "commlib/SvrCommLog.h"

CClientPerThread::CClientPerThread()
{
    qvsc::log(u"%s Create Thread ClientPerThread", kSvrCommTag);
    if (!m_thread.start([this] { threadClientWork(); }, qvplat::kSessionStackBytes)) {
        qvsc::log(u"%s Create Thread Failed!!", kSvrCommTag);
    }
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
    return m_thread.joinable();
}

void CClientPerThread::notifyDelegate(int status, const unsigned char* data, int length)
{
    if (CCPTWorkDelegate* delegate = m_delegate.load()) {
        delegate->onClientRecv(m_clientId, status, data, length);
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
        while (m_running.load()) {
            const int ready = qvplat::waitReadable(socket, kRecvPollMs);
            if (ready == 0) {
                continue;
            }
            if (ready < 0) {
                if (socket == qvplat::kInvalidSocket) {
                    qvsc::log(u"%s SocketError(InvaildSocket) [%d]", kSvrCommTag, m_clientId);
                } else {
                    qvsc::log(u"%s SocketError [%d]", kSvrCommTag, m_clientId);
                }
                notifyDelegate(CCPTWorkDelegate::kStatusRecvError, nullptr, 0);
                m_running = false;
                break;
            }
            if (!m_recvBuffer) {
                m_recvBuffer = std::make_unique_for_overwrite<unsigned char[]>(kRecvBufferBytes);
            }
            // Readable with nothing waiting means a close or an error: a 1-byte read tells which.
            const int waiting = qvplat::bytesAvailable(socket);
            const int wanted = std::clamp(waiting, 1, kMaxRecvLength);
            const long received = qvplat::recvSome(socket, m_recvBuffer.get(), static_cast<std::size_t>(wanted));
            if (received == 0) {
                qvsc::log(u"%s SocketClose [%d]", kSvrCommTag, m_clientId);
                m_running = false;
            } else if (received < 0) {
                qvsc::log(u"%s SocketError(Recv) [%d][Delegate=%s]", kSvrCommTag, m_clientId,
                          m_delegate.load() != nullptr ? u"notnull" : u"null");
                notifyDelegate(CCPTWorkDelegate::kStatusRecvError, nullptr, 0);
                m_running = false;
            } else {
                m_recvBuffer[static_cast<std::size_t>(received)] = 0;
                notifyDelegate(CCPTWorkDelegate::kStatusData, m_recvBuffer.get(), static_cast<int>(received));
            }
        }
        closeOwnSocket(m_closeRequested.load() ? kCloseLingerMs : 0);
        notifyDelegate(CCPTWorkDelegate::kStatusClosed, nullptr, 0);
    }
    m_recvBuffer.reset();
    m_threadEnded = true;
    qvsc::log(u"%s threadClientWork End [%d]", kSvrCommTag, m_clientId);
}

void CClientPerThread::closeOwnSocket(int lingerMs)
{
    std::lock_guard lock(m_socketMutex);
    if (m_socket.isValid()) {
        qvplat::drainAndClose(m_socket.release(), lingerMs);
    }
}

bool CClientPerThread::sendData(const unsigned char* data, int length)
{
    qvplat::SocketHandle socket;
    {
        std::lock_guard lock(m_socketMutex);
        socket = m_socket.get();
    }
    if (socket == qvplat::kInvalidSocket || length <= 0 || data == nullptr) {
        return true;
    }
    int offset = 0;
    int retry = 0;
    while (offset < length) {
        const long sent = qvplat::sendSome(socket, data + offset, static_cast<std::size_t>(length - offset));
        if (sent > 0) {
            offset += static_cast<int>(sent);
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

void CClientPerThread::closeConnection()
{
    m_closeRequested = true;
    m_running = false;
}

void CClientPerThread::stop()
{
    m_running = false;
    // A thread still waiting for initStart goes straight to its end.
    m_startEvent.set();
    if (m_thread.joinable() && !m_thread.isCurrent()) {
        bool ended = false;
        int waitedMs = 0;
        while (!(ended = m_thread.tryJoinFor(kStopWaitStepMs))) {
            waitedMs += kStopWaitStepMs;
            if (waitedMs > kStopWaitMaxMs) {
                break;
            }
        }
        if (!ended) {
            // Stuck in a send or a delegate call: shutting the connection down makes its socket
            // calls fail at once, so the thread can be joined instead of left running.
            {
                std::lock_guard lock(m_socketMutex);
                if (m_socket.isValid()) {
                    qvplat::shutdownSocket(m_socket.get());
                }
            }
            m_thread.join();
        }
    }
    closeOwnSocket(0);
}
