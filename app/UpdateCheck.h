#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "foundation/QvString.h"

class QProcess;

// The "Check App Last Version" flow: asks the update service whether a newer version exists, on
// the user's consent asks for the setup file's location, downloads it and its minisign signature
// into a private folder below "temp", and starts it through pkexec only when the signature verifies
// against the release key. It owns no widgets: answers arrive on HTTP pool threads, and everything
// the user sees (boxes, the progress bar, closing) leaves through the signals below, emitted on the
// user-interface thread in the order the answers arrived.
class CQvUpdateCheck : public QObject {
    Q_OBJECT
public:
    static constexpr int32_t kSessionService = 1;                   // form posts
    static constexpr int32_t kSessionFiles = 3;                     // setup-file downloads
    static constexpr uint64_t kDefaultMaxDownload = 2147483648ULL;  // bytes: [UPDATE] MAXDOWNLOAD
    static constexpr int32_t kDefaultDeadlineSeconds = 600;         // the whole download: [UPDATE] DEADLINE
    static constexpr uint64_t kMaxSignatureBytes = 65536;           // a .minisig is a few hundred bytes

    explicit CQvUpdateCheck(QObject* parent = nullptr);
    // Cancels this object's requests and waits until none can reach it any more.
    ~CQvUpdateCheck() override;

    // The two base URLs: [UPDATE] SERVICEURL and FILEURL of env.ini, or the built-in defaults.
    static QvString serviceBaseUrl();
    static QvString fileBaseUrl();
    // Registers both base URLs with the HTTP client (sessions 1 and 3). User-interface thread.
    void addSessions();

    // Sends the version question. User-interface thread.
    void OnCheckAppVersion();
    // Ends a check in progress at once: running requests are cancelled, no more boxes or downloads
    // follow. The next OnCheckAppVersion starts afresh. User-interface thread.
    void cancel();

    // The callback of every request of this flow (context = this object); runs on a pool thread.
    static int onReceiveHttpData(void* context, int32_t reqType, int32_t dataType, const char16_t* reqInfo,
                                 int32_t reqInfoLength, int32_t step, const unsigned char* data, uint32_t dataLength,
                                 const void* result, int32_t resultLength);

    void handleVersionAnswer(int32_t dataType, const QvString& info, const void* result, uint32_t resultLength);
    void requestSetupFileUrl();
    void handleSetupFileUrlAnswer(int32_t dataType, const QvString& info, const void* result, uint32_t resultLength);
    void startSetupDownload(const QvString& fileUrl);
    // Step 1: progress in percent. Step 0: the stored file's path, or null when it could not be
    // downloaded; a stored file's signature is fetched next.
    void handleSetupDownload(int32_t step, const char16_t* storedPath, uint32_t percent);
    // The signature's path, or null when it could not be downloaded.
    void handleSignatureDownload(const char16_t* path);
    // Makes path executable and starts it through pkexec, which is waited for. User-interface thread.
    void runElevated(const QvString& path);

signals:
    // A message box: text, QvMessageBoxes::Buttons, QvMessageBoxes::Icon; the receiver stores the
    // answer in *answer. Connect directly: it is emitted on the user-interface thread.
    void messageBox(const QString& text, int buttons, int icon, int* answer);
    // The download was queued: show the progress bar at 0 with the range 0 to 100.
    void progressStarted();
    void progressChanged(int percent);
    // The download ended, however it went: hide the progress bar.
    void progressEnded();
    // The installer ran and succeeded: close the dialog and end the program.
    void installerStarted();

protected:
    // Runs the work the pool threads posted (QvGuiThread).
    void customEvent(QEvent* event) override;

private:
    // What [UPDATE] says about downloads, read on the user-interface thread when the user says Yes.
    struct Settings {
        std::string publicKey;  // config layer only: a user could otherwise trust a key of their own choosing
        uint64_t maxDownload = kDefaultMaxDownload;
        int32_t deadlineMs = kDefaultDeadlineSeconds * 1000;
    };
    static Settings readSettings();
    void cancelRequests();

    // Shows a box on the user-interface thread, then runs then(answer) there.
    void showBox(const QString& text, int buttons, int icon, std::function<void(int)> then = {});
    // Ends a download that will not run: hides the bar, removes what was stored, shows text.
    void failDownload(const QString& text);
    // Removes the private folder and what the download put in it.
    void removeDownload();
    bool verifySetupFile(const QvString& setupPath, const QvString& signaturePath, const std::string& publicKey);
    // Routes one answer; step 0 is the result, step 1 progress.
    void route(int32_t dataType, int32_t step, const QvString& info, const void* result, uint32_t resultLength);

    // Held while a request is queued and its index stored, and while an answer reads the
    // indices: an answer can never be compared with an index not yet stored.
    mutable std::mutex m_lock;
    int32_t versionCheckReqIdx = -1;
    int32_t setupUrlReqIdx = -1;
    int32_t downloadReqIdx = -1;
    int32_t signatureReqIdx = -1;
    bool m_requested = false;  // the HTTP client was used, so the destructor waits for it
    Settings m_settings;
    QvString m_downloadDir;  // the private folder of the download in progress; empty when none
    QvString m_filePath;     // the setup file's path below the file server's base URL
    QvString m_setupPath;    // where it is stored
    std::atomic<bool> m_cancelled{false};
    QProcess* m_installer = nullptr;  // pkexec while it runs; a child of this object
};
