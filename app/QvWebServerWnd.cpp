#include "app/QvWebServerWnd.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include "app/AppEvents.h"
#include "app/MessageBoxes.h"
#include "controls/QtConvert.h"
#include "controls/QvResMngr.h"
#include "foundation/QvDirMng.h"
#include "registry/QvServerHost.h"
#include "webserver/WebServerInfo.h"

CQvWebServerWnd::CQvWebServerWnd(CQvServerHost* host, std::function<void()> exitProgram)
    : QWidget(nullptr),
      m_host(host),
      m_exitProgram(std::move(exitProgram)),
      m_mainDlg(host, nullptr),
      m_editDlg(host, nullptr),
      m_watcher(host),
      m_menu(std::make_unique<QMenu>())
{
    connect(&m_watcher, &CQvSettingsWatcher::settingsChanged, this, &CQvWebServerWnd::onSettingsChanged);
    setObjectName(QStringLiteral("ZARN_SERVER_WIN_WEBSERVER_WINDOW"));
    m_menu->setObjectName(QStringLiteral("trayMenu"));
    // Built anew for every opening, from the registry as it is then.
    connect(m_menu.get(), &QMenu::aboutToShow, this, [this] { buildMenu(m_menu.get()); });
    connect(m_menu.get(), &QMenu::triggered, this, [this](QAction* action) {
        const int id = action->data().toInt();
        // After the menu has closed, so the flows' dialogs do not run inside the menu's handler.
        QTimer::singleShot(0, this, [this, id] { onMenuCommand(id); });
    });
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

void CQvWebServerWnd::buildMenu(QMenu* menu) const
{
    menu->clear();
    int id = 1;
    for (const QvServerRecord& record : m_host->listServers()) {
        const QString group = record.group.isEmpty() ? QStringLiteral("Default") : toQString(record.group);
        const bool running = record.running || record.runningElsewhere;
        const QString text = QStringLiteral("[%1]%2:%3 [%4]")
                                 .arg(group, toQString(record.name), QString::number(record.port),
                                      running ? QStringLiteral("Run") : QStringLiteral("Stop"));
        QAction* item = menu->addAction(text);
        item->setData(id++);
    }
    menu->addSeparator();
    menu->addAction(QStringLiteral("Show MainWindow"))->setData(kShowMainWindow);
    menu->addAction(QStringLiteral("New LocalWebServer"))->setData(kNewLocalWebServer);
    menu->addAction(QStringLiteral("Exit"))->setData(kExit);
}

void CQvWebServerWnd::onMenuCommand(int id)
{
    switch (id) {
        case 0:
            return;
        case kShowMainWindow:
            if (m_mainDlg.isVisible()) {
                m_mainDlg.setWindowState(m_mainDlg.windowState() & ~Qt::WindowMinimized);
                m_mainDlg.raise();
                m_mainDlg.activateWindow();
            } else {
                runMainDialog();
            }
            return;
        case kNewLocalWebServer:
            newServer();
            return;
        case kExit:
            QTimer::singleShot(0, this, &CQvWebServerWnd::OnClose);
            return;
        default:
            serverCommand(id - 1);
            return;
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
    std::unique_ptr<_tag_WebServerInfo> definition = m_host->beginEdit(QvString(u""));
    if (definition == nullptr) {
        return;
    }
    ServerEditResult outcome = ServerEditResult::Cancelled;
    // Another process may take the name between the dialog's check and the apply: the dialog then
    // opens again with what was typed.
    do {
        m_editDlg.setDefinition(definition.get());
        m_editDlg.setModify(false);
        const int answer = m_editDlg.DoModal();
        m_editDlg.setDefinition(nullptr);
        if (answer != CDlgLocalWebServerGen::kResultOk) {
            return;
        }
        auto typed = std::make_unique<_tag_WebServerInfo>(*definition);
        const QvHostResult result =
            m_host->finishEdit(QvString(u""), std::move(definition), ServerEditAction::Confirm, &outcome);
        if (!result.message.isEmpty()) {
            QvMessageBoxes::show(nullptr, toQString(result.message), QvMessageBoxes::Ok, QvMessageBoxes::Warning);
        }
        definition = std::move(typed);
    } while (outcome == ServerEditResult::NameTaken);
    if (outcome == ServerEditResult::Added && m_mainDlg.isVisible()) {
        QApplication::postEvent(&m_mainDlg, new QvPostedEvent(kShowMainDialogEvent, 1));
    }
}

void CQvWebServerWnd::serverCommand(int index)
{
    const std::vector<QvServerRecord> records = m_host->listServers();
    if (index < 0 || index >= static_cast<int>(records.size())) {
        return;
    }
    const QvServerRecord& record = records[static_cast<size_t>(index)];
    const QString name = toQString(record.name);
    if (record.runningElsewhere) {
        QvMessageBoxes::show(nullptr, runningElsewhereText(name), QvMessageBoxes::Ok, QvMessageBoxes::Information);
        return;
    }
    if (record.running) {
        const QString question = QStringLiteral("The \"%1\" WebServer is running. Do you want to shut down?").arg(name);
        if (QvMessageBoxes::show(nullptr, question, QvMessageBoxes::YesNo, QvMessageBoxes::Question) ==
            QvMessageBoxes::IdYes) {
            m_host->stopServer(record.name);
        }
        return;
    }
    const QString question = QStringLiteral(
                                 "Run the \"%1\" WebServer or modify/delete information?\n"
                                 "Yes: Run the server\nNo: Modify/delete information")
                                 .arg(name);
    switch (QvMessageBoxes::show(nullptr, question, QvMessageBoxes::YesNoCancel, QvMessageBoxes::Question)) {
        case QvMessageBoxes::IdYes: {
            const QvHostResult result = m_host->runServer(record.name);
            const QvString& text = result.ok() ? result.warning : result.message;  // a run that could not be noted
            if (!text.isEmpty()) {
                QvMessageBoxes::show(nullptr, toQString(text), QvMessageBoxes::Ok, QvMessageBoxes::Warning);
            }
            break;
        }
        case QvMessageBoxes::IdNo:
            editServer(record.name);
            break;
        default:
            break;
    }
}

void CQvWebServerWnd::editServer(const QvString& name)
{
    // The definition as stored now: another process may have changed or removed it.
    std::unique_ptr<_tag_WebServerInfo> copy = m_host->beginEdit(name);
    if (copy == nullptr) {
        QvMessageBoxes::show(nullptr, QStringLiteral("No server named \"%1\".").arg(toQString(name)),
                             QvMessageBoxes::Ok, QvMessageBoxes::Warning);
        return;
    }
    CDlgLocalWebServerGen dialog(m_host, nullptr);  // a run of its own, not the member
    ServerEditResult outcome = ServerEditResult::Cancelled;
    // A rename refused at the apply (another process took the name) opens the dialog again.
    do {
        dialog.setDefinition(copy.get());
        dialog.setModify(true);
        const int answer = dialog.DoModal();
        ServerEditAction action = ServerEditAction::Cancel;
        if (answer == CDlgLocalWebServerGen::kResultOk) {
            action = ServerEditAction::Confirm;
        } else if (answer == CDlgLocalWebServerGen::kResultDelete) {
            action = ServerEditAction::Delete;
        }
        auto typed = std::make_unique<_tag_WebServerInfo>(*copy);
        const QvHostResult result = m_host->finishEdit(name, std::move(copy), action, &outcome);
        if (!result.message.isEmpty()) {
            QvMessageBoxes::show(nullptr, toQString(result.message), QvMessageBoxes::Ok, QvMessageBoxes::Warning);
        }
        if (outcome == ServerEditResult::NameTaken && m_host->beginEdit(name) == nullptr) {
            return;  // gone meanwhile
        }
        copy = std::move(typed);
    } while (outcome == ServerEditResult::NameTaken);
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
        runMainDialog();
    }
}
