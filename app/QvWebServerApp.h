#pragma once

#include <QObject>
#include <QString>
#include <memory>

class CQvServerHost;
class CQvWebServerWnd;
class QLocalServer;

// The application object: one instance per user (a second start brings the first one's last
// active dialog forward and ends), the start-up through the registry's host, the hidden tray
// window, and the exit order. The one place that wires the desktop program together.
class CQvWebServerApp : public QObject {
    Q_OBJECT
public:
    // instanceKey names the single-instance channel; empty for the per-user default.
    explicit CQvWebServerApp(QString instanceKey = QString());
    ~CQvWebServerApp() override;

    // The start-up sequence; false ends the process without an event loop.
    bool InitInstance();
    // The exit sequence, in its fixed order; returns the process's exit code.
    int ExitInstance();

    // False when another instance answered (and was asked to come forward).
    bool checkSingleInstance();
    // True once checkSingleInstance handed this start over to the instance already running.
    bool handedOver() const { return m_handedOver; }
    bool createTrayWindow();

    CQvWebServerWnd* trayWindow() const { return m_trayWnd.get(); }
    CQvServerHost* host() const { return m_host.get(); }
    // The program's icon from res/icons beside the executable, for every window and the tray.
    static void setApplicationIcon();
    // The per-user channel name: the hidden window's class name and the user.
    static QString defaultInstanceKey();

private:
    void bringForward();

    QString m_instanceKey;
    std::unique_ptr<CQvServerHost> m_host;
    std::unique_ptr<CQvWebServerWnd> m_trayWnd;
    QLocalServer* m_instanceServer = nullptr;
    bool m_handedOver = false;
};
