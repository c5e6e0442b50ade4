#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <mutex>

#include "foundation/QvString.h"

// The "Check App Last Version" flow: asks the update service whether a newer version exists, on
// the user's consent asks for the setup file's location, downloads it into "temp" and starts it
// elevated. It owns no widgets: answers arrive on HTTP pool threads, and everything the user sees
// (boxes, the progress bar, closing) leaves through the signals below, emitted on the
// user-interface thread in the order the answers arrived.
class CQvUpdateCheck : public QObject {
    Q_OBJECT
public:
    static constexpr int32_t kSessionService = 1;  // form posts
    static constexpr int32_t kSessionFiles = 3;    // setup-file downloads

    // Starts the installer at path with administrator rights; false when it could not be started.
    using Launcher = std::function<bool(const QvString& path)>;

    explicit CQvUpdateCheck(QObject* parent = nullptr);
    // Waits for this object's requests still running, so that no answer reaches a dead object.
    ~CQvUpdateCheck() override;

    // The two base URLs: [UPDATE] SERVICEURL and FILEURL of env.ini, or the built-in defaults.
    static QvString serviceBaseUrl();
    static QvString fileBaseUrl();
    // Registers both base URLs with the HTTP client (sessions 1 and 3). User-interface thread.
    void addSessions();

    // Sends the version question. User-interface thread.
    void OnCheckAppVersion();

    // The callback of every request of this flow (context = this object); runs on a pool thread.
    static int onReceiveHttpData(void* context, int32_t reqType, int32_t dataType, const char16_t* reqInfo,
                                 int32_t reqInfoLength, int32_t step, const unsigned char* data, uint32_t dataLength,
                                 const void* result, int32_t resultLength);

    void handleVersionAnswer(int32_t dataType, const QvString& info, const void* result, uint32_t resultLength);
    void requestSetupFileUrl();
    void handleSetupFileUrlAnswer(int32_t dataType, const QvString& info, const void* result, uint32_t resultLength);
    void startSetupDownload(const QvString& fileUrl);
    void handleSetupDownload(int32_t step, const QvString& info, const unsigned char* data, uint32_t length);
    // Makes path executable and starts it through pkexec (or the launcher set for tests).
    bool runElevated(const QvString& path);

    // Test seam: replaces the pkexec launcher; an empty launcher restores it. Set before any check.
    static void setLauncherForTesting(Launcher launcher);

signals:
    // A message box: text, QvMessageBoxes::Buttons, QvMessageBoxes::Icon; the receiver stores the
    // answer in *answer. Connect directly: it is emitted on the user-interface thread.
    void messageBox(const QString& text, int buttons, int icon, int* answer);
    // The download was queued: show the progress bar at 0 with the range 0 to 100.
    void progressStarted();
    void progressChanged(int percent);
    // The installer runs: close the dialog and end the program.
    void installerStarted();

protected:
    // Runs the work the pool threads posted (QvGuiThread).
    void customEvent(QEvent* event) override;

private:
    // Shows a box on the user-interface thread, then runs then(answer) there.
    void showBox(const QString& text, int buttons, int icon, std::function<void(int)> then = {});
    // Routes one answer; step 0 is the result, step 1 progress.
    void route(int32_t dataType, int32_t step, const QvString& info, const void* result, uint32_t resultLength);

    // Held while a request is queued and its index stored, and while an answer reads the
    // indices: an answer can never be compared with an index not yet stored.
    mutable std::mutex m_lock;
    int32_t versionCheckReqIdx = -1;
    int32_t setupUrlReqIdx = -1;
    int32_t downloadReqIdx = -1;
    bool m_requested = false;  // the HTTP client was used, so the destructor waits for it
};
