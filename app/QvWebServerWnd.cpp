#include "app/QvWebServerWnd.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>

#include "app/AppEvents.h"
#include "controls/QtConvert.h"
#include "controls/QvResMngr.h"
#include "foundation/QvDirMng.h"
#include "registry/QvServerHost.h"

CQvWebServerWnd::CQvWebServerWnd(CQvServerHost* host, std::function<void()> exitProgram)
    : QWidget(nullptr),
      m_host(host),
      m_actions(host),
      m_exitProgram(std::move(exitProgram)),
      m_mainDlg(host, nullptr),
      m_editDlg(host, nullptr),
      m_watcher(host),
      m_menu(std::make_unique<QMenu>())
{
    connect(&m_watcher, &CQvSettingsWatcher::settingsChanged, this, &CQvWebServerWnd::onSettingsChanged);
    setObjectName(QStringLiteral("ZARN_SERVER_WIN_WEBSERVER_WINDOW"));
    m_menu->setObjectName(QStringLiteral("trayMenu"));
    m_showMainWindow = addCommand(QStringLiteral("Show MainWindow"), &CQvWebServerWnd::showMainWindow);
    m_newServer = addCommand(QStringLiteral("New LocalWebServer"), &CQvWebServerWnd::newServer);
    m_exit = addCommand(QStringLiteral("Exit"), &CQvWebServerWnd::OnClose);
    // Built anew for every opening, from the registry as it is then.
    connect(m_menu.get(), &QMenu::aboutToShow, this, [this] { buildMenu(m_menu.get()); });
}

QAction* CQvWebServerWnd::addCommand(const QString& text, void (CQvWebServerWnd::*command)())
{
    auto* action = new QAction(text, this);
    connect(action, &QAction::triggered, this, command, Qt::QueuedConnection);
    return action;
}

CQvWebServerWnd::~CQvWebServerWnd()
{
    if (m_tray != nullptr) {
        m_tray->hide();
    }
}

bool CQvWebServerWnd::hasTray() const
{
    return m_tray != nullptr && QSystemTrayIcon::isSystemTrayAvailable();
}

void CQvWebServerWnd::OnCreate()
{
    m_tray = new QSystemTrayIcon(QApplication::windowIcon(), this);
    m_tray->setObjectName(QStringLiteral("trayIcon"));
    m_tray->setToolTip(QStringLiteral("QvWebServer: Running"));
    m_tray->setContextMenu(m_menu.get());
    m_tray->show();
    // The custom controls' colours and the desktop's file icons; a failure leaves their defaults.
    QvResMngr* resources = QvResMngr::getInstance();
    resources->loadColorTable(CQvDirMng::getInstance()->getFilePath(u"config", u"clrtbl_normal.json", false));
    resources->loadSystemImageList();
    QApplication::postEvent(this, new QvPostedEvent(kShowMainDialogEvent, 1));
}

void CQvWebServerWnd::buildMenu(QMenu* menu)
{
    menu->clear();  // deletes the server actions of the last opening, keeps the fixed ones
    for (const QvServerRecord& record : m_host->listServers()) {
        const QString group = record.group.isEmpty() ? QStringLiteral("Default") : toQString(record.group);
        const bool running = record.running || record.runningElsewhere;
        const QString text = QStringLiteral("[%1]%2:%3 [%4]")
                                 .arg(group, toQString(record.name), QString::number(record.port),
                                      running ? QStringLiteral("Run") : QStringLiteral("Stop"));
        QAction* item = menu->addAction(text);
        const QvString name = record.name;
        connect(
            item, &QAction::triggered, this, [this, name] { serverCommand(name); }, Qt::QueuedConnection);
    }
    menu->addSeparator();
    menu->addAction(m_showMainWindow);
    menu->addAction(m_newServer);
    menu->addAction(m_exit);
}

void CQvWebServerWnd::showMainWindow()
{
    if (m_closing) {
        return;  // a late request to come forward while the program ends
    }
    if (m_mainDlg.isVisible()) {
        m_mainDlg.setWindowState(m_mainDlg.windowState() & ~Qt::WindowMinimized);
        m_mainDlg.raise();
        m_mainDlg.activateWindow();
    } else {
        runMainDialog();
    }
}

void CQvWebServerWnd::runMainDialog()
{
    m_mainDlg.DoModal();
    // Without a notification area nothing would be left to reach the program by.
    if (!hasTray() && !m_closing) {
        OnClose();
    }
}

void CQvWebServerWnd::newServer()
{
    if (m_editDlg.isVisible()) {
        m_editDlg.setWindowState(m_editDlg.windowState() & ~Qt::WindowMinimized);
        m_editDlg.raise();
        return;
    }
    if (m_actions.create(m_editDlg, nullptr).kind == QvEditOutcome::Added && m_mainDlg.isVisible()) {
        QApplication::postEvent(&m_mainDlg, new QvPostedEvent(kShowMainDialogEvent, 1));
    }
}

void CQvWebServerWnd::serverCommand(const QvString& name)
{
    bool known = false;
    bool running = false;
    for (const QvServerRecord& record : m_host->listServers()) {
        if (record.name == name) {
            known = true;
            running = record.running;
        }
    }
    if (!known) {
        return;  // removed since the menu was built
    }
    if (running) {
        m_actions.stop(name, nullptr);
        return;
    }
    CDlgLocalWebServerGen dialog(m_host, nullptr);  // a run of its own, not the member
    m_actions.runOrEdit(name, dialog, nullptr);
}

void CQvWebServerWnd::onSettingsChanged()
{
    if (m_menu->isVisible()) {
        buildMenu(m_menu.get());
    }
    m_mainDlg.refreshServers();
    for (QWidget* widget : QApplication::allWidgets()) {
        if (auto* dialog = qobject_cast<CDlgLocalWebServerGen*>(widget); dialog != nullptr && dialog->isVisible()) {
            dialog->refreshGroups();
        }
    }
}

void CQvWebServerWnd::OnClose()
{
    if (m_closing) {
        return;
    }
    m_closing = true;
    m_mainDlg.endIfOpen();
    m_editDlg.endIfOpen();
    if (m_tray != nullptr) {
        m_tray->hide();
    }
    if (m_exitProgram) {
        m_exitProgram();
    }
}

void CQvWebServerWnd::customEvent(QEvent* event)
{
    if (event->type() == kShowMainDialogEvent && static_cast<QvPostedEvent*>(event)->wParam() == 1) {
        showMainWindow();  // raises the dialog when it is open already
    }
}
