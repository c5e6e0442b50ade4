#include "httpclient/QvHttpWorkItem.h"

#include <algorithm>
#include <cstring>

#include "foundation/QvLogMng.h"
#include "httpclient/QvHttpConnection.h"

namespace {

constexpr const char16_t* kLogTag = u"[QvCliComm] ";
constexpr const char16_t* kLogPrefix = u"qvhttp_";

std::unique_ptr<unsigned char[]> copyBytes(const unsigned char* data, uint32_t length)
{
    if (data == nullptr || length == 0) {
        return nullptr;
    }
    std::unique_ptr<unsigned char[]> copy(new unsigned char[length]);
    std::memcpy(copy.get(), data, length);
    return copy;
}

}  // namespace

QvHttpWorkItem::QvHttpWorkItem(int32_t index) : m_reqidx(index) {}

QvHttpWorkItem::~QvHttpWorkItem()
{
    reset();
    m_fileResult.reset();
    m_connection.reset();
}

void QvHttpWorkItem::prepareUrl(const QvString& url)
{
    if (url != m_baseurl || !m_connection) {
        m_baseurl = url;
        if (m_connection) {
            m_connection->setUrl(url);
            m_connection->clearBody();
        } else {
            m_connection = std::make_unique<QvHttpConnection>(url, this);
            m_connection->setCancelFlag(&m_cancelled);
        }
    }
}

void QvHttpWorkItem::prepare(const QvString& url, const QvString& headers, int32_t reqType, int32_t dataType,
                             const QvString& onlyReturn, QvHttpCallback callback, void* context)
{
    prepareUrl(url);
    m_cancelled.store(false);
    m_fileTarget.reset();
    m_httpconhead = headers;
    m_reqType = reqType;
    m_dataType = dataType;
    m_callback = callback;
    m_onlyreturn = onlyReturn;
    m_context = context;
}

void QvHttpWorkItem::setRequest(const QvString& url, const QvString& headers, int32_t reqType, int32_t dataType,
                                const unsigned char* data, uint32_t length, const QvString& onlyReturn,
                                QvHttpCallback callback, void* context)
{
    prepare(url, headers, reqType, dataType, onlyReturn, callback, context);
    if (data != nullptr) {
        reset();
        m_data = copyBytes(data, length);
        m_dataLength = m_data ? length : 0;
    }
}

void QvHttpWorkItem::setFormRequest(const QvString& url, const QvString& headers, int32_t reqType, int32_t dataType,
                                    const QvHttpForm& form, const QvString& onlyReturn, QvHttpCallback callback,
                                    void* context)
{
    prepare(url, headers, reqType, dataType, onlyReturn, callback, context);
    reset();
    m_form = form;
}

void QvHttpWorkItem::reset()
{
    m_files.clear();
    m_form.clear();
    m_data.reset();
    m_dataLength = 0;
}

void QvHttpWorkItem::setFileTarget(const QvHttpFileTarget& target)
{
    m_fileTarget = std::make_unique<QvHttpFileTarget>(target);
}

void QvHttpWorkItem::report(const void* result, int32_t resultLength) const
{
    if (m_callback != nullptr && m_context != nullptr && !m_cancelled.load()) {
        m_callback(m_context, m_reqType, m_dataType, m_reqInfo.c_str(), m_reqInfo.length(), kStepResult, m_data.get(),
                   m_dataLength, result, resultLength);
    }
}

bool QvHttpWorkItem::forwardProgress(QvHttpWorkItem* owner, double percent)
{
    if (owner == nullptr || owner->m_callback == nullptr || owner->m_context == nullptr || owner->m_cancelled.load()) {
        return false;
    }
    owner->m_callback(owner->m_context, owner->m_reqType, owner->m_dataType, owner->m_reqInfo.c_str(),
                      owner->m_reqInfo.length(), kStepProgress, owner->m_data.get(), owner->m_dataLength, nullptr,
                      static_cast<int32_t>(percent));
    return true;
}

