#pragma once

#include <memory>
#include <mutex>

#include "commlib/ConnWaitThread.h"

class CClientPerThread;
class CCPTWorkerWS;
struct _tag_WebServerInfo;

// One local web server: a listener on the definition's port that gives every accepted connection
// a session and a web worker under a new client id in the client manager. Owns its definition.
// Connections already handed over live on after a stop until their workers end them.
class CWebServer : public CConnWaitThread {
public:
    // Takes ownership of info (null: a default definition).
    explicit CWebServer(_tag_WebServerInfo* info = nullptr);
    // Stops the listener, then releases any half-prepared connection and the definition.
    ~CWebServer() override;

    // Starts listening on the definition's port; false when already listening or the thread
    // cannot be created.
    bool startServer();

    bool processClientBindBefore() override;
    void processClientBind(qvplat::SocketHandle socket) override;
    void processStop(int code, const QvString& message) override;

    // The definition; edit it under its writeLock() (or with its operator=) while running.
    _tag_WebServerInfo* getServerInfo() const { return m_serverInfo.get(); }
    // The message of the last processStop ("Socket Bind Failed!!", ...); empty before any.
    QvString lastStopMessage() const;

private:
    void releasePending();

    // Between processClientBindBefore and processClientBind, which run one at a time.
    CClientPerThread* m_pendingSession = nullptr;
    CCPTWorkerWS* m_pendingWorker = nullptr;
    std::shared_ptr<_tag_WebServerInfo> m_serverInfo;

    mutable std::mutex m_stopMutex;  // processStop runs on the listening thread
    QvString m_lastStopMessage;
};
