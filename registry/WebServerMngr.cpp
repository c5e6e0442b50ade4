#include "registry/WebServerMngr.h"

#include <json/json.h>

#include <string>

#include "foundation/EnvMng.h"
#include "foundation/QvINIFileMng.h"
#include "foundation/QvSingleton.h"
#include "webserver/WebServer.h"
#include "webserver/WebServerInfo.h"

namespace {

constexpr int kEnvFile = ENV_FILE_ENV;
constexpr int kSessionFile = ENV_FILE_SESSION;
constexpr const char16_t* kServerSection = u"WEBSVRLIST";
constexpr const char16_t* kGroupSection = u"GROUPLIST";

QvSingleton<CQvWebServerMngr> s_instance;

// The stored form is read with comments allowed and written by the compact writer, whose
// output (members sorted, one line) is what session.ini has always held.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
bool parseJson(const std::string& text, Json::Value& root)
{
    Json::Reader reader(Json::Features::all());
    return reader.parse(text, root, false);
}

std::string writeCompact(const Json::Value& root)
{
    Json::FastWriter writer;
    return writer.write(root);
}
#pragma GCC diagnostic pop

QvString textOf(const Json::Value& value) { return QvString::fromUtf8(value.asString()); }

// Builds a record from one stored line; null when the line is not a usable definition.
// A member of the wrong type makes the whole entry unusable rather than half-read.
std::unique_ptr<_tag_WebServerInfo> definitionFromJson(const QvString& text)
{
    Json::Value root;
    if (!parseJson(text.toUtf8(), root) || !root.isObject()) {
        return nullptr;
    }
    auto definition = std::make_unique<_tag_WebServerInfo>();
    for (const char* member : {"name", "grpname", "basepath", "basehtml"}) {
        if (root.isMember(member) && !root[member].isString()) {
            return nullptr;
        }
    }
    if (root.isMember("name")) definition->name = textOf(root["name"]);
    if (root.isMember("grpname")) definition->grpname = textOf(root["grpname"]);
    if (root.isMember("basepath")) definition->basepath = textOf(root["basepath"]);
    if (root.isMember("basehtml")) definition->basehtml = textOf(root["basehtml"]);
    if (root.isMember("port")) {
        const Json::Value& port = root["port"];
        if (!port.isInt()) {
            return nullptr;
        }
        definition->port = port.asInt();
    }
    if (root.isMember("contentstype")) {
        const Json::Value& types = root["contentstype"];
        if (!types.isObject()) {
            return nullptr;
        }
        for (const std::string& extension : types.getMemberNames()) {
            const Json::Value& type = types[extension];
            if (type.isString()) {
                definition->contentstype.set(QvString::fromUtf8(extension), textOf(type));
            }
        }
    }
    if (definition->name.isEmpty()) {
        return nullptr;  // a nameless server could never be addressed again
    }
    return definition;
}

}  // namespace

CQvWebServerMngr* CQvWebServerMngr::getInstance()
{
    return s_instance.get([] {
        auto* registry = new CQvWebServerMngr();
        registry->loadServers();
        return registry;
    });
}

void CQvWebServerMngr::releaseInstance() { s_instance.release(); }

CQvWebServerMngr::CQvWebServerMngr() = default;

CQvWebServerMngr::~CQvWebServerMngr()
{
    saveAll();
    for (auto& [name, server] : m_servers) {
        delete server;
    }
    m_servers.clear();
}

bool CQvWebServerMngr::loadServers()
{
    CEnvMng* env = CEnvMng::getInstance();
    // A settings file that could not be read at start is reported; it is never written over.
    for (const int fileId : {kEnvFile, kSessionFile}) {
        noteSaveFailure(fileId);
    }
    const QvStringArray names = env->getKeys(kSessionFile, kServerSection);
    bool allAdded = true;
    m_loading = true;
    for (const QvString& key : names) {
        std::unique_ptr<_tag_WebServerInfo> definition =
            definitionFromJson(env->getString(kSessionFile, kServerSection, key));
        if (!definition) {
            continue;
        }
        if (addServer(definition.get())) {
            definition.release();  // the registry owns it now
        } else {
            allAdded = false;
        }
    }
    m_loading = false;
    if (!m_servers.isEmpty()) {
        saveSessionFile();
        QvStringArray groups;
        for (const auto& [name, server] : m_servers) {
            groups.add(server->getServerInfo()->grpname);
        }
        registerGroups(groups);
    }
    return allAdded;
}

