#include "registry/StoredLineReader.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <locale>
#include <sstream>

namespace {

// A \u escape's code point in UTF-8, as the stored form has always been read: a lone surrogate too.
void appendUtf8(std::string& out, unsigned code)
{
    if (code <= 0x7F) {
        out += static_cast<char>(code);
    } else if (code <= 0x7FF) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code <= 0xFFFF) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

bool StoredLineReader::read(std::string_view line, std::string_view knownTypes)
{
    for (Text& text : texts) {
        text = Text();
    }
    isObject = false;
    port = types = State::Absent;
    typeList.clear();
    typesKnown = false;
    m_knownTypes = knownTypes;
    m_decoded.clear();
    m_begin = m_pos = line.data();
    m_end = line.data() + line.size();
    Value root;
    if (!readValue(1, Role::Root, root)) {
        return false;
    }
    isObject = root.kind == Kind::Object;
    return true;
}

void StoredLineReader::skipSpaces()
{
    while (m_pos != m_end && (*m_pos == ' ' || *m_pos == '\t' || *m_pos == '\r' || *m_pos == '\n')) {
        ++m_pos;
    }
}

StoredLineReader::Token StoredLineReader::next()
{
    skipSpaces();
    m_token = m_pos;
    const char c = nextChar();
    switch (c) {
        case '{':
            return Token::ObjectBegin;
        case '}':
            return Token::ObjectEnd;
        case '[':
            return Token::ArrayBegin;
        case ']':
            return Token::ArrayEnd;
        case ',':
            return Token::ArraySeparator;
        case ':':
            return Token::MemberSeparator;
        case '"':
            return readString() ? Token::String : Token::Error;
        case '/':
            return readComment() ? Token::Comment : Token::Error;
        case 't':
            return match("rue") ? Token::Literal : Token::Error;
        case 'f':
            return match("alse") ? Token::Literal : Token::Error;
        case 'n':
            return match("ull") ? Token::Literal : Token::Error;
        case '\0':
            return Token::End;  // the end of the line, or a NUL byte
        default:
            if (c == '-' || (c >= '0' && c <= '9')) {
                readNumber();
                return Token::Number;
            }
            return Token::Error;
    }
}

StoredLineReader::Token StoredLineReader::nextSkippingComments()
{
    Token token = next();
    while (token == Token::Comment) {
        token = next();
    }
    return token;
}

bool StoredLineReader::match(std::string_view rest)
{
    if (static_cast<size_t>(m_end - m_pos) < rest.size() || std::string_view(m_pos, rest.size()) != rest) {
        return false;
    }
    m_pos += rest.size();
    return true;
}

// To the closing quote; a backslash takes the next character along, whatever it is.
bool StoredLineReader::readString()
{
    char c = '\0';
    while (m_pos != m_end) {
        c = nextChar();
        if (c == '\\') {
            nextChar();
        } else if (c == '"') {
            break;
        }
    }
    return c == '"';
}

bool StoredLineReader::readComment()
{
    const char c = nextChar();
    if (c == '*') {
        while (m_pos + 1 < m_end) {
            if (nextChar() == '*' && *m_pos == '/') {
                break;
            }
        }
        return nextChar() == '/';
    }
    if (c != '/') {
        return false;
    }
    while (m_pos != m_end) {
        const char end = nextChar();
        if (end == '\n') {
            break;
        }
        if (end == '\r') {
            if (m_pos != m_end && *m_pos == '\n') {
                ++m_pos;
            }
            break;
        }
    }
    return true;
}

// Digits, then a fraction and an exponent, each optional; what they mean is decodeNumber's business.
void StoredLineReader::readNumber()
{
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    const char* p = m_pos;
    char c = '0';
    const auto step = [&] { c = (m_pos = p) < m_end ? *p++ : '\0'; };
    while (isDigit(c)) {
        step();
    }
    if (c == '.') {
        step();
        while (isDigit(c)) {
            step();
        }
    }
    if (c == 'e' || c == 'E') {
        step();
        if (c == '+' || c == '-') {
            step();
        }
        while (isDigit(c)) {
            step();
        }
    }
}

bool StoredLineReader::readValue(int depth, Role role, Value& out)
{
    if (depth > kMaxDepth) {
        return false;
    }
    out = Value();
    switch (nextSkippingComments()) {
        case Token::ObjectBegin:
            out.kind = Kind::Object;
            return readObject(depth, role);
        case Token::ArrayBegin:
            return readArray(depth);
        case Token::Number:
            return decodeNumber(out);
        case Token::String:
            out.kind = Kind::String;
            return decodeString(out.text);
        case Token::Literal:
            return true;
        default:
            return false;
    }
}

bool StoredLineReader::readObject(int depth, Role role)
{
    const char* open = m_token;
    if (role == Role::Types) {
        typeList.clear();
        typesKnown = skipKnownTypes();
        typesBegin = static_cast<size_t>(open - m_begin);
        if (typesKnown) {
            typesEnd = static_cast<size_t>(m_pos - m_begin);
            return true;
        }
    }
    // An object closes at once only before its first member, or after a comma that follows a member
    // of empty name: so the stored form has always been read.
    bool lastNameEmpty = true;
    for (;;) {
        Token token = nextSkippingComments();
        if (token == Token::ObjectEnd && lastNameEmpty) {
            break;
        }
        std::string_view name;
        if (token != Token::String || !decodeString(name) || next() != Token::MemberSeparator) {
            return false;
        }
        lastNameEmpty = name.empty();
        const bool isTypes = role == Role::Root && name == "contentstype";
        Value value;
        if (!readValue(depth + 1, isTypes ? Role::Types : Role::Other, value)) {
            return false;
        }
        if (role == Role::Root) {
            setMember(name, value);
        } else if (role == Role::Types) {
            typeList.push_back({name, value.text, value.kind == Kind::String});
        }
        token = next();
        if (token != Token::ObjectEnd && token != Token::ArraySeparator && token != Token::Comment) {
            return false;
        }
        // After a comment any token but the closing brace stands for the comma.
        while (token == Token::Comment) {
            token = next();
        }
        if (token == Token::ObjectEnd) {
            break;
        }
    }
    if (role == Role::Types) {
        typesEnd = static_cast<size_t>(m_pos - m_begin);
    }
    return true;
}

bool StoredLineReader::readArray(int depth)
{
    skipSpaces();
    if (m_pos != m_end && *m_pos == ']') {
        ++m_pos;
        return true;
    }
    for (;;) {
        Value value;
        if (!readValue(depth + 1, Role::Other, value)) {
            return false;
        }
        const Token token = nextSkippingComments();
        if (token == Token::ArrayEnd) {
            return true;
        }
        if (token != Token::ArraySeparator) {
            return false;
        }
    }
}

void StoredLineReader::setMember(std::string_view name, const Value& value)
{
    static constexpr std::string_view kMembers[] = {"name", "grpname", "basepath", "basehtml", "port", "contentstype"};
    const auto member = static_cast<int>(std::find(std::begin(kMembers), std::end(kMembers), name) - kMembers);
    if (member < kPort) {
        texts[member] = {value.kind == Kind::String ? State::Good : State::WrongType, value.text};
    } else if (member == kPort) {
        port = value.kind == Kind::Int ? State::Good : State::WrongType;
        portValue = value.number;
    } else if (member == kTypes) {
        types = value.kind == Kind::Object ? State::Good : State::WrongType;
    }
}

// The text of the string token just read, its escapes decoded.
bool StoredLineReader::decodeString(std::string_view& out)
{
    const char* current = m_token + 1;
    const char* end = m_pos - 1;
    const std::string_view raw(current, static_cast<size_t>(end - current));
    if (raw.find('\\') == std::string_view::npos) {
        out = raw;
        return true;
    }
    std::string& decoded = m_decoded.emplace_back();
    decoded.reserve(raw.size());
    while (current != end) {
        const char c = *current++;
        if (c != '\\') {
            decoded += c;
            continue;
        }
        if (current == end) {
            return false;
        }
        const char escape = *current++;
        static constexpr std::string_view kEscapes = "\"\"//\\\\b\bf\fn\nr\rt\t";
        if (escape == 'u') {
            unsigned code = 0;
            if (!decodeCodeUnit(current, end, code)) {
                return false;
            }
            appendUtf8(decoded, code);
            continue;
        }
        const size_t at = kEscapes.find(escape);
        if (at == std::string_view::npos || at % 2 != 0) {
            return false;
        }
        decoded += kEscapes[at + 1];
    }
    out = decoded;
    return true;
}

// The code point of a \u escape at current (its "\u" read already); a high surrogate takes the next
// \u escape as its low half, whatever its value.
bool StoredLineReader::decodeCodeUnit(const char*& current, const char* end, unsigned& code)
{
    const auto hex4 = [&current, end](unsigned& value) {
        if (end - current < 4) {
            return false;
        }
        value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = *current++;
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) {
                return false;
            }
            value = value * 16 + static_cast<unsigned>(digit);
        }
        return true;
    };
    if (!hex4(code)) {
        return false;
    }
    if (code < 0xD800 || code > 0xDBFF) {
        return true;
    }
    if (end - current < 6 || *current++ != '\\' || *current++ != 'u') {
        return false;
    }
    unsigned low = 0;
    if (!hex4(low)) {
        return false;
    }
    code = 0x10000 + ((code & 0x3FFu) << 10) + (low & 0x3FFu);
    return true;
}

