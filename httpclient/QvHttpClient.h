#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "foundation/QvArray.h"
#include "foundation/QvMap.h"
#include "foundation/QvString.h"
#include "foundation/QvStringArray.h"
#include "httpclient/QvASQMTPool.h"
#include "httpclient/QvHttpWorkItem.h"
#include "platform/TimerService.h"

struct QvHttpFileTarget;

// A registered base URL; request paths are joined to it with "%s/%s".
struct _tag_HttpSessionInfo {
    QvString baseurl;
};

// The process-wide HTTP client: base URLs by session id, a table of reusable work items (a request's
// index is its item's position) and a pool of four worker threads. Requests return at once with their
// index; results arrive through the item's callback on a pool thread.
//
// Any thread may ask for requests (pool threads included, from inside a callback). The tables and the
// last index are locked; an item handed out is reserved until it has run, so it is never handed out
// twice; and a queued item cannot start before the call that queued it has its index.
class QvHttpClient {
public:
    static constexpr int32_t kSessionUpdateService = 1;  // form posts of the update check
    static constexpr int32_t kSessionDownloads = 3;      // installer downloads
    static constexpr int32_t kMaxNewItemIndex = 256;     // items 0..256 are created, later ones reused
    static constexpr int kFreeItemWaitMs = 100;          // GetFileDownload's pause between tries
    // An item unused this long frees its session, so its cached connections (a few descriptors each)
    // and buffers do not stay for the life of the process; its next request opens a new one.
    static constexpr int kIdleCloseMs = 60000;

    // The client, created (with its started pool) on first use.
    static QvHttpClient& getInstance();
    // Destroys the client: stops and joins the pool (a running request finishes first), then frees the
    // items. The program's exit does so through the service context; tests call it after their
    // requests have been answered.
    static void releaseInstance();

    // The callback of every GetFileDownload request (the main dialog's handler). Any thread.
    static void setDownloadCallback(QvHttpCallback callback);
    static QvHttpCallback getDownloadCallback();

    // -1 when baseUrl is empty; otherwise registers it for id (replacing an earlier one) and returns 1.
    int32_t addSession(int32_t id, const QvString& baseUrl);

    // Hands out an item (new while the table holds at most 257, then the lowest idle one) and sets the
    // last index; null when none is free. The item stays reserved: submit it through one of the request
    // calls' paths or give it back with releaseWorkItem.
    QvHttpWorkItem* getFreeWorkItem();
    void releaseWorkItem(QvHttpWorkItem* item);

    // Downloads every non-empty name below the session-3 base URL (GET, data type File), waiting 100 ms
    // at a time for a free item. Returns the index of the last request queued, or -1 (no session 3,
    // an empty list, or nothing queued).
    int32_t GetFileDownload(const QvStringArray& names, const QvString& headers, const QvString& onlyReturn,
                            void* context);
    // Downloads name below the session-3 base URL into target (QvHttpConnection::download), with the
    // download callback. The index, or -1 (no session 3, an empty name).
    int32_t downloadToFile(const QvString& name, const QvHttpFileTarget& target, void* context);
    // Posts form as multipart/form-data to the session-1 base URL, or to base URL + "/" + path. Returns the
    // request index, or -1 when session 1 is missing or no item is free.
    int32_t postForm(const QvString& path, const QvString& headers, const QvHttpForm& form, const QvString& onlyReturn,
                     QvHttpCallback callback, void* context);

    // Cancels every request of context that is queued or running (QvHttpWorkItem::cancel). Any thread.
    void cancelRequests(void* context);
    // Waits until no request of context is queued or running any more (or timeoutMs pass; < 0: no
    // limit); then no callback reaches context. True when none is left. Not from a callback.
    bool waitForRequests(void* context, int timeoutMs);

    // Test seam: the idle time after which a session is freed, for clients created afterwards in the
    // current service context (0 restores kIdleCloseMs).
    static void setIdleCloseForTesting(int idleMs);

    int32_t getLastIndex() const;
    int itemCount() const;
    // Waits until every item handed out has run (or timeoutMs pass); true when all are idle.
    bool waitUntilIdle(int timeoutMs);
    // Items waiting in the pool's queue.
    int pendingCount() const { return m_pool->pendingCount(); }

    ~QvHttpClient();  // through releaseInstance or the end of its service context
    QvHttpClient(const QvHttpClient&) = delete;
    QvHttpClient& operator=(const QvHttpClient&) = delete;

private:
    QvHttpClient();

    QvHttpWorkItem* takeFreeItemLocked();
    bool runItem(void* item);
    // Frees the sessions of the items idle for longer than m_idleCloseMs (the sweep timer's callback).
    void closeIdleSessions();

    QvMap<int32_t, _tag_HttpSessionInfo*> m_sessions;
    std::unique_ptr<QvASQMTPool<QvHttpWorkItem*>> m_pool;
    QvArray<QvHttpWorkItem*> m_items;
    int32_t m_lastIndex = -1;
    mutable std::mutex m_lock;               // sessions, items, claims and lastIndex
    std::condition_variable m_itemReleased;  // an item became idle
    int m_idleCloseMs;
    qvplat::TimerId m_idleSweep = 0;
};
