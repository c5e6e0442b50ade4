#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

// Reads a stored line into the members a definition takes, with the grammar session.ini's lines have
// always been read with: JSON plus /* */ and // comments, numbers as the C++ stream reads them, text
// after the first value ignored, nesting refused past kMaxDepth. Texts without escapes are views
// into the line; the others are decoded into the reader's own storage. Only the object's own members
// and those of its "contentstype" object are kept.
class StoredLineReader {
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

    // False when the line is no JSON value; isObject tells whether it is an object. The members are
    // valid until the next read. knownTypes is the text of a content-type table the caller has read
    // already: a "contentstype" object written exactly so is not parsed again (typesKnown, typeList
    // left empty).
    bool read(std::string_view line, std::string_view knownTypes = {});

    bool isObject = false;
    Text texts[4];  // name, grpname, basepath, basehtml
    State port = State::Absent;
    int portValue = 0;
    State types = State::Absent;
    size_t typesBegin = 0;  // the table's text in the line: [typesBegin, typesEnd)
    size_t typesEnd = 0;
    std::vector<Type> typeList;  // in line order, repeated extensions included
    bool typesKnown = false;     // "contentstype" held the caller's known table text

private:
    enum class Token {
        End,
        ObjectBegin,
        ObjectEnd,
        ArrayBegin,
        ArrayEnd,
        String,
        Number,
        Literal,
        ArraySeparator,
        MemberSeparator,
        Comment,
        Error
    };
    enum class Role { Root, Types, Other };  // whose members an object holds
    enum class Kind { String, Int, Number, Object, Other };
    struct Value {
        Kind kind = Kind::Other;
        std::string_view text;
        int number = 0;
    };
    static constexpr int kMaxDepth = 1000;  // the nesting the stored form's reader has always refused past
    static constexpr int kPort = 4;
    static constexpr int kTypes = 5;

    char nextChar() { return m_pos == m_end ? '\0' : *m_pos++; }
    bool match(std::string_view rest);
    void skipSpaces();
    Token next();
    Token nextSkippingComments();
    bool readString();
    bool readComment();
    void readNumber();
    bool readValue(int depth, Role role, Value& out);
    bool readObject(int depth, Role role);
    bool readArray(int depth);
    bool decodeString(std::string_view& out);
    bool decodeCodeUnit(const char*& current, const char* end, unsigned& unit);
    bool decodeNumber(Value& out);
    bool decodeReal(Value& out);
    void setMember(std::string_view name, const Value& value);
    bool skipKnownTypes();

    const char* m_begin = nullptr;
    const char* m_pos = nullptr;
    const char* m_end = nullptr;
    const char* m_token = nullptr;  // where the last token began
    std::string_view m_knownTypes;
    std::deque<std::string> m_decoded;  // texts with escapes, for the current line
};
