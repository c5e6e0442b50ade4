#include "app/SettingsWatcher.h"

#include <QFileInfo>

#include "controls/QtConvert.h"
#include "foundation/EnvMng.h"
#include "foundation/QvDirMng.h"
#include "registry/QvServerHost.h"

CQvSettingsWatcher::CQvSettingsWatcher(CQvServerHost* host, QObject* parent) : QObject(parent), m_host(host)
{
    m_settle.setSingleShot(true);
    m_settle.setInterval(kSettleMs);
    connect(&m_settle, &QTimer::timeout, this, &CQvSettingsWatcher::reloadNow);
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, &m_settle, qOverload<>(&QTimer::start));
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, &m_settle, qOverload<>(&QTimer::start));
    arm();
}

void CQvSettingsWatcher::arm()
{
    CQvDirMng* dirs = CQvDirMng::getInstance();
    const QString folder = toQString(dirs->getDirPath(u"user"));
    if (folder.isEmpty()) {
        return;
    }
    CQvDirMng::makeDirectories(dirs->getDirPath(u"user"));  // 0700, as every folder of the program
    QStringList paths{folder};
    for (const int fileId : {ENV_FILE_SESSION, ENV_FILE_ENV}) {
        const QString file = toQString(dirs->getFilePath(u"user", CEnvMng::getFileName(fileId), false));
        if (QFileInfo::exists(file)) {
            paths << file;
        }
    }
    // A replaced file is a new one: watch whatever is there now.
    const QStringList watched = m_watcher.files() + m_watcher.directories();
    for (const QString& path : paths) {
        if (!watched.contains(path)) {
            m_watcher.addPath(path);
        }
    }
}

void CQvSettingsWatcher::reloadNow()
{
    arm();
    if (m_host != nullptr && m_host->reload()) {
        emit settingsChanged();
    }
}