// An integer that fits 64 bits is exact; anything else is read as a real.
bool StoredLineReader::decodeNumber(Value& out)
{
    const char* current = m_token;
    const bool negative = *current == '-';
    current += negative ? 1 : 0;
    const uint64_t limit = negative ? static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1
                                    : std::numeric_limits<uint64_t>::max();
    uint64_t value = 0;
    while (current < m_pos) {
        const char c = *current++;
        if (c < '0' || c > '9') {
            return decodeReal(out);
        }
        const auto digit = static_cast<uint64_t>(c - '0');
        if (value >= limit / 10 && (value > limit / 10 || current != m_pos || digit > limit % 10)) {
            return decodeReal(out);
        }
        value = value * 10 + digit;
    }
    const uint64_t intLimit = negative ? uint64_t{1} << 31 : static_cast<uint64_t>(std::numeric_limits<int>::max());
    out.kind = value <= intLimit ? Kind::Int : Kind::Number;
    out.number = value > intLimit ? 0
                 : negative       ? static_cast<int>(-static_cast<int64_t>(value))
                                  : static_cast<int>(value);
    return true;
}

// As the C++ stream reads it in the classic locale; a whole value within int's range counts as one.
bool StoredLineReader::decodeReal(Value& out)
{
    std::istringstream in(std::string(m_token, m_pos));
    in.imbue(std::locale::classic());
    double value = 0;
    if (!(in >> value)) {
        return false;
    }
    double whole = 0;
    const bool isInt = value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max() &&
                       std::modf(value, &whole) == 0.0;
    out.kind = isInt ? Kind::Int : Kind::Number;
    out.number = isInt ? static_cast<int>(value) : 0;
    return true;
}

// Nearly every line carries the same few-kilobyte table, most of the parsing work. When the object
// just opened is exactly the known table's text, the reader moves past it: an object's text reads
// the same wherever it stands, so that text gives the table read before.
bool StoredLineReader::skipKnownTypes()
{
    const size_t left = static_cast<size_t>(m_end - m_token);
    const size_t size = m_knownTypes.size();
    if (size < 2 || left < size || std::memcmp(m_token, m_knownTypes.data(), size) != 0) {
        return false;
    }
    m_pos = m_token + size;
    return true;
}
