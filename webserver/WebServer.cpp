#include "webserver/WebServer.h"

#include <new>

#include "commlib/ClientPerThread.h"
#include "commlib/SocketClientMngr.h"
#include "commlib/SvrCommLog.h"
#include "webserver/CPTWorkerWS.h"
#include "webserver/WebServerInfo.h"

CWebServer::CWebServer(_tag_WebServerInfo* info) : m_serverInfo(info != nullptr ? info : new _tag_WebServerInfo()) {}

CWebServer::~CWebServer()
{
    stop();
    releasePending();
}

bool CWebServer::startServer()
{
    int port = 0;
    {
        const auto lock = m_serverInfo->readLock();
        port = m_serverInfo->port;
    }
    return initStart(port);
}

void CWebServer::releasePending()
{
    if (m_pendingWorker != nullptr) {
        // The session was registered under the worker's id: the manager stops and destroys it.
        CSocketClientMngr::getInstance()->remove(m_pendingWorker->getClientId());
        delete m_pendingWorker;
        m_pendingWorker = nullptr;
        m_pendingSession = nullptr;
    }
    delete m_pendingSession;
    m_pendingSession = nullptr;
}

bool CWebServer::processClientBindBefore()
{
    int clientId = -1;
    try {
        m_pendingSession = new CClientPerThread();
        m_pendingWorker = new CCPTWorkerWS();
        // No session thread runs yet (it is handed over at initStart) nor the worker's timer, so
        // the ids may be set after the one registration of both.
        clientId = CSocketClientMngr::getInstance()->addClient(m_pendingSession, m_pendingWorker);
    } catch (const std::bad_alloc&) {
        delete m_pendingWorker;
        delete m_pendingSession;
        m_pendingWorker = nullptr;
        m_pendingSession = nullptr;
        return false;  // the listener closes the socket
    }
    m_pendingWorker->setClientId(clientId);
    m_pendingWorker->setSession(m_pendingSession);
    m_pendingWorker->setServerInfo(m_serverInfo);
    qvsc::log(u"CWebServer processClientBindBefore [CID=%d]", clientId);
    m_pendingSession->setClientId(clientId);
    m_pendingSession->setDelegate(m_pendingWorker);
    return true;
}

void CWebServer::processClientBind(qvplat::SocketHandle socket)
{
    CClientPerThread* session = m_pendingSession;
    CCPTWorkerWS* worker = m_pendingWorker;
    if (session == nullptr || worker == nullptr) {
        qvplat::drainAndClose(socket);
        return;
    }
    m_pendingSession = nullptr;
    m_pendingWorker = nullptr;
    worker->startAccessLog(socket);
    // The timer first (its first tick is a second away): a worker without one could never close
    // its connection nor end itself, so the connection is refused instead.
    worker->doBindClientAfter();
    if (!worker->hasTimer()) {
        qvplat::drainAndClose(socket);
    }
    if (!worker->hasTimer() || !session->initStart(socket)) {
        // No timer or no session thread: the connection is refused; the session's stop closes the
        // socket it was given.
        CSocketClientMngr::getInstance()->remove(worker->getClientId());
        delete worker;
    }
}

void CWebServer::processStop(int code, const QvString& message)
{
    qvsc::log(u"CWebServer processStop [%d] %s", code, message);
    std::lock_guard<std::mutex> lock(m_stopMutex);
    m_lastStopMessage = message;
}

QvString CWebServer::lastStopMessage() const
{
    std::lock_guard<std::mutex> lock(m_stopMutex);
    return m_lastStopMessage;
}
