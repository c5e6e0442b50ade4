#include "httpclient/QvHttpClient.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>

#include "foundation/QvSingleton.h"
#include "httpclient/QvHttpConnection.h"
#include "platform/ServiceContext.h"
#include "platform/Sync.h"

namespace {

QvSingleton<QvHttpClient> s_instance;
std::atomic<QvHttpCallback> s_downloadCallback{nullptr};
using IdleCloseMs = qvplat::ContextSetting<struct IdleCloseMsTag, int>;  // 0: kIdleCloseMs
constexpr int kSweepsPerIdleTime = 4;  // a session goes at most a quarter of the idle time late

int idleCloseMs()
{
    const int set = IdleCloseMs::get();
    return set > 0 ? set : QvHttpClient::kIdleCloseMs;
}

}  // namespace

QvHttpClient& QvHttpClient::getInstance()
{
    return *s_instance.get([] { return new QvHttpClient(); });
}

void QvHttpClient::releaseInstance()
{
    s_instance.release();
}

void QvHttpClient::setDownloadCallback(QvHttpCallback callback)
{
    s_downloadCallback.store(callback);
}

QvHttpCallback QvHttpClient::getDownloadCallback()
{
    return s_downloadCallback.load();
}

void QvHttpClient::setIdleCloseForTesting(int idleMs)
{
    IdleCloseMs::set(idleMs);
}

QvHttpClient::QvHttpClient() : m_pool(std::make_unique<QvASQMTPool<QvHttpWorkItem*>>()), m_idleCloseMs(idleCloseMs())
{
    m_pool->start([this](void* item) { return runItem(item); });
    const int sweepMs = std::max(1, m_idleCloseMs / kSweepsPerIdleTime);
    m_idleSweep = qvplat::createTimer(sweepMs, sweepMs, [this] { closeIdleSessions(); });
}

QvHttpClient::~QvHttpClient()
{
    // The sweep first (this waits for one in progress), then the pool: once its threads are joined
    // nothing runs an item any more.
    qvplat::deleteTimer(m_idleSweep);
    m_pool.reset();
    for (QvHttpWorkItem* item : m_items) {
        delete item;
    }
    m_items.clear();
    for (auto& [id, session] : m_sessions) {
        delete session;
    }
    m_sessions.clear();
}

bool QvHttpClient::runItem(void* item)
{
    if (item == nullptr) {
        return false;
    }
    auto* workItem = static_cast<QvHttpWorkItem*>(item);
    {
        // The call that queued the item holds the lock until its index is settled; an answer waits for it.
        std::lock_guard<std::mutex> lock(m_lock);
    }
    const bool completed = workItem->execute();
    releaseWorkItem(workItem);
    return completed;
}

int32_t QvHttpClient::addSession(int32_t id, const QvString& baseUrl)
{
    if (baseUrl.isEmpty()) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    _tag_HttpSessionInfo** present = m_sessions.find(id);
    if (present != nullptr) {
        // Readers copy the base URL under the lock, so the old record can go.
        delete *present;
    }
    auto* info = new _tag_HttpSessionInfo;
    info->baseurl = baseUrl;
    m_sessions.set(id, info);
    return 1;
}

QvHttpWorkItem* QvHttpClient::takeFreeItemLocked()
{
    if (m_items.size() <= kMaxNewItemIndex) {
        auto* item = new (std::nothrow) QvHttpWorkItem(m_items.size());
        if (item == nullptr) {
            return nullptr;
        }
        m_items.add(item);
        item->m_claimed = true;
        m_lastIndex = item->getReqIdx();
        return item;
    }
    for (QvHttpWorkItem* item : m_items) {
        if (!item->m_claimed && !item->isBusy()) {
            item->m_claimed = true;
            m_lastIndex = item->getReqIdx();
            return item;
        }
    }
    return nullptr;
}

QvHttpWorkItem* QvHttpClient::getFreeWorkItem()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return takeFreeItemLocked();
}

void QvHttpClient::releaseWorkItem(QvHttpWorkItem* item)
{
    if (item == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        item->m_claimed = false;
    }
    m_itemReleased.notify_all();
}

