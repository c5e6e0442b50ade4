#include "app/ServerActions.h"

#include <QApplication>

#include "app/DlgLocalWebServerGen.h"
#include "app/MessageBoxes.h"
#include "controls/QtConvert.h"
#include "registry/QvServerHost.h"
#include "webserver/WebServerInfo.h"

bool ServerActions::run(const QvString& name, QWidget* parent) const
{
    const QvHostResult result = m_host->runServer(name);
    if (!result.ok()) {
        tell(result, parent);
    }
    return result.ok();
}

bool ServerActions::stop(const QvString& name, QWidget* parent) const
{
    const QString question =
        QStringLiteral("The \"%1\" WebServer is running. Do you want to shut down?").arg(toQString(name));
    if (QvMessageBoxes::show(parent, question, QvMessageBoxes::YesNo, QvMessageBoxes::Question) !=
        QvMessageBoxes::IdYes) {
        return false;
    }
    m_host->stopServer(name);
    return true;
}

void ServerActions::runOrEdit(const QvString& name, CDlgLocalWebServerGen& dialog, QWidget* parent) const
{
    const QString question = QStringLiteral(
                                 "Run the \"%1\" WebServer or modify/delete information?\n"
                                 "Yes: Run the server\nNo: Modify/delete information")
                                 .arg(toQString(name));
    switch (QvMessageBoxes::show(parent, question, QvMessageBoxes::YesNoCancel, QvMessageBoxes::Question)) {
        case QvMessageBoxes::IdYes:
            run(name, parent);
            break;
        case QvMessageBoxes::IdNo:
            edit(name, dialog, parent);
            break;
        default:
            break;
    }
}

QvEditOutcome ServerActions::create(CDlgLocalWebServerGen& dialog, QWidget* parent) const
{
    std::unique_ptr<_tag_WebServerInfo> definition = m_host->beginEdit(QvString(u""));
    if (definition == nullptr) {
        return {};
    }
    dialog.setDefinition(definition.get());
    dialog.setModify(false);
    const int answer = dialog.DoModal();
    dialog.setDefinition(nullptr);
    if (answer != CDlgLocalWebServerGen::kResultOk) {
        return {};  // Cancel, the close box, or Delete, which means Cancel here
    }
    QvEditOutcome added;
    added.name = toQString(definition->name);
    added.group = toQString(definition->grpname);
    ServerEditResult outcome = ServerEditResult::Cancelled;
    tell(m_host->finishEdit(QvString(u""), std::move(definition), ServerEditAction::Confirm, &outcome), parent);
    if (outcome == ServerEditResult::Added) {
        added.kind = QvEditOutcome::Added;
    }
    return added;
}

QvEditOutcome ServerActions::edit(const QvString& name, CDlgLocalWebServerGen& dialog, QWidget* parent) const
{
    std::unique_ptr<_tag_WebServerInfo> working = m_host->beginEdit(name);
    if (working == nullptr) {
        return {};
    }
    const QvServerRecord before = findRecord(name);
    QvEditOutcome changed;
    changed.oldName = toQString(name);
    changed.oldGroup = toQString(working->grpname);

    dialog.setDefinition(working.get());
    dialog.setModify(true);
    const int answer = dialog.DoModal();
    dialog.setDefinition(nullptr);
    if (answer == CDlgLocalWebServerGen::kResultDelete) {
        return remove(changed, std::move(working), parent);
    }
    if (answer != CDlgLocalWebServerGen::kResultOk) {
        return {};
    }
    changed.name = toQString(working->name);
    changed.group = toQString(working->grpname);
    ServerEditResult outcome = ServerEditResult::Cancelled;
    tell(m_host->finishEdit(name, std::move(working), ServerEditAction::Confirm, &outcome), parent);
    if (outcome != ServerEditResult::Updated && outcome != ServerEditResult::Renamed) {
        return {};
    }
    if (outcome == ServerEditResult::Updated) {
        restartOnNewPort(before, parent);
    }
    changed.kind = QvEditOutcome::Changed;
    return changed;
}

QvEditOutcome ServerActions::remove(QvEditOutcome outcome, std::unique_ptr<_tag_WebServerInfo> working,
                                    QWidget* parent) const
{
    QApplication::setOverrideCursor(Qt::WaitCursor);  // a running server's connections end first
    ServerEditResult done = ServerEditResult::Cancelled;
    const QvHostResult result =
        m_host->finishEdit(fromQString(outcome.oldName), std::move(working), ServerEditAction::Delete, &done);
    QApplication::restoreOverrideCursor();
    tell(result, parent);
    if (done != ServerEditResult::Deleted) {
        return {};
    }
    outcome.kind = QvEditOutcome::Deleted;
    outcome.name = outcome.oldName;
    outcome.group = outcome.oldGroup;
    return outcome;
}

QvServerRecord ServerActions::findRecord(const QvString& name) const
{
    for (QvServerRecord& record : m_host->listServers()) {
        if (record.name == name) {
            return record;
        }
    }
    return {};
}

void ServerActions::restartOnNewPort(const QvServerRecord& before, QWidget* parent) const
{
    const QvServerRecord now = findRecord(before.name);
    if (!before.running || !now.running || now.port == before.port) {
        return;
    }
    m_host->stopServer(before.name);
    run(before.name, parent);
}

void ServerActions::tell(const QvHostResult& result, QWidget* parent)
{
    if (!result.message.isEmpty()) {
        QvMessageBoxes::show(parent, toQString(result.message), QvMessageBoxes::Ok, QvMessageBoxes::Warning);
    }
}
