// A stand-in for the registry's host object, over the registry itself, so the dialogs can be
// driven before the real host is linked into the program.
#include "commlib/CommLibEnv.h"
#include "foundation/EnvMng.h"
#include "registry/QvServerHost.h"
#include "registry/WebServerMngr.h"
#include "webserver/WebServerInfo.h"

CQvServerHost::CQvServerHost() = default;

CQvServerHost::~CQvServerHost()
{
    shutdown();
}

QvHostResult CQvServerHost::startup()
{
    CommLibEnv::getInstance()->start();
    CEnvMng::getInstance();
    CQvWebServerMngr::getInstance();
    return {};
}

void CQvServerHost::shutdown()
{
    CQvWebServerMngr::releaseInstance();
    CEnvMng::releaseInstance();
}

std::vector<QvServerRecord> CQvServerHost::listServers() const
{
    QvStringArray lines;
    CQvWebServerMngr::getInstance()->listServers(lines);
    std::vector<QvServerRecord> records;
    for (const QvString& line : lines) {
        QvStringArray fields;
        fields.split(line, u"`");
        QvServerRecord record;
        record.group = fields[0] == u"Default" ? QvString(u"") : fields[0];
        record.name = fields[1];
        record.port = std::stoi(fields[2].toUtf8());
        record.running = fields[3] == u"Run";
        records.push_back(record);
    }
    return records;
}

QvStringArray CQvServerHost::listGroups() const
{
    QvStringArray groups;
    const int count = CEnvMng::getInstance()->getInt(0, u"GROUPLIST", u"CNT");
    for (int i = 1; i <= count; ++i) {
        groups.add(CEnvMng::getInstance()->getString(0, u"GROUPLIST", QvString::formatted(u"%04d", i)));
    }
    return groups;
}

QvHostResult CQvServerHost::runServer(const QvString& name)
{
    if (CQvWebServerMngr::getInstance()->runServer(name)) {
        return {};
    }
    return {QvHostResult::Code::StartFailed, QvString(u"")};
}

QvHostResult CQvServerHost::stopServer(const QvString& name)
{
    CQvWebServerMngr::getInstance()->stopServer(name);
    return {};
}

std::unique_ptr<_tag_WebServerInfo> CQvServerHost::beginEdit(const QvString& name)
{
    if (name.isEmpty()) {
        return std::make_unique<_tag_WebServerInfo>();
    }
    return CQvWebServerMngr::getInstance()->beginEdit(name);
}

QvHostResult CQvServerHost::finishEdit(const QvString& registeredName, std::unique_ptr<_tag_WebServerInfo> edited,
                                       ServerEditAction action, ServerEditResult* outcome)
{
    const ServerEditResult result =
        CQvWebServerMngr::getInstance()->finishEdit(registeredName, std::move(edited), action);
    if (outcome != nullptr) {
        *outcome = result;
    }
    if (result == ServerEditResult::NameTaken) {
        return {QvHostResult::Code::NameTaken, QvString(u"That name is taken.")};
    }
    return {};
}

void CQvServerHost::setListenCallback(ListenCallback) {}
