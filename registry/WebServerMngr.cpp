#include "registry/WebServerMngr.h"

#include <json/json.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "foundation/EnvMng.h"
#include "foundation/QvCodePage.h"
#include "foundation/QvINIFileMng.h"
#include "foundation/QvSingleton.h"
#include "registry/DefinitionValidation.h"
#include "webserver/WebServer.h"
#include "webserver/WebServerInfo.h"

namespace {

constexpr int kSessionFile = ENV_FILE_SESSION;
constexpr const char16_t* kServerSection = u"WEBSVRLIST";
constexpr const char16_t* kGroupSection = u"GROUPLIST";

QvSingleton<CQvWebServerMngr> s_instance;

// The stored form is read with comments allowed and written by the compact writer, whose
// output (members sorted, one line) is what session.ini has always held.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
bool parseJson(std::string_view text, Json::Value& root)
{
    Json::Reader reader(Json::Features::all());
    try {
        return reader.parse(text.data(), text.data() + text.size(), root, false);
    } catch (const std::exception&) {  // nesting past the reader's depth limit, or no memory
        return false;
    }
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

    // The table read before from the same stored text, or null. A table found or remembered is the
    // last one: the next line most likely carries it too.
    const QvMap<QvString, QvString>* tableOf(std::string_view stored)
    {
        const auto it = m_tablesByText.find(stored);
        if (it == m_tablesByText.end()) {
            return nullptr;
        }
        m_last = &*it;
        return &it->second;
    }
    void rememberTable(std::string_view stored, const QvMap<QvString, QvString>& table)
    {
        if (m_tablesByText.size() < kTextsRemembered) {
            m_last = &*m_tablesByText.emplace(std::string(stored), table).first;
        }
    }
    std::string_view lastTableText() const { return m_last != nullptr ? std::string_view(m_last->first) : ""; }
    const QvMap<QvString, QvString>& lastTable() const { return m_last->second; }

private:
    static constexpr size_t kTextsRemembered = 64;  // enough for the tables in use, bounded for the rest
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
    };
    std::unordered_map<std::string, QvString, Hash, std::equal_to<>> m_texts;
    std::unordered_multimap<size_t, QvMap<QvString, QvString>> m_tables;
    std::unordered_map<std::string, QvMap<QvString, QvString>, Hash, std::equal_to<>> m_tablesByText;
    const std::pair<const std::string, QvMap<QvString, QvString>>* m_last = nullptr;  // nodes stay put
};

// Reads a stored line into the members a definition takes, with the JSON reader's outcome for
// every line it accepts: strict JSON without comments or reals, each string a view into the line
// (parsed in place). Anything else (a real, a comment, a control character in a text, deep
// nesting, text after the object) makes it give up, and the line goes to the JSON reader itself.
class StoredLineReader : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, StoredLineReader> {
public:
    enum class State { Absent, Good, WrongType };
    struct Text {
        State state = State::Absent;
        std::string_view value;
    };
    struct Type {
        std::string_view extension;
        std::string_view value;
        bool isString = false;
    };

    // False when the line is not for this reader; the members are valid until the next read. One
    // reader serves every line of a load, its buffers keeping their room. knownTypes is the text of
    // a content-type table the caller has read already: a "contentstype" object written exactly so
    // is not parsed again (typesKnown, typeList left empty).
    bool read(std::string_view line, std::string_view knownTypes = {})
    {
        if (line.find('\0') != std::string_view::npos) {
            return false;
        }
        m_buffer.assign(line);
        for (Text& text : texts) {
            text = Text();
        }
        port = types = State::Absent;
        typeList.clear();
        typesKnown = false;
        m_knownTypes = knownTypes;
        m_depth = m_member = 0;
        m_inTypes = false;
        rapidjson::InsituStringStream stream(m_buffer.data());
        m_stream = &stream;
        rapidjson::Reader reader;
        return !reader.Parse<rapidjson::kParseInsituFlag>(stream, *this).IsError();
    }

    Text texts[4];  // name, grpname, basepath, basehtml
    State port = State::Absent;
    int portValue = 0;
    State types = State::Absent;
    size_t typesBegin = 0;  // the table's text in the line: [typesBegin, typesEnd)
    size_t typesEnd = 0;
    std::vector<Type> typeList;  // in line order, repeated extensions included
    bool typesKnown = false;     // "contentstype" held the caller's known table text