bool QvHttpWorkItem::execute()
{
    if (m_cancelled.load()) {
        m_lastUsed = std::chrono::steady_clock::now();
        return false;  // cancelled while it waited in the queue
    }
    if (!m_connection) {
        m_connection = std::make_unique<QvHttpConnection>(m_baseurl, this);
        m_connection->setCancelFlag(&m_cancelled);
    }
    QvHttpConnection& connection = *m_connection;
    m_reqInfo = makeRequestInfo();
    const QvString reqText = reqTypeText(m_reqType);
    const QvString logPath = CQvLogMng::getLogFilePath(kLogPrefix);
    CQvLogMng::getInstance()->writeLog(logPath, u"%s HTTP Request(url:%s, ReqType:%s)", kLogTag, m_baseurl, reqText);

    int32_t result = 0;
    switch (m_reqType) {
        case kReqGet:
        case kReqDelete:
            result = runGet(connection);
            break;
        case kReqPost:
            if (m_dataType == kDataFile || m_dataType == kDataForm) {
                makeBoundary();
                uint32_t length = 0;
                std::unique_ptr<unsigned char[]> body =
                    m_dataType == kDataFile ? makeFileBody(length) : makeFormBody(length);
                if (body && length > 0) {
                    connection.setBody(body.get(), length);
                }
                body.reset();
                connection.setExtraHeaders(
                    QvString::formatted(u"Content-Type: multipart/form-data; boundary=%s", m_boundary));
                m_busy.store(true);
                result = connection.request(u"POST", QvString::formatted(u"Content-Length: %d", length), nullptr, 0);
            } else {
                connection.setExtraHeaders(m_httpconhead);
                m_busy.store(true);
                result = connection.request(u"POST", QvString(u""), m_data.get(), m_dataLength);
            }
            if (result == QvHttpConnection::kResultOk) {
                m_resultText = connection.getResponseText();
                CQvLogMng::getInstance()->writeLog(logPath, u"%s HTTP Receive(url:%s, ReqType:%s, ContentsLen=%d)",
                                                   kLogTag, m_baseurl, reqText, m_resultText.length());
                report(m_resultText.c_str(), m_resultText.length());
            }
            break;
        case kReqPut:
            m_busy.store(true);
            result = connection.request(u"PUT", m_httpconhead, m_data.get(), m_dataLength);
            if (result == QvHttpConnection::kResultOk) {
                m_resultText = connection.getResponseText();
                report(m_resultText.c_str(), m_resultText.length());
            }
            break;
        default:
            // An unknown request type sends nothing and reports nothing.
            return false;
    }

    if (result != QvHttpConnection::kResultOk) {
        m_resultText = makeErrorEnvelope(result);
        if (m_fileTarget) {
            report(nullptr, 0);  // a file download's failure is never mistaken for its bytes
        } else {
            report(m_resultText.c_str(), m_resultText.length());
        }
    }
    m_lastUsed = std::chrono::steady_clock::now();
    m_busy.store(false);
    return result == QvHttpConnection::kResultOk;
}

int32_t QvHttpWorkItem::runGet(QvHttpConnection& connection)
{
    if (m_data) {
        connection.setBody(m_data.get(), m_dataLength);
    }
    m_busy.store(true);
    const bool file = m_reqType == kReqGet && m_dataType == kDataFile;
    if (file && m_fileTarget) {
        const int32_t result = connection.download(*m_fileTarget);
        if (result == QvHttpConnection::kResultOk) {
            report(m_fileTarget->path.c_str(), m_fileTarget->path.length());
        }
        return result;
    }
    const int32_t result = connection.request(m_reqType == kReqGet ? u"GET" : u"DELETE", m_httpconhead, nullptr, 0);
    if (result != QvHttpConnection::kResultOk) {
        return result;
    }
    if (file) {
        // The announced length decides, never more than arrived: without Content-Length nothing.
        const int32_t announced = connection.getContentLength();
        const uint32_t count =
            announced > 0 ? std::min(static_cast<uint32_t>(announced), connection.getResponseLength()) : 0;
        m_fileResult = copyBytes(connection.getResponseBytes(), count);
        m_fileResultLength = m_fileResult ? count : 0;
        report(m_fileResult.get(), static_cast<int32_t>(m_fileResultLength));
    } else {
        m_resultText = connection.getResponseText();
        report(m_resultText.c_str(), m_resultText.length());
    }
    return result;
}
