#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

class CQvServerHost;

// Watches session.ini and env.ini of the user layer (and their folder, since a save replaces a file
// by renaming a new one over it, which ends the watch on the old one) and brings the host's view in
// line with what other processes stored. User-interface thread only.
class CQvSettingsWatcher : public QObject {
    Q_OBJECT
public:
    static constexpr int kSettleMs = 100;  // a burst of changes (temporary file, rename) is read once

    explicit CQvSettingsWatcher(CQvServerHost* host, QObject* parent = nullptr);

    // Reads the files again now; emits settingsChanged when the servers or the groups changed.
    void reloadNow();

signals:
    // Servers were added, changed or removed, or groups were added, by another process.
    void settingsChanged();

private:
    void arm();

    CQvServerHost* m_host;
    QFileSystemWatcher m_watcher;
    QTimer m_settle;
};