bool CQvWebServerMngr::addServer(_tag_WebServerInfo* definition)
{
    if (definition == nullptr || m_servers.contains(definition->name)) {
        return false;
    }
    m_servers.set(definition->name, new CWebServer(definition));
    saveDefinition(*definition);
    if (!m_loading) {
        saveSessionFile();
        registerGroup(*definition);
    }
    return true;
}

void CQvWebServerMngr::addOrUpdateServer(_tag_WebServerInfo* definition)
{
    if (definition == nullptr) {
        return;
    }
    if (!m_servers.contains(definition->name)) {
        addServer(definition);
        return;
    }
    saveDefinition(*definition);
    saveSessionFile();
    registerGroup(*definition);
}

bool CQvWebServerMngr::deleteServer(const QvString& name)
{
    CWebServer** found = m_servers.find(name);
    if (found == nullptr) {
        return false;
    }
    CWebServer* server = *found;
    server->stop();
    CEnvMng::getInstance()->deleteKey(kSessionFile, kServerSection, server->getServerInfo()->name);
    saveSessionFile();
    m_servers.erase(name);
    delete server;
    return true;
}

_tag_WebServerInfo* CQvWebServerMngr::getDefinition(const QvString& name)
{
    CWebServer** found = m_servers.find(name);
    return found ? (*found)->getServerInfo() : nullptr;
}

QvStringArray CQvWebServerMngr::serverNames() const
{
    QvStringArray names;
    for (const auto& [name, server] : m_servers) {
        names.add(name);
    }
    return names;
}

CWebServer* CQvWebServerMngr::getServer(const QvString& name)
{
    CWebServer** found = m_servers.find(name);
    return found ? *found : nullptr;
}

bool CQvWebServerMngr::saveDefinition(const _tag_WebServerInfo& definition)
{
    Json::Value root(Json::objectValue);
    root["name"] = definition.name.toUtf8();
    root["grpname"] = definition.grpname.toUtf8();
    root["basepath"] = definition.basepath.toUtf8();
    root["basehtml"] = definition.basehtml.toUtf8();
    root["port"] = definition.port;
    Json::Value types(Json::objectValue);
    for (const auto& [extension, type] : definition.contentstype) {
        types[extension.toUtf8()] = type.toUtf8();
    }
    root["contentstype"] = types;

    std::string line = writeCompact(root);
    std::erase(line, '\n');
    CEnvMng::getInstance()->setString(kSessionFile, kServerSection, definition.name, QvString::fromUtf8(line));
    return true;
}

void CQvWebServerMngr::registerGroup(const _tag_WebServerInfo& definition)
{
    QvStringArray groups;
    groups.add(definition.grpname);
    registerGroups(groups);
}

void CQvWebServerMngr::registerGroups(const QvStringArray& groups)
{
    CQvINIFileMng* file = CEnvMng::getInstance()->getIniFile(kEnvFile);
    if (file == nullptr) {
        return;
    }
    // Read, count and write under env.ini's lock, so that processes registering groups at the same
    // time each get their own number.
    const bool stored = file->update(CEnvMng::getFileName(kEnvFile), [&groups](CQvINIFileMng& env) {
        int count = env.getIntValue(kGroupSection, u"CNT", INI_LAYER_MERGED);
        for (const QvString& group : groups) {
            bool known = false;
            for (int i = 1; i <= count && !known; ++i) {
                // Compared by content: a group never stored (a null text) is still the empty name.
                known = env.getValue(kGroupSection, QvString::formatted(u"%04d", i), INI_LAYER_MERGED).view() ==
                        group.view();
            }
            if (!known && group != u"None") {
                ++count;
                env.setIntValue(kGroupSection, u"CNT", count, INI_LAYER_USER);
                env.setValue(kGroupSection, QvString::formatted(u"%04d", count), group, INI_LAYER_USER);
            }
        }
    });
    if (!stored) {
        noteSaveFailure(kEnvFile);
    }
}

