#pragma once

#include <QString>
#include <memory>

#include "foundation/QvString.h"

class CDlgLocalWebServerGen;
class CQvServerHost;
class QWidget;
struct QvHostResult;
struct QvServerRecord;
enum class ServerEditResult;  // NOLINT(performance-enum-size): declared where it is defined
struct _tag_WebServerInfo;

// What an edit flow did, for the caller's own view of the server list.
struct QvEditOutcome {
    // Stale: the server was gone or changed by another process; the caller shows the list again.
    enum Kind { None, Added, Changed, Deleted, Stale };
    Kind kind = None;
    QString name;      // after the edit (the removed name for Deleted)
    QString group;     // after the edit, as stored ("" or "None" for no group)
    QString oldName;   // before the edit (Changed, Deleted)
    QString oldGroup;  // before the edit (Changed, Deleted)
};

// "The server runs in another process" (tray and main dialog).
QString runningElsewhereText(const QString& name);

// The server commands the tray menu and the main dialog share: run, stop, create, edit and
// delete, with their questions and messages. Every box is shown over the parent given (none for
// the tray). User-interface thread only; the host outlives the object.
class ServerActions {
public:
    explicit ServerActions(CQvServerHost* host) : m_host(host) {}

    // Starts name; a failure, or a run that could not be noted in the settings, is told in a box.
    // True when it runs.
    bool run(const QvString& name, QWidget* parent) const;
    // Asks whether the running server name is to be shut down and stops it on Yes; true when stopped.
    bool stop(const QvString& name, QWidget* parent) const;
    // A stopped server's tray item: asks whether to run it or to modify/delete it (in dialog).
    // A server another process serves is only told about.
    void runOrEdit(const QvString& name, CDlgLocalWebServerGen& dialog, QWidget* parent) const;
    // New Server: dialog in create mode over a fresh definition; adds what it confirmed. A name
    // another process took meanwhile is told, and the dialog opens again with what was typed.
    QvEditOutcome create(CDlgLocalWebServerGen& dialog, QWidget* parent) const;
    // Change Server: dialog in modify mode on name as stored now, then stores or renames what it
    // confirmed, or deletes the server on its Delete (a refused rename opens the dialog again). A running server whose
    // port changed starts again on the new one (its listener keeps the old port otherwise); a failed start is told and
    // leaves it stopped.
    QvEditOutcome edit(const QvString& name, CDlgLocalWebServerGen& dialog, QWidget* parent) const;

private:
    // Shows dialog over definition (of name; empty for a new one) and applies what it confirmed,
    // again while another process takes the name meanwhile. The dialog's last answer; result is
    // what the host did, definition what was typed.
    int showAndApply(CDlgLocalWebServerGen& dialog, const QvString& name,
                     std::unique_ptr<_tag_WebServerInfo>& definition, ServerEditResult& result, QWidget* parent) const;
    QvEditOutcome remove(QvEditOutcome outcome, std::unique_ptr<_tag_WebServerInfo> working, QWidget* parent) const;
    void restartOnNewPort(const QvServerRecord& before, QWidget* parent) const;
    // The record of name as the host lists it now; a default record (not running) when unknown.
    QvServerRecord findRecord(const QvString& name) const;
    static void tell(const QvHostResult& result, QWidget* parent);

    CQvServerHost* m_host;
};