    bool StartObject()
    {
        if (m_depth == 0) {
            return open();
        }
        if (m_depth == 1 && m_member == kTypes) {
            types = State::Good;
            typeList.clear();
            typesBegin = m_stream->Tell() - 1;
            m_inTypes = true;
            typesKnown = skipKnownTypes();
            return open();
        }
        return other() && open();
    }
    bool EndObject(rapidjson::SizeType)
    {
        if (--m_depth == 1 && m_inTypes) {
            m_inTypes = false;
            typesEnd = m_stream->Tell();
        }
        return true;
    }
    bool StartArray() { return m_depth > 0 && other() && open(); }
    bool EndArray(rapidjson::SizeType)
    {
        --m_depth;
        return true;
    }
    bool Key(const char* text, rapidjson::SizeType length, bool)
    {
        const std::string_view key(text, length);
        if (m_depth == 1) {
            static constexpr std::string_view kMembers[] = {"name",     "grpname", "basepath",
                                                            "basehtml", "port",    "contentstype"};
            m_member = static_cast<int>(std::find(std::begin(kMembers), std::end(kMembers), key) - kMembers);
        } else if (m_depth == 2 && m_inTypes) {
            m_extension = key;
        }
        return true;
    }
    bool String(const char* text, rapidjson::SizeType length, bool)
    {
        const std::string_view value(text, length);
        if (m_depth == 1 && m_member < kPort) {
            texts[m_member] = {State::Good, value};
            return true;
        }
        if (m_depth == 2 && m_inTypes) {
            typeList.push_back({m_extension, value, true});
            return true;
        }
        return other();
    }
    bool Int(int value)
    {
        if (m_depth == 1 && m_member == kPort) {
            port = State::Good;
            portValue = value;
            return true;
        }
        return other();
    }
    bool Uint(unsigned value)
    {
        return value <= static_cast<unsigned>(std::numeric_limits<int>::max()) ? Int(static_cast<int>(value)) : other();
    }
    bool Int64(int64_t) { return other(); }
    bool Uint64(uint64_t) { return other(); }
    bool Bool(bool) { return other(); }
    bool Null() { return other(); }
    bool Double(double) { return false; }  // the JSON reader's own conversion decides

private:
    static constexpr int kPort = 4;
    static constexpr int kTypes = 5;
    static constexpr int kMaxDepth = 64;

    bool open() { return ++m_depth <= kMaxDepth; }
    // A value of a type its member cannot take.
    bool other()
    {
        if (m_depth == 0) {
            return false;  // the line is no object
        }
        if (m_depth == 1 && m_member < kPort) {
            texts[m_member].state = State::WrongType;
        } else if (m_depth == 1 && m_member == kPort) {
            port = State::WrongType;
        } else if (m_depth == 1 && m_member == kTypes) {
            types = State::WrongType;
        } else if (m_depth == 2 && m_inTypes) {
            typeList.push_back({m_extension, {}, false});
        }
        return true;
    }

    // Nearly every line carries the same few-kilobyte table, most of the parsing work. When the
    // object just opened is exactly the known table's text, the parser is sent to its closing
    // brace and reads an empty object; a JSON value reads the same wherever it stands, so that text
    // gives the table read before.
    bool skipKnownTypes()
    {
        char* open = m_stream->src_ - 1;
        const size_t left = static_cast<size_t>(m_buffer.data() + m_buffer.size() - open);
        const size_t size = m_knownTypes.size();
        if (size < 2 || left < size || std::memcmp(open, m_knownTypes.data(), size) != 0) {
            return false;
        }
        m_stream->src_ = open + size - 1;
        return true;
    }

    std::string m_buffer;  // the line, parsed in place
    rapidjson::InsituStringStream* m_stream = nullptr;
    std::string_view m_knownTypes;
    int m_depth = 0;
    int m_member = 0;
    bool m_inTypes = false;
    std::string_view m_extension;
};

// The content-type table as the JSON reader builds it: extensions in byte order, the last of a
// repeated one counting, non-text values left out.
QvMap<QvString, QvString> tableOf(std::vector<StoredLineReader::Type>& types, TextPool& textOf)
{
    std::stable_sort(types.begin(), types.end(),
                     [](const auto& a, const auto& b) { return a.extension < b.extension; });
    QvMap<QvString, QvString> table;
    for (size_t i = 0; i < types.size(); ++i) {
        if (types[i].isString && (i + 1 == types.size() || types[i + 1].extension != types[i].extension)) {
            table.set(textOf(types[i].extension), textOf(types[i].value));
        }
    }
    textOf.share(table);
    return table;
}