void CQvWebServerMngr::setLastUsed(const _tag_WebServerInfo& definition)
{
    QvString value;
    value.format(u"%s%c%s", definition.grpname == u"None" ? QvString(u"Default") : definition.grpname, kSeparator,
                 definition.name);
    CEnvMng::getInstance()->setString(kSessionFile, u"ETC", u"LASTUSEDSESSION", value);
    saveSessionFile();
}

bool CQvWebServerMngr::saveAll()
{
    for (const auto& [name, server] : m_servers) {
        if (!saveDefinition(*server->getServerInfo())) {
            return false;
        }
    }
    // Only definitions edited in memory since the last save differ from the file; storing them
    // here (rather than only when CEnvMng goes) lets a failure reach takeSaveError().
    saveSessionFile();
    return true;
}

void CQvWebServerMngr::saveSessionFile()
{
    if (!CEnvMng::getInstance()->save(kSessionFile)) {
        noteSaveFailure(kSessionFile);
    }
}

void CQvWebServerMngr::noteSaveFailure(int fileId)
{
    if (m_saveError.isEmpty()) {
        m_saveError = CEnvMng::getInstance()->lastError(fileId);
    }
}

QvString CQvWebServerMngr::takeSaveError()
{
    QvString error = m_saveError.isNull() ? QvString(u"") : m_saveError;
    m_saveError = QvString(u"");
    return error;
}

bool CQvWebServerMngr::runServer(const QvString& name)
{
    CWebServer* server = getServer(name);
    if (server == nullptr || server->getServerInfo() == nullptr) {
        return false;
    }
    bool started = true;
    if (!server->isRunning()) {
        started = server->initStart(server->getServerInfo()->port);
    }
    if (started) {
        setLastUsed(*server->getServerInfo());
    }
    return started;
}

bool CQvWebServerMngr::stopServer(const QvString& name)
{
    CWebServer* server = getServer(name);
    if (server == nullptr) {
        return false;
    }
    if (server->isRunning()) {
        server->stop();
    }
    return true;
}

bool CQvWebServerMngr::isRunning(const QvString& name)
{
    CWebServer* server = getServer(name);
    return server != nullptr && server->isRunning();
}

void CQvWebServerMngr::listServers(QvStringArray& out)
{
    for (const auto& [name, server] : m_servers) {
        const _tag_WebServerInfo* definition = server->getServerInfo();
        if (definition == nullptr) {
            continue;
        }
        out.addFormat(u"%s%c%s%c%d%c%s", definition->grpname.isEmpty() ? QvString(u"Default") : definition->grpname,
                      kSeparator, name, kSeparator, definition->port, kSeparator,
                      server->isRunning() ? u"Run" : u"Stop");
    }
}

std::unique_ptr<_tag_WebServerInfo> CQvWebServerMngr::beginEdit(const QvString& name)
{
    const _tag_WebServerInfo* registered = getDefinition(name);
    if (registered == nullptr) {
        return nullptr;
    }
    auto copy = std::make_unique<_tag_WebServerInfo>();
    *copy = *registered;
    return copy;
}

ServerEditResult CQvWebServerMngr::finishEdit(const QvString& registeredName,
                                              std::unique_ptr<_tag_WebServerInfo> edited, ServerEditAction action)
{
    const bool creating = registeredName.isEmpty();
    if (action == ServerEditAction::Cancel || edited == nullptr || (creating && action == ServerEditAction::Delete)) {
        return ServerEditResult::Cancelled;
    }
    if (creating) {
        if (!addServer(edited.get())) {
            return ServerEditResult::NameTaken;
        }
        edited.release();
        return ServerEditResult::Added;
    }
    _tag_WebServerInfo* registered = getDefinition(registeredName);
    if (registered == nullptr) {
        return ServerEditResult::Unknown;
    }
    if (action == ServerEditAction::Delete) {
        deleteServer(registeredName);
        return ServerEditResult::Deleted;
    }
    if (edited->name.view() == registeredName.view()) {
        *registered = *edited;  // the copy rule, under the record's write lock
        addOrUpdateServer(registered);
        return ServerEditResult::Updated;
    }
    // Refuse before deleting: the old definition must survive a clash.
    if (m_servers.contains(edited->name)) {
        return ServerEditResult::NameTaken;
    }
    deleteServer(registeredName);
    if (!addServer(edited.get())) {
        return ServerEditResult::NameTaken;  // unreachable after the check above
    }
    edited.release();
    return ServerEditResult::Renamed;
}
