#include "webserver/CPTWorkerWS.h"

#include "commlib/ClientPerThread.h"
#include "commlib/SocketClientMngr.h"
#include "commlib/SvrCommLog.h"
#include "webserver/AccessLog.h"
#include "webserver/WebServerInfo.h"

CCPTWorkerWS::CCPTWorkerWS() : m_packetMng(this) {}

CCPTWorkerWS::~CCPTWorkerWS() = default;

bool CCPTWorkerWS::sendClientData(const unsigned char* data, int length)
{
    CClientPerThread* session = CSocketClientMngr::getInstance()->findSession(m_clientId);
    if (session == nullptr) {
        return false;
    }
    return session->sendData(data, length);
}

bool CCPTWorkerWS::sendClientFile(std::FILE* file, std::uint64_t offset, std::uint64_t length)
{
    CClientPerThread* session = CSocketClientMngr::getInstance()->findSession(m_clientId);
    if (session == nullptr) {
        return false;
    }
    return session->sendFileData(file, offset, length);
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
            m_recvBuffer.append(data, static_cast<std::size_t>(length > 0 ? length : 0));
            m_packetMng.processRecvBuffer();
            m_state = kStateAnswered;
            break;
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

void CCPTWorkerWS::onTimerCheck()
{
    if (m_released) {
        destroySelf();  // waiting for a given-up session thread to let go, whatever the state says
        return;
    }
    switch (m_state.load()) {
        case kStateAnswered:
            // The session thread half-closes, lets the peer close, and closes the descriptor itself.
            CSocketClientMngr::getInstance()->withSession(m_clientId,
                                                          [](CClientPerThread& session) { session.closeConnection(); });
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
    if (!m_released) {
        // Normally the session thread is joined here. One stuck in a call of this worker is given
        // up on after the stop's limit; this worker then stays until that thread has let go, and
        // a later tick destroys it, on this timer's thread as always.
        auto released = std::make_shared<std::atomic<bool>>(false);
        if (!CSocketClientMngr::getInstance()->remove(clientId, [released] { *released = true; })) {
            m_released = std::move(released);
            return;
        }
    } else if (!m_released->load()) {
        return;
    }
    delete this;
    qvsc::log(u"[CID=%d] destroySelf ED", clientId);
}
