#include "app/ServerActions.h"

#include <QApplication>

#include "app/DlgLocalWebServerGen.h"
#include "app/MessageBoxes.h"
#include "controls/QtConvert.h"
#include "registry/QvServerHost.h"
#include "webserver/WebServerInfo.h"

QString runningElsewhereText(const QString& name)
{
    return QStringLiteral("The \"%1\" WebServer is running in another process of this program.").arg(name);
}

bool ServerActions::run(const QvString& name, QWidget* parent) const
{
    const QvHostResult result = m_host->runServer(name);
    const QvString& text = result.ok() ? result.warning : result.message;  // runs, but could not be noted
    if (!text.isEmpty()) {
        QvMessageBoxes::show(parent, toQString(text), QvMessageBoxes::Ok, QvMessageBoxes::Warning);
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
    if (findRecord(name).runningElsewhere) {
        QvMessageBoxes::show(parent, runningElsewhereText(toQString(name)), QvMessageBoxes::Ok,
                             QvMessageBoxes::Information);
        return;
    }
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

int ServerActions::showAndApply(CDlgLocalWebServerGen& dialog, const QvString& name,
                                std::unique_ptr<_tag_WebServerInfo>& definition, ServerEditResult& result,
                                QWidget* parent) const
{
    int answer = CDlgLocalWebServerGen::kResultCancel;
    do {
        dialog.setDefinition(definition.get());
        dialog.setModify(!name.isEmpty());
        answer = dialog.DoModal();
        dialog.setDefinition(nullptr);
        if (answer != CDlgLocalWebServerGen::kResultOk) {
            return answer;
        }
        auto typed = std::make_unique<_tag_WebServerInfo>(*definition);
        tell(m_host->finishEdit(name, std::move(definition), ServerEditAction::Confirm, &result), parent);
        definition = std::move(typed);
        if (result == ServerEditResult::NameTaken && !name.isEmpty() && m_host->beginEdit(name) == nullptr) {
            result = ServerEditResult::Unknown;  // gone meanwhile
        }
    } while (result == ServerEditResult::NameTaken);
    return answer;
}

QvEditOutcome ServerActions::create(CDlgLocalWebServerGen& dialog, QWidget* parent) const
{
    std::unique_ptr<_tag_WebServerInfo> definition = m_host->beginEdit(QvString(u""));
    if (definition == nullptr) {
        return {};
    }
    ServerEditResult result = ServerEditResult::Cancelled;
    // Cancel, the close box, or Delete, which means Cancel here, add nothing.
    if (showAndApply(dialog, QvString(u""), definition, result, parent) != CDlgLocalWebServerGen::kResultOk ||
        result != ServerEditResult::Added) {
        return {};
    }
    QvEditOutcome added;
    added.kind = QvEditOutcome::Added;
    added.name = toQString(definition->name);
    added.group = toQString(definition->grpname);
    return added;
}

QvEditOutcome ServerActions::edit(const QvString& name, CDlgLocalWebServerGen& dialog, QWidget* parent) const
{
    // The definition as stored now: another process may have changed or removed it.
    std::unique_ptr<_tag_WebServerInfo> working = m_host->beginEdit(name);
    QvEditOutcome changed;
    if (working == nullptr) {
        QvMessageBoxes::show(parent, QStringLiteral("No server named \"%1\".").arg(toQString(name)), QvMessageBoxes::Ok,
                             QvMessageBoxes::Warning);
        changed.kind = QvEditOutcome::Stale;
        return changed;
    }
    const QvServerRecord before = findRecord(name);
    changed.oldName = toQString(name);
    changed.oldGroup = toQString(working->grpname);

    ServerEditResult result = ServerEditResult::Cancelled;
    const int answer = showAndApply(dialog, name, working, result, parent);
    if (answer == CDlgLocalWebServerGen::kResultDelete) {
        return remove(changed, std::move(working), parent);
    }
    if (answer != CDlgLocalWebServerGen::kResultOk) {
        return {};
    }
    if (result != ServerEditResult::Updated && result != ServerEditResult::Renamed) {
        if (result == ServerEditResult::Unknown) {
            changed.kind = QvEditOutcome::Stale;
            return changed;
        }
        return {};
    }
    if (result == ServerEditResult::Updated) {
        restartOnNewPort(before, parent);
    }
    changed.kind = QvEditOutcome::Changed;
    changed.name = toQString(working->name);
    changed.group = toQString(working->grpname);
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
        outcome.kind = QvEditOutcome::Stale;  // gone already: the caller shows what is stored
        return outcome;
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
