#pragma once

#include <QDialog>
#include <QMap>
#include <QStringList>

#include "app/ServerActions.h"
#include "foundation/QvString.h"

class CQvServerHost;
class CQvUpdateCheck;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

// The main dialog: the "Used Server" selector, New/Open/Change Server, the links and the donate
// button. It keeps no server data beyond what addresses the selector's entries; every change goes
// through the registry's host. Run modally by the tray window, which owns it.
class CQvWebServerDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kResultCancel = 2;

    explicit CQvWebServerDlg(CQvServerHost* host, QWidget* parent = nullptr);
    ~CQvWebServerDlg() override;

    // Runs the dialog modally (initialising it again) and returns its result (IDCANCEL).
    int DoModal();
    // Ends the dialog with IDCANCEL when it is open, saving the window rectangle as a close does. A
    // running update check is cancelled either way (the program is about to end).
    void endIfOpen();
    // Fills the selector again from the host (another process changed the servers); nothing when
    // the dialog is closed.
    void refreshServers();

    // The group map: group key ("None" for no group) -> names, in the order they were added.
    void addToGroup(const QString& group, const QString& name);
    void removeFromGroup(const QString& group, const QString& name);
    int indexInGroup(const QString& group, const QString& name) const;

    void OnNewServer();
    void OnOpenServer();
    void OnChangeServer();
    void OnGoManual();
    void OnVisitBlog();
    void OnDonate();
    // "Check App Last Version": starts the update check.
    void OnCheckAppVersion();

protected:
    void OnInitDialog();
    void OnClose();
    void OnExit();
    void fillServerList();
    void saveWindowRect();
    void restoreWindowRect();

    void reject() override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void customEvent(QEvent* event) override;

private:
    // The constructor's steps: the controls in tab order (returns the "Used Server" label), their
    // places on the template's rows, the signals, and the about box's F1 and context menu.
    QLabel* createControls();
    void placeControls(QLabel* usedServer);
    void connectCommands();
    void connectUpdateCheck();
    void addAboutCommand();
    QvString command(const char16_t* name, const QString& argument);
    void openLink(const char16_t* key, const char16_t* fallbackUrl);
    void showAbout();
    void loadDonateImage();
    void placeAtTemplatePosition();
    // Moves and sizes the window so that its frame covers m_restoredFrame, with the frame known now.
    void placeFrame();
    void fitRestoredFrame();

    CQvServerHost* m_host;
    ServerActions m_actions;
    QMap<QString, QStringList> m_groups;

    QPushButton* m_ok;
    QPushButton* m_exit;
    QPushButton* m_newServer;
    QWidget* m_selector;
    QPushButton* m_openServer;
    QPushButton* m_changeServer;
    QLabel* m_manualLink;
    QLabel* m_blogLink;
    QLabel* m_updateLink;
    QProgressBar* m_progress;
    QPushButton* m_donate;
    QRect m_restoredFrame;  // the stored frame still to be fitted once the window is framed
    QTimer* m_frameTimer;
    int m_frameWaitSteps = 0;
    CQvUpdateCheck* m_updateCheck;  // child object; its answers drive m_progress and the boxes
};