int32_t QvHttpClient::GetFileDownload(const QvStringArray& names, const QvString& headers, const QvString& onlyReturn,
                                      void* context)
{
    QvString baseUrl;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        _tag_HttpSessionInfo** session = m_sessions.find(kSessionDownloads);
        if (session == nullptr || names.isEmpty()) {
            return -1;
        }
        baseUrl = (*session)->baseurl;
    }
    const QvHttpCallback callback = getDownloadCallback();
    int32_t lastSubmitted = -1;
    for (const QvString& name : names) {
        QvHttpWorkItem* item = nullptr;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(m_lock);
                item = takeFreeItemLocked();
            }
            if (item != nullptr) {
                break;
            }
            // Waiting without the lock: the items that free one up need it to finish.
            qvplat::Event wait(true, false);
            wait.wait(kFreeItemWaitMs);
        }
        if (name.isEmpty()) {
            releaseWorkItem(item);
            continue;
        }
        std::lock_guard<std::mutex> lock(m_lock);
        item->setRequest(QvString::formatted(u"%s/%s", baseUrl, name), headers, QvHttpWorkItem::kReqGet,
                         QvHttpWorkItem::kDataFile, nullptr, 0, onlyReturn, callback, context);
        m_pool->submit(item);
        lastSubmitted = item->getReqIdx();
        m_lastIndex = lastSubmitted;
    }
    return lastSubmitted;
}

int32_t QvHttpClient::downloadToFile(const QvString& name, const QvHttpFileTarget& target, void* context)
{
    if (name.isEmpty()) {
        return -1;
    }
    QvString baseUrl;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        _tag_HttpSessionInfo** session = m_sessions.find(kSessionDownloads);
        if (session == nullptr) {
            return -1;
        }
        baseUrl = (*session)->baseurl;
    }
    QvHttpWorkItem* item = nullptr;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            item = takeFreeItemLocked();
            if (item != nullptr) {
                item->setRequest(QvString::formatted(u"%s/%s", baseUrl, name), QvString(), QvHttpWorkItem::kReqGet,
                                 QvHttpWorkItem::kDataFile, nullptr, 0, QvString(), getDownloadCallback(), context);
                item->setFileTarget(target);
                m_pool->submit(item);
                m_lastIndex = item->getReqIdx();
                return m_lastIndex;
            }
        }
        // As GetFileDownload: without the lock, which the items that free one up need.
        qvplat::Event wait(true, false);
        wait.wait(kFreeItemWaitMs);
    }
}

int32_t QvHttpClient::postForm(const QvString& path, const QvString& headers, const QvHttpForm& form,
                               const QvString& onlyReturn, QvHttpCallback callback, void* context)
{
    std::lock_guard<std::mutex> lock(m_lock);
    _tag_HttpSessionInfo** session = m_sessions.find(kSessionUpdateService);
    if (session == nullptr) {
        return -1;
    }
    QvHttpWorkItem* item = takeFreeItemLocked();
    if (item == nullptr) {
        return -1;
    }
    const QvString url =
        path.isEmpty() ? (*session)->baseurl : QvString::formatted(u"%s/%s", (*session)->baseurl, path);
    item->setFormRequest(url, headers, QvHttpWorkItem::kReqPost, QvHttpWorkItem::kDataForm, form, onlyReturn, callback,
                         context);
    m_pool->submit(item);
    return m_lastIndex;
}

void QvHttpClient::cancelRequests(void* context)
{
    std::lock_guard<std::mutex> lock(m_lock);
    for (QvHttpWorkItem* item : m_items) {
        if (item->m_claimed && item->getContext() == context) {
            item->cancel();
        }
    }
}

bool QvHttpClient::waitForRequests(void* context, int timeoutMs)
{
    const auto noneLeft = [this, context] {
        for (QvHttpWorkItem* item : m_items) {
            if (item->m_claimed && item->getContext() == context) {
                return false;
            }
        }
        return true;
    };
    std::unique_lock<std::mutex> lock(m_lock);
    if (timeoutMs < 0) {
        m_itemReleased.wait(lock, noneLeft);
        return true;
    }
    return m_itemReleased.wait_for(lock, std::chrono::milliseconds(timeoutMs), noneLeft);
}

void QvHttpClient::closeIdleSessions()
{
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(m_lock);
    for (QvHttpWorkItem* item : m_items) {
        // An item not handed out is not running either: nobody else touches its connection now.
        QvHttpConnection* connection = item->getConnection();
        if (!item->m_claimed && connection != nullptr && connection->hasSession() &&
            now - item->lastUsed() >= std::chrono::milliseconds(m_idleCloseMs)) {
            connection->closeSession();
        }
    }
}

int32_t QvHttpClient::getLastIndex() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_lastIndex;
}

int QvHttpClient::itemCount() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_items.size();
}

bool QvHttpClient::waitUntilIdle(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_itemReleased.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
        for (QvHttpWorkItem* item : m_items) {
            if (item->m_claimed || item->isBusy()) {
                return false;
            }
        }
        return true;
    });
}
