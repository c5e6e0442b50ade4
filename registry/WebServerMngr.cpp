#include "registry/WebServerMngr.h"

#include <json/json.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "foundation/EnvMng.h"
#include "foundation/QvCodePage.h"
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

// Loading thousands of definitions that share one content-type table: equal texts share one
// buffer (copy on write keeps that safe), each holding just its characters.
class TextPool {
public:
    QvString operator()(std::string_view utf8)
    {
        auto it = m_texts.find(utf8);
        if (it == m_texts.end()) {
            it = m_texts.emplace(std::string(utf8), QvString::compact(qvDecodeBytes(utf8, kCodePageUtf8))).first;
        }
        return it->second;
    }
    QvString operator()(const Json::Value& value)
    {
        const char* begin = nullptr;
        const char* end = nullptr;
        return value.getString(&begin, &end) ? (*this)(std::string_view(begin, static_cast<size_t>(end - begin)))
                                             : QvString(u"");
    }

    // Makes table share the tree of an equal table loaded before (the maps copy on write).
    void share(QvMap<QvString, QvString>& table)
    {
        size_t hash = static_cast<size_t>(table.size());
        for (const auto& [key, value] : std::as_const(table)) {
            hash = hash * 31 + std::hash<std::u16string_view>()(key.view());
            hash = hash * 31 + std::hash<std::u16string_view>()(value.view());
        }
        const auto [first, last] = m_tables.equal_range(hash);
        for (auto it = first; it != last; ++it) {
            if (it->second == table) {
                table = it->second;
                return;
            }
        }
        m_tables.emplace(hash, table);
    }

private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
    };
    std::unordered_map<std::string, QvString, Hash, std::equal_to<>> m_texts;
    std::unordered_multimap<size_t, QvMap<QvString, QvString>> m_tables;
};

// Builds a record from one stored line; null when the line is not a usable definition.
// A member of the wrong type makes the whole entry unusable rather than half-read.
std::unique_ptr<_tag_WebServerInfo> definitionFromJson(const QvString& text, TextPool& textOf)
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
    if (root.isMember("name"))
        definition->name = textOf(root["name"]);
    if (root.isMember("grpname"))
        definition->grpname = textOf(root["grpname"]);
    if (root.isMember("basepath"))
        definition->basepath = textOf(root["basepath"]);
    if (root.isMember("basehtml"))
        definition->basehtml = textOf(root["basehtml"]);
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
        for (auto it = types.begin(); it != types.end(); ++it) {
            if (it->isString()) {
                const char* end = nullptr;
                const char* extension = it.memberName(&end);
                definition->contentstype.set(textOf(std::string_view(extension, static_cast<size_t>(end - extension))),
                                             textOf(*it));
            }
        }
    }
    if (definition->name.isEmpty()) {
        return nullptr;  // a nameless server could never be addressed again
    }
    textOf.share(definition->contentstype);
    return definition;
}

// Appends text as the JSON library's compact writer quotes it. Plain printable ASCII (nearly every
// stored text) is copied straight; anything else goes through the library's own quoting, so the
// bytes are the writer's in every case.
bool appendQuoted(std::string& out, const QvString& text)
{
    const std::u16string_view view = text.view();
    const bool plain = std::all_of(view.begin(), view.end(),
                                   [](char16_t c) { return c >= 0x20 && c < 0x7F && c != u'"' && c != u'\\'; });
    if (plain) {
        out += '"';
        for (const char16_t c : view) {
            out += static_cast<char>(c);
        }
        out += '"';
        return true;
    }
    const std::string utf8 = text.toUtf8();
    if (utf8.find('\0') != std::string::npos) {
        return false;  // the quoting function stops at a NUL
    }
    out += Json::valueToQuotedString(utf8.c_str());
    return true;
}

bool isAscii(const QvString& text)
{
    const std::u16string_view view = text.view();
    return std::all_of(view.begin(), view.end(), [](char16_t c) { return c < 0x80; });
}

// The compact writer's text of a definition, members sorted by name, built member by member: the
// same bytes as writing a document tree at a fraction of the cost (loading and exit store
// thousands of definitions).
std::string storedText(const _tag_WebServerInfo& definition)
{
    std::string out;
    out.reserve(64 + static_cast<size_t>(definition.contentstype.size()) * 32);
    // The map's order is the writer's byte order while the extensions are ASCII.
    bool fast = std::all_of(definition.contentstype.begin(), definition.contentstype.end(),
                            [](const auto& entry) { return isAscii(entry.first); });
    out += "{\"basehtml\":";
    fast = fast && appendQuoted(out, definition.basehtml);
    out += ",\"basepath\":";
    fast = fast && appendQuoted(out, definition.basepath);
    out += ",\"contentstype\":{";
    bool first = true;
    for (const auto& [extension, type] : definition.contentstype) {
        if (!fast) {
            break;
        }
        if (!first) {
            out += ',';
        }
        first = false;
        fast = appendQuoted(out, extension);
        out += ':';
        fast = fast && appendQuoted(out, type);
    }
    out += "},\"grpname\":";
    fast = fast && appendQuoted(out, definition.grpname);
    out += ",\"name\":";
    fast = fast && appendQuoted(out, definition.name);
    out += ",\"port\":" + Json::valueToString(static_cast<Json::Int>(definition.port)) + "}";
    if (fast) {
        return out;
    }
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
    return writeCompact(root);
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
    for (const int fileId : {kEnvFile, kSessionFile}) {
        noteSaveFailure(fileId);
    }
    const QvStringArray names = env->getKeys(kSessionFile, kServerSection);
    bool allAdded = true;
    m_loading = true;
    TextPool texts;
    for (const QvString& key : names) {
        std::unique_ptr<_tag_WebServerInfo> definition =
            definitionFromJson(env->getString(kSessionFile, kServerSection, key), texts);
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
    std::string line = storedText(definition);
    std::erase(line, '\n');
    // Stored values are kept by the thousand and never grown: no spare room.
    CEnvMng::getInstance()->setString(kSessionFile, kServerSection, definition.name,
                                      QvString::compact(qvDecodeBytes(line, kCodePageUtf8)));
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
