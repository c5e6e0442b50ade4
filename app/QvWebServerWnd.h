#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "app/DlgLocalWebServerGen.h"
#include "app/QvWebServerDlg.h"
#include "app/ServerActions.h"
#include "app/SettingsWatcher.h"

class CQvServerHost;
class QAction;
class QMenu;
class QSystemTrayIcon;

// The program's hidden window: owns the tray icon and its menu, hosts the main dialog and the
// edit dialog, and is never shown. Closing it (the menu's "Exit") ends the program through the
// exit callback. Where the desktop has no notification area, closing the main dialog closes this
// window too, so the program never runs on unreachable.
class CQvWebServerWnd : public QWidget {
    Q_OBJECT
public:
    // exitProgram runs once the window closed (it leaves the event loops).
    CQvWebServerWnd(CQvServerHost* host, std::function<void()> exitProgram);
    ~CQvWebServerWnd() override;

    // The creation sequence: tray icon, then the posted request to show the main dialog.
    void OnCreate();
    // Fills menu anew from the registry: one action per server, then the three fixed actions.
    void buildMenu(QMenu* menu);
    // Ends the open dialogs, removes the tray icon and ends the program.
    void OnClose();

    // The menu's commands. Each runs once the menu has closed, so its dialogs never run inside the
    // menu's own handler.
    QAction* showMainWindowAction() const { return m_showMainWindow; }
    QAction* newServerAction() const { return m_newServer; }
    QAction* exitAction() const { return m_exit; }

    CQvWebServerDlg* mainDialog() { return &m_mainDlg; }
    CDlgLocalWebServerGen* editDialog() { return &m_editDlg; }
    QMenu* trayMenu() const { return m_menu.get(); }
    CQvSettingsWatcher* settingsWatcher() { return &m_watcher; }
    // Shows what another process stored: the open menu, the main dialog's selector and the group
    // lists of open edit dialogs are filled again.
    void onSettingsChanged();
    // True when the desktop shows the tray icon; without one, closing the main dialog ends the program.
    bool hasTray() const;

protected:
    void customEvent(QEvent* event) override;

private:
    QAction* addCommand(const QString& text, void (CQvWebServerWnd::*command)());
    void showMainWindow();
    void runMainDialog();
    void newServer();
    // A server's menu item: stop it when it runs, otherwise run, modify or delete it.
    void serverCommand(const QvString& name);

    CQvServerHost* m_host;
    ServerActions m_actions;
    std::function<void()> m_exitProgram;
    CQvWebServerDlg m_mainDlg;
    CDlgLocalWebServerGen m_editDlg;
    CQvSettingsWatcher m_watcher;
    std::unique_ptr<QMenu> m_menu;
    QAction* m_showMainWindow;
    QAction* m_newServer;
    QAction* m_exit;
    QSystemTrayIcon* m_tray = nullptr;
    bool m_closing = false;
};
