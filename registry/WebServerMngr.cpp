#include "registry/WebServerMngr.h"

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "foundation/EnvMng.h"
#include "foundation/QvINIFileMng.h"
#include "foundation/QvSingleton.h"
#include "registry/DefinitionCodec.h"
#include "registry/DefinitionValidation.h"
#include "registry/GroupList.h"
#include "webserver/WebServer.h"
#include "webserver/WebServerInfo.h"

namespace {

constexpr const char16_t* kServerSection = u"WEBSVRLIST";

QvSingleton<CQvWebServerMngr> s_instance;

size_t lineHash(std::string_view line)
{
    return std::hash<std::string_view>()(line);
}

bool sameDefinition(const _tag_WebServerInfo& a, const _tag_WebServerInfo& b)
{
    return a.name.view() == b.name.view() && a.grpname.view() == b.grpname.view() && a.port == b.port &&
           a.basepath.view() == b.basepath.view() && a.basehtml.view() == b.basehtml.view() &&
           a.contentstype == b.contentstype;
}

// Sets into target the fields in which edited differs from base (what its editor changed); a
// changed content-type table is merged as the copy rule does.
void applyChangedFields(_tag_WebServerInfo& target, const _tag_WebServerInfo& base, const _tag_WebServerInfo& edited)
{
    if (edited.name.view() != base.name.view()) {
        target.name = edited.name;
    }
    if (edited.grpname.view() != base.grpname.view()) {
        target.grpname = edited.grpname;
    }
    if (edited.port != base.port) {
        target.port = edited.port;
    }
    if (edited.basepath.view() != base.basepath.view()) {
        target.basepath = edited.basepath;
    }
    if (edited.basehtml.view() != base.basehtml.view()) {
        target.basehtml = edited.basehtml;
    }
    if (!(edited.contentstype == base.contentstype)) {
        for (const auto& [extension, type] : edited.contentstype) {
            target.contentstype.set(extension, type);
        }
    }
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

void CQvWebServerMngr::releaseInstance()
{
    s_instance.release();
}

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
    for (const int fileId : {ENV_FILE_ENV, ENV_FILE_SESSION}) {
        noteSaveFailure(fileId);
    }
    const QvStringArray names = env->getKeys(ENV_FILE_SESSION, kServerSection);
    const CQvINIFileMng* file = env->getIniFile(ENV_FILE_SESSION);
    bool allAdded = true;
    m_loading = true;
    DefinitionCodec codec;
    QvStringArray groups;  // in load (key) order: the order GROUPLIST numbers them
    for (const QvString& key : names) {
        // Read as the file holds it (UTF-8): the lines are parsed as bytes, never decoded whole.
        const std::string_view line = file->getUtf8Value(kServerSection, key, INI_LAYER_MERGED);
        std::unique_ptr<_tag_WebServerInfo> definition = codec.parse(line);
        StoredEntry& stored = m_stored[key];
        stored.hash = lineHash(line);
        if (!definition) {
            continue;
        }
        const QvString name = definition->name;
        const QvString group = definition->grpname;
        if (addServer(definition.get())) {
            static_cast<void>(definition.release());  // the registry owns it now
            groups.add(group);
            if (key.view() != name.view()) {
                m_stored[key].name = name;  // the line stays under its old key too
            }
        } else {
            allAdded = false;
        }
    }
    m_loading = false;
    if (!m_servers.isEmpty()) {
        saveSessionFile();
        registerGroups(groups);
    }
    return allAdded;
}

bool CQvWebServerMngr::reloadFromDisk()
{
    CQvINIFileMng* file = CEnvMng::getInstance()->getIniFile(ENV_FILE_SESSION);
    if (file == nullptr || !file->reload(CEnvMng::getFileName(ENV_FILE_SESSION))) {
        return false;
    }
    syncWithStored();
    return true;
}

bool CQvWebServerMngr::reloadUnderLock()
{
    CQvINIFileMng* file = CEnvMng::getInstance()->getIniFile(ENV_FILE_SESSION);
    if (file == nullptr) {
        return false;
    }
    m_inTransaction = true;
    const bool read =
        file->update(CEnvMng::getFileName(ENV_FILE_SESSION), [this](CQvINIFileMng&) { syncWithStored(); });
    m_inTransaction = false;
    return read || reloadFromDisk();
}

bool CQvWebServerMngr::syncWithStored()
{
    CEnvMng* env = CEnvMng::getInstance();
    const CQvINIFileMng* file = env->getIniFile(ENV_FILE_SESSION);
    if (file == nullptr) {
        return false;
    }
    const QvStringArray keys = env->getKeys(ENV_FILE_SESSION, kServerSection);
    bool changed = false;
    DefinitionCodec codec;
    std::unordered_map<std::u16string, bool> seen;  // names a stored line registers
    QvMap<QvString, StoredEntry> stored;
    for (const QvString& key : keys) {
        const std::string_view line = file->getUtf8Value(kServerSection, key, INI_LAYER_MERGED);
        const size_t hash = lineHash(line);
        // A line as this process last saw it registers what it did then: nothing to parse.
        if (const StoredEntry* known = m_stored.find(key); known != nullptr && known->hash == hash) {
            if (known->name.isEmpty() || m_servers.contains(known->name)) {
                if (!known->name.isEmpty()) {
                    seen.emplace(known->name.toStd(), true);
                }
                stored.set(key, *known);
                continue;
            }
        }
        StoredEntry& entry = stored[key];
        entry.hash = hash;
        std::unique_ptr<_tag_WebServerInfo> definition = codec.parse(line);
        if (!definition || !seen.emplace(definition->name.toStd(), true).second) {
            continue;  // unreadable, or a name an earlier line registered: the first one wins
        }
        entry.name = definition->name;
        if (_tag_WebServerInfo* registered = getDefinition(definition->name)) {
            if (!sameDefinition(*registered, *definition)) {
                auto lock = registered->writeLock();
                registered->grpname = definition->grpname;
                registered->port = definition->port;
                registered->basepath = definition->basepath;
                registered->basehtml = definition->basehtml;
                registered->contentstype = definition->contentstype;  // as stored, not merged
                changed = true;
            }
        } else {
            const QvString name = definition->name;
            m_servers.set(name, new CWebServer(definition.release()));
            changed = true;
        }
    }
    m_stored = std::move(stored);
    for (const QvString& name : serverNames()) {
        if (seen.find(name.toStd()) == seen.end()) {
            CWebServer* server = *m_servers.find(name);
            server->stop();  // another process removed it
            m_servers.erase(name);
            delete server;
            changed = true;
        }
    }
    return changed;
}

QvString CQvWebServerMngr::takenName(const QvString& name, const QvString& except) const
{
    if (m_servers.contains(name) && name.view() != except.view()) {
        return name;
    }
    for (const auto& [registered, server] : m_servers) {
        if (registered.view() != except.view() && namesEqualNoCase(registered, name)) {
            return registered;
        }
    }
    return QvString();
}

bool CQvWebServerMngr::addServer(_tag_WebServerInfo* definition)
{
    if (definition == nullptr || m_servers.contains(definition->name)) {
        return false;
    }
    m_servers.set(definition->name, new CWebServer(definition));
    saveDefinition(*definition);
    // A group is registered only once its server is stored: a failed add leaves env.ini alone.
    if (!savesDeferred() && saveSessionFile()) {
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
    if (!savesDeferred() && saveSessionFile()) {
        registerGroup(*definition);
    }
}

bool CQvWebServerMngr::deleteServer(const QvString& name)
{
    CWebServer** found = m_servers.find(name);
    if (found == nullptr) {
        return false;
    }
    CWebServer* server = *found;
    server->stop();
    const QvString key = server->getServerInfo()->name;
    CEnvMng::getInstance()->deleteKey(ENV_FILE_SESSION, kServerSection, key);
    m_stored.erase(key);
    if (!savesDeferred()) {
        saveSessionFile();
    }
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
    const std::string line = m_codec.write(definition);
    // Compared as bytes with what is stored: at load and exit every definition is stored as it is
    // already, nearly always, and that changes nothing.
    CQvINIFileMng* file = CEnvMng::getInstance()->getIniFile(ENV_FILE_SESSION);
    if (file == nullptr || !file->setUtf8Value(kServerSection, definition.name, line, INI_LAYER_USER)) {
        return false;
    }
    m_stored.set(definition.name, StoredEntry{lineHash(line), definition.name});
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
    if (!CQvGroupList::add(groups)) {
        noteSaveFailure(ENV_FILE_ENV);
    }
}

void CQvWebServerMngr::setLastUsed(const _tag_WebServerInfo& definition)
{
    QvString value;
    value.format(u"%s%c%s", definition.grpname == u"None" ? QvString(u"Default") : definition.grpname, kSeparator,
                 definition.name);
    CEnvMng::getInstance()->setString(ENV_FILE_SESSION, u"ETC", u"LASTUSEDSESSION", value);
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
    return saveSessionFile();
}

bool CQvWebServerMngr::saveSessionFile()
{
    CEnvMng* env = CEnvMng::getInstance();
    if (env->save(ENV_FILE_SESSION) || env->lastError(ENV_FILE_SESSION).isEmpty()) {
        return true;  // stored, or nothing to store
    }
    noteSaveFailure(ENV_FILE_SESSION);
    return false;
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
        // Thousands of lines: each holds just its characters rather than the capacity rule's room.
        out.add(QvString::compact(
            QvString::formatted(u"%s%c%s%c%d%c%s",
                                definition->grpname.isEmpty() ? QvString(u"Default") : definition->grpname, kSeparator,
                                name, kSeparator, definition->port, kSeparator, server->isRunning() ? u"Run" : u"Stop")
                .view()));
    }
}

std::unique_ptr<_tag_WebServerInfo> CQvWebServerMngr::beginEdit(const QvString& name)
{
    const _tag_WebServerInfo* registered = getDefinition(name);
    if (registered == nullptr) {
        return nullptr;
    }
    auto copy = std::make_unique<_tag_WebServerInfo>(*registered);
    m_editBases[name.toStd()] = std::make_unique<_tag_WebServerInfo>(*registered);
    return copy;
}

void CQvWebServerMngr::rebaseEdit(const QvString& name)
{
    reloadFromDisk();
    if (const _tag_WebServerInfo* registered = getDefinition(name)) {
        m_editBases[name.toStd()] = std::make_unique<_tag_WebServerInfo>(*registered);
    }
}

bool CQvWebServerMngr::changedSinceEdit(const QvString& name)
{
    reloadFromDisk();
    const _tag_WebServerInfo* registered = getDefinition(name);
    const auto base = m_editBases.find(name.toStd());
    return registered == nullptr || (base != m_editBases.end() && !sameDefinition(*base->second, *registered));
}

ServerEditResult CQvWebServerMngr::finishEdit(const QvString& registeredName,
                                              std::unique_ptr<_tag_WebServerInfo> edited, ServerEditAction action)
{
    std::unique_ptr<_tag_WebServerInfo> base;
    if (const auto found = m_editBases.find(registeredName.toStd()); found != m_editBases.end()) {
        base = std::move(found->second);
        m_editBases.erase(found);
    }
    const bool creating = registeredName.isEmpty();
    if (action == ServerEditAction::Cancel || edited == nullptr || (creating && action == ServerEditAction::Delete)) {
        return ServerEditResult::Cancelled;
    }
    CQvINIFileMng* file = CEnvMng::getInstance()->getIniFile(ENV_FILE_SESSION);
    if (file == nullptr) {
        return ServerEditResult::NotStored;
    }
    // Decided against the file as it is now, under its lock, so that two processes deciding at the
    // same time see each other's outcome.
    ServerEditResult result = ServerEditResult::NotStored;
    QvString group;
    m_inTransaction = true;
    const bool stored = file->update(CEnvMng::getFileName(ENV_FILE_SESSION), [&](CQvINIFileMng&) {
        syncWithStored();
        result = applyEdit(registeredName, base.get(), edited, action, group);
    });
    m_inTransaction = false;
    if (!stored) {
        noteSaveFailure(ENV_FILE_SESSION);
        return result;
    }
    if (!group.isNull()) {
        QvStringArray groups;
        groups.add(group);
        registerGroups(groups);
    }
    return result;
}

ServerEditResult CQvWebServerMngr::applyEdit(const QvString& registeredName, const _tag_WebServerInfo* base,
                                             std::unique_ptr<_tag_WebServerInfo>& edited, ServerEditAction action,
                                             QvString& group)
{
    if (registeredName.isEmpty()) {
        if (!takenName(edited->name).isNull() || !addServer(edited.get())) {
            return ServerEditResult::NameTaken;
        }
        group = edited.release()->grpname;  // the registry owns it now
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
    // What this process changed, applied to the definition as stored now.
    auto merged = std::make_unique<_tag_WebServerInfo>(*registered);
    if (base == nullptr) {
        *merged = *edited;
    } else {
        applyChangedFields(*merged, *base, *edited);
    }
    if (merged->name.view() == registeredName.view()) {
        *registered = *merged;  // the copy rule, under the record's write lock
        addOrUpdateServer(registered);
        group = registered->grpname;
        return ServerEditResult::Updated;
    }
    // Refuse before deleting: the old definition must survive a clash.
    if (!takenName(merged->name, registeredName).isNull()) {
        return ServerEditResult::NameTaken;
    }
    deleteServer(registeredName);
    if (!addServer(merged.get())) {
        return ServerEditResult::NameTaken;  // unreachable after the check above
    }
    group = merged.release()->grpname;  // the registry owns it now
    return ServerEditResult::Renamed;
}