// definitionFromJson for the lines StoredLineReader takes; false when it does not take line.
bool definitionFromStoredLine(std::string_view utf8, TextPool& textOf, StoredLineReader& reader,
                              std::unique_ptr<_tag_WebServerInfo>& out)
{
    if (!reader.read(utf8, textOf.lastTableText())) {
        return false;
    }
    out.reset();
    using State = StoredLineReader::State;
    for (const auto& text : reader.texts) {
        if (text.state == State::WrongType) {
            return true;
        }
    }
    if (reader.port == State::WrongType || reader.types == State::WrongType || reader.texts[0].value.empty()) {
        return true;  // the empty name also covers a missing one
    }
    auto definition = std::make_unique<_tag_WebServerInfo>();
    QvString* fields[] = {&definition->name, &definition->grpname, &definition->basepath, &definition->basehtml};
    for (size_t i = 0; i < 4; ++i) {
        if (reader.texts[i].state == State::Good) {
            *fields[i] = textOf(reader.texts[i].value);
        }
    }
    if (reader.port == State::Good) {
        definition->port = reader.portValue;
    }
    if (reader.types == State::Good && reader.typesKnown) {
        definition->contentstype = textOf.lastTable();
    } else if (reader.types == State::Good) {
        // Definitions by the thousand carry the same table: its text is read into a table once.
        const std::string_view stored(utf8.data() + reader.typesBegin, reader.typesEnd - reader.typesBegin);
        if (const QvMap<QvString, QvString>* known = textOf.tableOf(stored)) {
            definition->contentstype = *known;
        } else {
            definition->contentstype = tableOf(reader.typeList, textOf);
            textOf.rememberTable(stored, definition->contentstype);
        }
    }
    out = std::move(definition);
    return true;
}

