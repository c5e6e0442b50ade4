#include "registry/DefinitionCodec.h"

#include <algorithm>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "foundation/QvCodePage.h"
#include "registry/StoredLineReader.h"
#include "webserver/WebServerInfo.h"

namespace {

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

// The content-type table of a stored line: extensions in byte order, the last of a
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

// Builds a record from one stored line; null when the line is not a usable definition. A member
// of the wrong type makes the whole entry unusable rather than half-read.
std::unique_ptr<_tag_WebServerInfo> definitionFromLine(std::string_view utf8, TextPool& textOf,
                                                       StoredLineReader& reader)
{
    if (!reader.read(utf8, textOf.lastTableText()) || !reader.isObject) {
        return nullptr;
    }
    using State = StoredLineReader::State;
    for (const auto& text : reader.texts) {
        if (text.state == State::WrongType) {
            return nullptr;
        }
    }
    if (reader.port == State::WrongType || reader.types == State::WrongType || reader.texts[0].value.empty()) {
        return nullptr;  // the empty name also covers a missing one: a nameless server could never be addressed
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
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
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
    return definitionFromLine(line, m_reading->texts, m_reading->reader);
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
