#include "webserver/CPTWorkerWS.h"

#include <algorithm>
#include <chrono>

#include "commlib/ClientPerThread.h"
#include "commlib/SocketClientMngr.h"
#include "commlib/SvrCommLog.h"
#include "webserver/AccessLog.h"
#include "webserver/WebServerInfo.h"

namespace {

long long steadyNowMs()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::max<long long>(1, std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace

CCPTWorkerWS::CCPTWorkerWS() : m_packetMng(this) {}

CCPTWorkerWS::~CCPTWorkerWS() = default;

bool CCPTWorkerWS::sendClientData(const unsigned char* data, int length)
{
    return m_session != nullptr && m_session->sendData(data, length);
}

bool CCPTWorkerWS::sendClientFile(std::FILE* file, std::uint64_t offset, std::uint64_t length)
{
    return m_session != nullptr && m_session->sendFileData(file, offset, length);
}

bool CCPTWorkerWS::sendClientHeadAndFile(const unsigned char* head, int headLength, std::FILE* file,
                                         std::uint64_t offset, std::uint64_t length)
{
    return m_session != nullptr && m_session->sendFileData(head, headLength, file, offset, length);
}

void CCPTWorkerWS::onRecvWorkerData(int status, const unsigned char* data, int length)
{
    qvsc::log(u"CCPTWorkerWS onRecvWorkerData [CID=%d][nStatus=%d]", m_clientId, status);
    if (m_accessLog && status == 0 && data != nullptr) {
        const std::string_view request(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
        m_requestLine = request.substr(0, request.find("\r\n"));
    }
}

void CCPTWorkerWS::startAccessLog(qvplat::SocketHandle socket)
{
    m_accessLog = CQvAccessLog::sink();
    if (m_accessLog) {
        m_peerAddress = qvplat::peerAddressText(socket);
    }
}

void CCPTWorkerWS::onAnswerSent(int status, long long bodyBytes)
{
    if (m_accessLog) {
        m_accessLog->logAnswer(m_peerAddress, m_requestLine, status, bodyBytes);
    }
}

void CCPTWorkerWS::onClientRecv(int clientId, int status, const unsigned char* data, int length)
{
    if (clientId != m_clientId) {
        return;
    }
    qvsc::log(u"CCPTWorkerWS CID[%d], Status[%d], DataLen[%d]", clientId, status, length);
    switch (status) {
        case kStatusData:
            qvsc::log(u"<==Source Session Receive Send Target Session [CID=%d][Len=%d]", clientId, length);
            {
                const std::string_view chunk(reinterpret_cast<const char*>(data),
                                             static_cast<std::size_t>(length > 0 ? length : 0));
                m_recvBuffer.append(data, chunk.size());
                if (isRequestReady(chunk)) {
                    m_packetMng.processRecvBuffer();
                } else if (m_recvBuffer.size() < static_cast<std::size_t>(CClientPerThread::kMaxRecvLength)) {
                    long long none = 0;
                    m_lineSinceMs.compare_exchange_strong(none, steadyNowMs());
                    break;  // the rest of the line is awaited
                } else {
                    // A request line longer than one receive is never answered.
                    m_recvBuffer.take(nullptr, m_recvBuffer.size());
                }
                m_endsWithCR = false;
                m_lineSinceMs = 0;
                m_state = kStateFinished;
                break;
            }
        case kStatusRecvError:
            qvsc::log(u"<==Source Session Receive Error [CID=%d]", clientId);
            break;
        case kStatusClosed:
            qvsc::log(u"<==Source Session Disconnect [CID=%d]", clientId);
            onRecvWorkerData(1, nullptr, 0);
            m_state = kStateClosed;
            break;
        default:
            break;
    }
}

bool CCPTWorkerWS::isRequestReady(std::string_view chunk)
{
    if (chunk.empty()) {
        return true;
    }
    const bool lineEnded = (m_endsWithCR && chunk.front() == '\n') || chunk.find("\r\n") != std::string_view::npos;
    m_endsWithCR = chunk.back() == '\r';
    if (lineEnded) {
        return true;
    }
    char head[4];
    const std::size_t count = m_recvBuffer.peek(head, sizeof head);
    return !CPacketMngWSvr::mayBeGetLine(std::string_view(head, count));
}

void CCPTWorkerWS::onTimerCheck()
{
    if (m_handedOver) {
        destroySelf();  // waiting for a given-up delegate call to return, whatever the state says
        return;
    }
    const long long lineSince = m_lineSinceMs.load();
    if (lineSince != 0 && m_state.load() == kStateIdle && steadyNowMs() - lineSince >= kRequestLineWaitMs) {
        m_state = kStateFinished;  // closed as after an answer, without one
    }
    switch (m_state.load()) {
        case kStateFinished:
            // The session's loop half-closes, lets the peer close, and closes the descriptor itself.
            if (m_session != nullptr) {
                m_session->closeConnection();
            }
            break;
        case kStateClosed:
            destroySelf();
            break;
        default:
            break;
    }
}

void CCPTWorkerWS::destroySelf()
{
    const int clientId = m_clientId;
    qvsc::log(u"[CID=%d] destroySelf ST", clientId);
    if (!m_handedOver) {
        // Normally the session's loop forgets it here. A call of this worker that does not return
        // is given up on after the stop's limit; this worker then stays until that call has
        // returned, and a later tick destroys it, on this timer's thread as always. Nothing here needs memory
        // (the call is a pointer wide), so a connection can always end, however short memory is.
        std::atomic<bool>* released = &m_sessionReleased;
        m_session = nullptr;  // the manager stops and destroys it
        if (!CSocketClientMngr::getInstance()->remove(clientId, [released] { *released = true; })) {
            m_handedOver = true;
            return;
        }
    } else if (!m_sessionReleased.load()) {
        return;
    }
    delete this;
    qvsc::log(u"[CID=%d] destroySelf ED", clientId);
}