// Builds a record from one stored line; null when the line is not a usable definition.
// A member of the wrong type makes the whole entry unusable rather than half-read.
std::unique_ptr<_tag_WebServerInfo> definitionFromJson(std::string_view utf8, TextPool& textOf,
                                                       StoredLineReader& reader)
{
    std::unique_ptr<_tag_WebServerInfo> read;
    if (definitionFromStoredLine(utf8, textOf, reader, read)) {
        return read;
    }
    Json::Value root;
    if (!parseJson(utf8, root) || !root.isObject()) {
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

// The compact writer's text of a content-type table ("{...}"), built entry by entry; empty when
// only the writer itself can produce it (an extension outside ASCII, whose byte order the map's
// order need not be, or a text with a NUL).
std::string tableText(const QvMap<QvString, QvString>& table)
{
    std::string out = "{";
    for (const auto& [extension, type] : table) {
        if (!isAscii(extension)) {
            return {};
        }
        if (out.size() > 1) {
            out += ',';
        }
        if (!appendQuoted(out, extension)) {
            return {};
        }
        out += ':';
        if (!appendQuoted(out, type)) {
            return {};
        }
    }
    return out + "}";
}

// The compact writer's text of a definition without newlines, members sorted by name, built member
// by member: the same bytes as writing a document tree at a fraction of the cost (loading and exit
// store thousands of definitions). types is tableText(definition.contentstype).
std::string storedText(const _tag_WebServerInfo& definition, const std::string& types)
{
    std::string out;
    out.reserve(128 + types.size());
    out += "{\"basehtml\":";
    bool fast = !types.empty() && appendQuoted(out, definition.basehtml);
    out += ",\"basepath\":";
    fast = fast && appendQuoted(out, definition.basepath);
    out += ",\"contentstype\":" + types + ",\"grpname\":";
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
    Json::Value table(Json::objectValue);
    for (const auto& [extension, type] : definition.contentstype) {
        table[extension.toUtf8()] = type.toUtf8();
    }
    root["contentstype"] = table;
    std::string text = writeCompact(root);
    std::erase(text, '\n');  // the writer ends its text with one; the quoted texts hold none
    return text;
}

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
    const QvStringArray names = env->getKeys(kSessionFile, kServerSection);
    const CQvINIFileMng* file = env->getIniFile(kSessionFile);
    bool allAdded = true;
    m_loading = true;
    TextPool texts;
    StoredLineReader reader;
    QvStringArray groups;  // in load (key) order: the order GROUPLIST numbers them
    for (const QvString& key : names) {
        // Read as the file holds it (UTF-8): the lines are parsed as bytes, never decoded whole.
        const std::string_view line = file->getUtf8Value(kServerSection, key, INI_LAYER_MERGED);
        std::unique_ptr<_tag_WebServerInfo> definition = definitionFromJson(line, texts, reader);
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
    CQvINIFileMng* file = CEnvMng::getInstance()->getIniFile(kSessionFile);
    if (file == nullptr || !file->reload(CEnvMng::getFileName(kSessionFile))) {
        return false;
    }
    syncWithStored();
    return true;
}

bool CQvWebServerMngr::reloadUnderLock()
{
    CQvINIFileMng* file = CEnvMng::getInstance()->getIniFile(kSessionFile);
    if (file == nullptr) {
        return false;
    }
    m_inTransaction = true;
    const bool read = file->update(CEnvMng::getFileName(kSessionFile), [this](CQvINIFileMng&) { syncWithStored(); });
    m_inTransaction = false;
    return read || reloadFromDisk();
}

bool CQvWebServerMngr::syncWithStored()
{
    CEnvMng* env = CEnvMng::getInstance();
    const CQvINIFileMng* file = env->getIniFile(kSessionFile);
    if (file == nullptr) {
        return false;
    }
    const QvStringArray keys = env->getKeys(kSessionFile, kServerSection);
    bool changed = false;
    TextPool texts;
    StoredLineReader reader;
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
        std::unique_ptr<_tag_WebServerInfo> definition = definitionFromJson(line, texts, reader);
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
    CEnvMng::getInstance()->deleteKey(kSessionFile, kServerSection, key);
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
    const std::string line = storedText(definition, tableTextOf(definition.contentstype));
    // Compared as bytes with what is stored: at load and exit every definition is stored as it is
    // already, nearly always, and that changes nothing.
    CQvINIFileMng* file = CEnvMng::getInstance()->getIniFile(kSessionFile);
    if (file == nullptr || !file->setUtf8Value(kServerSection, definition.name, line, INI_LAYER_USER)) {
        return false;
    }
    m_stored.set(definition.name, StoredEntry{lineHash(line), definition.name});
    return true;
}

const std::string& CQvWebServerMngr::tableTextOf(const QvMap<QvString, QvString>& table)
{
    // Definitions share a few tables (copies of one tree compare equal at once): each is written once.
    for (const auto& [known, text] : m_tableTexts) {
        if (known == table) {
            return text;
        }
    }
    if (m_tableTexts.size() >= kTableTextsKept) {
        m_tableTexts.erase(m_tableTexts.begin());
    }
    m_tableTexts.emplace_back(table, tableText(table));
    return m_tableTexts.back().second;
}

void CQvWebServerMngr::registerGroup(const _tag_WebServerInfo& definition)
{
    QvStringArray groups;
    groups.add(definition.grpname);
    registerGroups(groups);
}

void CQvWebServerMngr::registerGroups(const QvStringArray& groups)
{
    CQvINIFileMng* file = CEnvMng::getInstance()->getIniFile(ENV_FILE_ENV);
    if (file == nullptr) {
        return;
    }
    // Read, count and write under env.ini's lock, so that processes registering groups at the same
    // time each get their own number.
    const bool stored = file->update(CEnvMng::getFileName(ENV_FILE_ENV), [&groups](CQvINIFileMng& env) {
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
        noteSaveFailure(ENV_FILE_ENV);
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
    return saveSessionFile();
}

bool CQvWebServerMngr::saveSessionFile()
{
    CEnvMng* env = CEnvMng::getInstance();
    if (env->save(kSessionFile) || env->lastError(kSessionFile).isEmpty()) {
        return true;  // stored, or nothing to store
    }
    noteSaveFailure(kSessionFile);
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
    CQvINIFileMng* file = CEnvMng::getInstance()->getIniFile(kSessionFile);
    if (file == nullptr) {
        return ServerEditResult::NotStored;
    }
    // Decided against the file as it is now, under its lock, so that two processes deciding at the
    // same time see each other's outcome.
    ServerEditResult result = ServerEditResult::NotStored;
    QvString group;
    m_inTransaction = true;
    const bool stored = file->update(CEnvMng::getFileName(kSessionFile), [&](CQvINIFileMng&) {
        syncWithStored();
        result = applyEdit(registeredName, base.get(), edited, action, group);
    });
    m_inTransaction = false;
    if (!stored) {
        noteSaveFailure(kSessionFile);
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
