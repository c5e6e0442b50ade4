#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "foundation/QvArray.h"
#include "foundation/QvMap.h"
#include "foundation/QvString.h"

class QvHttpConnection;
class QvHttpClient;
struct QvHttpFileTarget;

// Result and progress callback of a request, on the pool thread that ran it. step 0: the final result
// (result is the text with its length in characters, or for a File download the bytes with their
// count; for a download into a file, the stored file's path with its length in characters when it
// arrived whole, else null and 0); step 1: progress (result null, resultLength the percentage).
// The return value is not used.
using QvHttpCallback = int (*)(void* context, int32_t reqType, int32_t dataType, const char16_t* reqInfo,
                               int32_t reqInfoLength, int32_t step, const unsigned char* data, uint32_t dataLength,
                               const void* result, int32_t resultLength);

// Form fields: field name -> (kind -> value). Kinds 0 and 1 are text, kind 2 file paths joined by "@@".
using QvHttpForm = QvMap<QvString, QvMap<int32_t, QvString>>;

// One reusable request of the client's table: prepared by the client on the caller's thread, run by
// execute() on a pool thread. Between the two only the pool touches it.
class QvHttpWorkItem {
public:
    static constexpr int32_t kReqGet = 0;
    static constexpr int32_t kReqPost = 1;
    static constexpr int32_t kReqPut = 2;
    static constexpr int32_t kReqDelete = 3;
    static constexpr int32_t kDataString = 0;
    static constexpr int32_t kDataJson = 1;
    static constexpr int32_t kDataXml = 2;
    static constexpr int32_t kDataFile = 3;
    static constexpr int32_t kDataForm = 4;
    static constexpr int32_t kStepResult = 0;
    static constexpr int32_t kStepProgress = 1;
    static constexpr int kBoundaryMode = 1;                 // digits and ASCII letters
    static constexpr int kBoundaryLength = 16;              // characters
    static constexpr uint32_t kBodyInitialBytes = 1000000;  // first capacity of a multipart body

    explicit QvHttpWorkItem(int32_t index);
    virtual ~QvHttpWorkItem();
    QvHttpWorkItem(const QvHttpWorkItem&) = delete;
    QvHttpWorkItem& operator=(const QvHttpWorkItem&) = delete;

    // Prepares a request. A new URL is given to the existing connection (and its body cleared); the
    // first URL creates the connection. data (may be null: the previous data stays) is copied.
    void setRequest(const QvString& url, const QvString& headers, int32_t reqType, int32_t dataType,
                    const unsigned char* data, uint32_t length, const QvString& onlyReturn, QvHttpCallback callback,
                    void* context);
    // Prepares a form post; the form is copied.
    void setFormRequest(const QvString& url, const QvString& headers, int32_t reqType, int32_t dataType,
                        const QvHttpForm& form, const QvString& onlyReturn, QvHttpCallback callback, void* context);
    // Clears files, form and data.
    void reset();
    // Makes the prepared GET of data type File a download into a file (QvHttpConnection::download).
    // Preparing the item again forgets it.
    void setFileTarget(const QvHttpFileTarget& target);

    // Ends the request as soon as the transport notices (within about a second) and silences its
    // callback: once execute sees the flag, no call of the callback starts. Any thread; preparing the
    // item again clears it.
    void cancel() { m_cancelled.store(true); }
    bool isCancelled() const { return m_cancelled.load(); }
    // When the last run ended (construction time before the first).
    std::chrono::steady_clock::time_point lastUsed() const { return m_lastUsed; }

    // Runs the prepared request and reports through the callback; true when the exchange completed.
    bool execute();

    // Multipart bodies of the item's files and form fields with the current boundary; length receives
    // the byte count. The caller owns the buffer.
    std::unique_ptr<unsigned char[]> makeFileBody(uint32_t& length) const;
    std::unique_ptr<unsigned char[]> makeFormBody(uint32_t& length) const;
    // The JSON error text for a request result, empty for codes without one.
    static QvString makeErrorEnvelope(int32_t code);
    // The request description the callback receives.
    QvString makeRequestInfo() const;
    static QvString reqTypeText(int32_t reqType);
    static QvString dataTypeText(int32_t dataType);

    // Draws a fresh boundary (execute does this for every multipart post).
    void makeBoundary();
    const QvString& getBoundary() const { return m_boundary; }
    void addFile(const QvString& path) { m_files.add(path); }

    // The connection's progress hook: forwards the percentage to the callback as step 1.
    static bool forwardProgress(QvHttpWorkItem* owner, double percent);

    int32_t getReqIdx() const { return m_reqidx; }
    int32_t getReqType() const { return m_reqType; }
    int32_t getDataType() const { return m_dataType; }
    bool isBusy() const { return m_busy.load(); }
    const QvString& getBaseUrl() const { return m_baseurl; }
    const QvString& getResultText() const { return m_resultText; }
    const QvString& getReqInfo() const { return m_reqInfo; }
    QvHttpConnection* getConnection() const { return m_connection.get(); }
    void* getContext() const { return m_context; }

private:
    friend class QvHttpClient;

    void prepareUrl(const QvString& url);
    // What setRequest and setFormRequest share: the URL step and the stored request fields.
    void prepare(const QvString& url, const QvString& headers, int32_t reqType, int32_t dataType,
                 const QvString& onlyReturn, QvHttpCallback callback, void* context);
    void report(const void* result, int32_t resultLength) const;
    int32_t runGet(QvHttpConnection& connection);

    QvString m_baseurl;
    QvString m_headinfo;
    QvString m_httpconhead;
    QvString m_onlyreturn;
    QvString m_reqInfo;
    std::unique_ptr<unsigned char[]> m_data;
    uint32_t m_dataLength = 0;
    QvArray<QvString> m_files;
    QvString m_boundary;
    QvHttpForm m_form;
    const int32_t m_reqidx;
    int32_t m_reqType = 0;
    int32_t m_dataType = 0;
    std::atomic<bool> m_busy{false};
    QvHttpCallback m_callback = nullptr;
    QvString m_resultText;
    std::unique_ptr<unsigned char[]> m_fileResult;
    uint32_t m_fileResultLength = 0;
    void* m_context = nullptr;
    std::unique_ptr<QvHttpConnection> m_connection;
    std::unique_ptr<QvHttpFileTarget> m_fileTarget;
    std::atomic<bool> m_cancelled{false};
    std::chrono::steady_clock::time_point m_lastUsed = std::chrono::steady_clock::now();
    // Set by the client while the item is handed out, queued or running; guarded by the client's lock.
    bool m_claimed = false;
};
