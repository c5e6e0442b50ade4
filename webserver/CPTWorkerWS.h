#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include "commlib/CPTBaseWorker.h"
#include "commlib/CPTWorkDelegate.h"
#include "platform/Socket.h"
#include "webserver/PacketMngWSvr.h"

class CClientPerThread;
class IQvAccessLogSink;
struct _tag_WebServerInfo;

// The web server's worker of one connection: takes each received chunk as one request, answers it
// through its session, and on its timer closes the connection after the answer and destroys
// itself after the close. Created by CWebServer; destroys itself.
class CCPTWorkerWS : public CCPTBaseWorker, public CCPTWorkDelegate {
public:
    // A request line cut by the network waits this long for its end, from its first bytes on;
    // one still unfinished then closes the connection unanswered. Short, since a waiting line
    // holds its buffer: a line cut by the network is whole within milliseconds.
    static constexpr int kRequestLineWaitMs = 2000;

    CCPTWorkerWS();
    ~CCPTWorkerWS() override;

    // Sends through the connection's session; false when there is none.
    bool sendClientData(const unsigned char* data, int length) override;
    bool sendClientFile(std::FILE* file, std::uint64_t offset, std::uint64_t length) override;
    bool sendClientHeadAndFile(const unsigned char* head, int headLength, std::FILE* file, std::uint64_t offset,
                               std::uint64_t length) override;
    // State 4: ends the connection; state 2: removes the session and destroys this worker.
    void onTimerCheck() override;
    // Status 0 when a request starts being processed, 1 when the connection has closed. Logs only.
    virtual void onRecvWorkerData(int status, const unsigned char* data, int length);

    // Session loop: 0 appends the chunk and, once the request line has ended (CR LF), answers
    // what is buffered (state 4); 99 marks the close (state 2).
    void onClientRecv(int clientId, int status, const unsigned char* data, int length) override;

    void setClientId(int clientId) { m_clientId = clientId; }
    // The connection's session, held until this worker removes it from the client manager.
    void setSession(CClientPerThread* session) { m_session = session; }
    int getClientId() const { return m_clientId; }
    // The definition served; shared with the server instance, so it outlives a server destroyed
    // while this connection is still being answered.
    void setServerInfo(std::shared_ptr<_tag_WebServerInfo> info) { m_serverInfo = std::move(info); }
    _tag_WebServerInfo* getServerInfo() const { return m_serverInfo.get(); }

    // Listening thread, before the session owns socket: joins the process's access log, if on.
    void startAccessLog(qvplat::SocketHandle socket);
    // Session loop, once per answer sent: reports it to the access log, if this connection has one.
    void onAnswerSent(int status, long long bodyBytes);

private:
    void destroySelf();
    // Session loop: true when what is buffered is to be processed now (its request line ended,
    // or it cannot become a line that is answered); chunk is the part just appended.
    bool isRequestReady(std::string_view chunk);

    int m_clientId = -1;
    CClientPerThread* m_session = nullptr;
    bool m_endsWithCR = false;  // session loop: the buffered bytes end in the CR of a line end
    // When the unfinished request line buffered now began (steady clock, ms); 0 when there is none.
    std::atomic<long long> m_lineSinceMs{0};
    bool m_handedOver = false;                   // timer thread: the session's thread was given up on...
    std::atomic<bool> m_sessionReleased{false};  // ...and has let go since
    CPacketMngWSvr m_packetMng;
    std::shared_ptr<_tag_WebServerInfo> m_serverInfo;
    std::shared_ptr<IQvAccessLogSink> m_accessLog;  // null: no access log
    std::string m_peerAddress;
    std::string m_requestLine;  // of the request being answered, kept only for the access log
};
