#include "app/QvWebServerApp.h"

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QLocalServer>
#include <QLocalSocket>

#include "app/AppEvents.h"
#include "app/MessageBoxes.h"
#include "app/QvWebServerWnd.h"
#include "controls/QtConvert.h"
#include "foundation/EnvMng.h"
#include "foundation/QvDirMng.h"
#include "platform/FileSystem.h"
#include "registry/QvServerHost.h"
#include "webserver/AccessLog.h"
#include "webserver/AccessLogWriter.h"

namespace {

constexpr int kForwardWaitMs = 2000;  // a first instance that does not answer by then counts as gone
const QByteArray kForwardRequest = QByteArrayLiteral("forward\n");

}  // namespace

CQvWebServerApp::CQvWebServerApp(QString instanceKey)
    : m_instanceKey(instanceKey.isEmpty() ? defaultInstanceKey() : std::move(instanceKey))
{
}

CQvWebServerApp::~CQvWebServerApp() = default;

QString CQvWebServerApp::defaultInstanceKey()
{
    // In the user's own runtime folder: per user, and out of reach of every other user. Without
    // that folder there is no channel (running twice beats not running).
    std::string error;
    const std::u16string folder = qvplat::runtimeDirectory(error);
    if (folder.empty()) {
        return QString();
    }
    return toQString(QvString(folder)) + QStringLiteral("/ZARN_SERVER_WIN_WEBSERVER_CLASS");
}

bool CQvWebServerApp::checkSingleInstance()
{
    if (m_instanceKey.isEmpty()) {
        return true;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        QLocalSocket other;
        other.connectToServer(m_instanceKey);
        if (other.waitForConnected(kForwardWaitMs)) {
            other.write(kForwardRequest);
            other.waitForBytesWritten(kForwardWaitMs);
            other.disconnectFromServer();
            m_handedOver = true;
            return false;
        }
        auto* server = new QLocalServer(this);
        server->setSocketOptions(QLocalServer::UserAccessOption);
        if (server->listen(m_instanceKey)) {
            m_instanceServer = server;
            connect(server, &QLocalServer::newConnection, this, [this] {
                while (QLocalSocket* caller = m_instanceServer->nextPendingConnection()) {
                    connect(caller, &QLocalSocket::readyRead, this, [this, caller] {
                        if (caller->readAll().contains(kForwardRequest.trimmed())) {
                            bringForward();
                        }
                    });
                    connect(caller, &QLocalSocket::disconnected, caller, &QObject::deleteLater);
                }
            });
            return true;
        }
        delete server;
        // Nobody answered but the name is taken: left behind by a process that died.
        QLocalServer::removeServer(m_instanceKey);
    }
    return true;  // no channel to be had; running twice beats not running
}

void CQvWebServerApp::bringForward()
{
    QWidget* popup = QApplication::activeModalWidget();
    if (popup == nullptr && m_trayWnd != nullptr && m_trayWnd->mainDialog()->isVisible()) {
        popup = m_trayWnd->mainDialog();
    }
    if (popup == nullptr) {
        // Only the tray icon: the main dialog opens, from the event loop rather than this socket handler.
        if (m_trayWnd != nullptr) {
            QApplication::postEvent(m_trayWnd.get(), new QvPostedEvent(kShowMainDialogEvent, 1));
        }
        return;
    }
    popup->setWindowState(popup->windowState() & ~Qt::WindowMinimized);
    popup->show();
    popup->raise();
    popup->activateWindow();
}

void CQvWebServerApp::setApplicationIcon()
{
    QIcon icon;
    const QString themeDir = toQString(CQvDirMng::getInstance()->getDirPath(u"res/icons/hicolor"));
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        const QString file = QStringLiteral("%1/%2x%2/apps/qvwebserver.png").arg(themeDir).arg(size);
        if (QFile::exists(file)) {
            icon.addFile(file, QSize(size, size));
        }
    }
    if (icon.isNull()) {
        icon = QIcon::fromTheme(QStringLiteral("qvwebserver"));
    }
    QApplication::setWindowIcon(icon);
}

bool CQvWebServerApp::InitInstance()
{
    if (!checkSingleInstance()) {
        return false;
    }
    setApplicationIcon();
    m_host = std::make_unique<CQvServerHost>();
    const QvHostResult started = m_host->startup();
    if (started.code == QvHostResult::Code::NetworkUnavailable) {
        QvMessageBoxes::show(nullptr, QStringLiteral("Windows networks are not available.!!"), QvMessageBoxes::Ok,
                             QvMessageBoxes::Critical);
        return false;
    }
    if (!started.ok()) {
        // The settings could not be stored again (a read-only file, a full disk): the program
        // still works, and the user learns which file and why.
        QvMessageBoxes::show(nullptr, toQString(started.message), QvMessageBoxes::Ok, QvMessageBoxes::Warning);
    }
    // A user's choice, apart from the build's diagnostic log switch: one file a day in the logs folder.
    if (CEnvMng::getInstance()->getInt(ENV_FILE_ENV, u"QVWEBSERVER", u"accesslog") == 1) {
        CQvAccessLog::setSink(std::make_shared<CQvAccessLogWriter>(CQvDirMng::getInstance()->getDirPath(u"Log")));
    }
    return createTrayWindow();
}

bool CQvWebServerApp::createTrayWindow()
{
    m_trayWnd = std::make_unique<CQvWebServerWnd>(m_host.get(), [] { QCoreApplication::exit(0); });
    m_trayWnd->OnCreate();
    return true;
}

int CQvWebServerApp::ExitInstance()
{
    m_trayWnd.reset();
    // The host stops the servers and ends the services in reverse order of their making: the
    // resource manager (the window made it), the registry, which stores the definitions, the
    // settings, which write their files, the log, directory and file managers, the network.
    int exitCode = 0;
    if (m_host != nullptr) {
        const QvHostResult ended = m_host->shutdown();
        m_host.reset();
        if (!ended.ok()) {
            QvMessageBoxes::show(nullptr, toQString(ended.message), QvMessageBoxes::Ok, QvMessageBoxes::Warning);
            exitCode = 1;
        }
    }
    CQvAccessLog::setSink(nullptr);
    if (m_instanceServer != nullptr) {
        m_instanceServer->close();
    }
    return exitCode;
}
