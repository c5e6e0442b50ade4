#pragma once

#include <QString>
#include <memory>

#include "foundation/QvString.h"

class CDlgLocalWebServerGen;
class CQvServerHost;
class QWidget;
struct QvHostResult;
struct QvServerRecord;
struct _tag_WebServerInfo;

// What an edit flow did, for the caller's own view of the server list.
struct QvEditOutcome {
    enum Kind { None, Added, Changed, Deleted };
    Kind kind = None;
    QString name;      // after the edit (the removed name for Deleted)
    QString group;     // after the edit, as stored ("" or "None" for no group)
    QString oldName;   // before the edit (Changed, Deleted)
    QString oldGroup;  // before the edit (Changed, Deleted)
};

// The server commands the tray menu and the main dialog share: run, stop, create, edit and
// delete, with their questions and messages. Every box is shown over the parent given (none for
// the tray). User-interface thread only; the host outlives the object.
class ServerActions {
public:
    explicit ServerActions(CQvServerHost* host) : m_host(host) {}

    // Starts name; a failure is told in a box. True when it runs.
    bool run(const QvString& name, QWidget* parent) const;
    // Asks whether the running server name is to be shut down and stops it on Yes; true when stopped.
    bool stop(const QvString& name, QWidget* parent) const;
    // A stopped server's tray item: asks whether to run it or to modify/delete it (in dialog).
    void runOrEdit(const QvString& name, CDlgLocalWebServerGen& dialog, QWidget* parent) const;
    // New Server: dialog in create mode over a fresh definition; adds what it confirmed.
    QvEditOutcome create(CDlgLocalWebServerGen& dialog, QWidget* parent) const;
    // Change Server: dialog in modify mode on name, then stores or renames what it confirmed, or
    // deletes the server on its Delete. A running server whose port changed starts again on the
    // new one (its listener keeps the old port otherwise); a failed start is told and leaves it stopped.
    QvEditOutcome edit(const QvString& name, CDlgLocalWebServerGen& dialog, QWidget* parent) const;

private:
    QvEditOutcome remove(QvEditOutcome outcome, std::unique_ptr<_tag_WebServerInfo> working, QWidget* parent) const;
    void restartOnNewPort(const QvServerRecord& before, QWidget* parent) const;
    // The record of name as the host lists it now; a default record (not running) when unknown.
    QvServerRecord findRecord(const QvString& name) const;
    static void tell(const QvHostResult& result, QWidget* parent);

    CQvServerHost* m_host;
};
