#include "registry/DefinitionCodec.h"

#include <json/json.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "foundation/QvCodePage.h"
#include "webserver/WebServerInfo.h"

namespace {

// Lines the stored-line reader does not take (comments, reals, control characters in texts) are
// read with comments allowed, as session.ini has always been read.
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

// The code point of the UTF-8 sequence at s, moving s to its last byte; U+FFFD for a sequence cut
// short, too long for its value, or a surrogate. The stored form has always escaped what this yields.
unsigned codePointAt(const char*& s, const char* end)
{
    constexpr unsigned kReplacement = 0xFFFD;
    const auto byte = [&s](int i) { return static_cast<unsigned>(static_cast<unsigned char>(s[i])) & 0x3Fu; };
    const auto first = static_cast<unsigned>(static_cast<unsigned char>(*s));
    if (first < 0x80) {
        return first;
    }
    if (first < 0xE0) {
        if (end - s < 2) {
            return kReplacement;
        }
        const unsigned value = ((first & 0x1Fu) << 6) | byte(1);
        s += 1;
        return value < 0x80 ? kReplacement : value;
    }
    if (first < 0xF0) {
        if (end - s < 3) {
            return kReplacement;
        }
        const unsigned value = ((first & 0x0Fu) << 12) | (byte(1) << 6) | byte(2);
        s += 2;
        return (value >= 0xD800 && value <= 0xDFFF) || value < 0x800 ? kReplacement : value;
    }
    if (first < 0xF8) {
        if (end - s < 4) {
            return kReplacement;
        }
        const unsigned value = ((first & 0x07u) << 18) | (byte(1) << 12) | (byte(2) << 6) | byte(3);
        s += 3;
        return value < 0x10000 ? kReplacement : value;
    }
    return kReplacement;
}

void appendEscape(std::string& out, unsigned unit)
{
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) {
        out += kHex[(unit >> shift) & 0xFu];
    }
}

// Appends utf8 quoted as the stored form has it: ASCII only, the short escapes for quote, backslash
// and five controls, every other control and non-ASCII code point as \u escapes (pairs above U+FFFF).
void appendQuotedUtf8(std::string& out, std::string_view utf8)
{
    out += '"';
    const char* end = utf8.data() + utf8.size();
    for (const char* c = utf8.data(); c != end; ++c) {
        switch (*c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: {
                unsigned code = codePointAt(c, end);
                if (code >= 0x20 && code < 0x80) {
                    out += static_cast<char>(code);
                } else if (code < 0x10000) {
                    appendEscape(out, code);
                } else {
                    code -= 0x10000;
                    appendEscape(out, 0xD800 + ((code >> 10) & 0x3FFu));
                    appendEscape(out, 0xDC00 + (code & 0x3FFu));
                }
            }
        }
    }
    out += '"';
}

// Appends text quoted; plain printable ASCII (nearly every stored text) is copied straight.
void appendQuoted(std::string& out, const QvString& text)
{
    const std::u16string_view view = text.view();
    const bool plain = std::all_of(view.begin(), view.end(),
                                   [](char16_t c) { return c >= 0x20 && c < 0x7F && c != u'"' && c != u'\\'; });
    if (!plain) {
        appendQuotedUtf8(out, text.toUtf8());
        return;
    }
    out += '"';
    for (const char16_t c : view) {
        out += static_cast<char>(c);
    }
    out += '"';
}

// The stored text of a content-type table ("{...}"): members in the byte order of their UTF-8
// names (not the map's UTF-16 order), of names equal in UTF-8 the one later in the map.
std::string tableText(const QvMap<QvString, QvString>& table)
{
    std::map<std::string, const QvString*> sorted;
    for (const auto& [extension, type] : table) {
        sorted.insert_or_assign(extension.toUtf8(), &type);
    }
    std::string out = "{";
    for (const auto& [extension, type] : sorted) {
        if (out.size() > 1) {
            out += ',';
        }
        appendQuotedUtf8(out, extension);
        out += ':';
        appendQuoted(out, *type);
    }
    return out + "}";
}

// The stored line of a definition: compact JSON, members sorted by name, no newline. types is
// tableText(definition.contentstype).
std::string storedText(const _tag_WebServerInfo& definition, const std::string& types)
{
    std::string out;
    out.reserve(128 + types.size());
    out += "{\"basehtml\":";
    appendQuoted(out, definition.basehtml);
    out += ",\"basepath\":";
    appendQuoted(out, definition.basepath);
    out += ",\"contentstype\":" + types + ",\"grpname\":";
    appendQuoted(out, definition.grpname);
    out += ",\"name\":";
    appendQuoted(out, definition.name);
    out += ",\"port\":" + std::to_string(definition.port) + "}";
    return out;
}

}  // namespace

struct DefinitionCodec::Reading {
    TextPool texts;
    StoredLineReader reader;
};

DefinitionCodec::DefinitionCodec() = default;
DefinitionCodec::~DefinitionCodec() = default;

std::unique_ptr<_tag_WebServerInfo> DefinitionCodec::parse(std::string_view line)
{
    if (!m_reading) {
        m_reading = std::make_unique<Reading>();
    }
    return definitionFromJson(line, m_reading->texts, m_reading->reader);
}

std::string DefinitionCodec::write(const _tag_WebServerInfo& definition)
{
    return storedText(definition, tableTextOf(definition.contentstype));
}

const std::string& DefinitionCodec::tableTextOf(const QvMap<QvString, QvString>& table)
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
