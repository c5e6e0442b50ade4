#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qvplat {

// How a settings file's bytes are encoded. Files from a Windows machine may be ANSI (bytes that
// are not valid UTF-8 read as Windows-1252) or UTF-16 with a byte-order mark.
enum class IniEncoding { Utf8, Utf8Bom, Utf16Le, Utf16Be, Windows1252 };

// One INI file's text with the profile calls' rules, kept as the file's own bytes: lines nobody
// changed are written back exactly as read (encoding, line ends, spacing, comments), so a file
// carried over from another system survives a write of one key. Pure: no I/O. Not thread-safe.
//
// Reading: every line is trimmed (CR and ^Z count as white space); "[name]" starts a section whose
// name runs to the last "]"; ";" starts a comment; a key line is "name=value" (both trimmed) or a
// bare name. Lines before the first section belong to none. Names match without regard to case.
class IniDocument {
public:
    // A key line in UTF-8, the files' own form, so that a caller decodes only what it uses (a
    // server list holds tens of megabytes of values). The views live until the visit returns.
    struct Entry {
        std::string_view name;
        std::string_view value;
        bool hasValue = false;  // the line had "="
    };

    IniDocument();  // an empty UTF-8 file with LF line ends
    explicit IniDocument(std::string bytes);

    IniEncoding encoding() const { return m_target; }
    bool usesCrlf() const { return m_eol.size() == 2; }

    // The names of every "[section]" line in file order (duplicates included, empty names left out).
    std::vector<std::u16string> sectionNames() const;
    // Visits the key lines of the first section named name, in file order; comments and lines
    // with an empty name are left out. False when there is no such section.
    bool forEachEntry(std::u16string_view name, const std::function<void(const Entry&)>& visit) const;

    // WritePrivateProfileString: an existing key keeps its place and spelling and gets the value;
    // a new key goes after the last line of its section, a new section (after an empty line) to the
    // end. A null value deletes the key. Names and value are trimmed. True when the text changed.
    bool write(std::u16string_view section, std::u16string_view key, const char16_t* value);

    bool isModified() const { return m_modified; }
    // The file's bytes. A Windows-1252 file that received a character it cannot hold becomes UTF-8.
    std::string serialize() const;
    // The bytes the document was made from.
    const std::string& original() const { return m_bytes; }
    // When every change adds lines at the end of the file (a new key of the last section, new
    // sections), the bytes serialize() puts behind original(); else nothing. Lets a save of a
    // large file write the bytes it holds rather than build a copy of them.
    std::optional<std::string> appendedBytes() const;

private:
    enum class Kind { Blank, Comment, Header, Key };
    struct Line {
        std::size_t begin = 0;  // content bytes [begin, end), line end [end, next)
        std::size_t end = 0;
        std::size_t next = 0;
        std::size_t equals = 0;  // offset of "=" in a key line; end when there is none
        Kind kind = Kind::Blank;
        int section = -1;
        bool added = false;     // not from the file: text below is the whole content
        bool replaced = false;  // a key line whose value changed: written as name=value
        bool deleted = false;
        bool blankBefore = false;  // a new section's header: an empty line goes first
        std::u16string name;       // added or replaced lines, and headers
        std::u16string value;
        std::vector<std::size_t> after;  // lines added behind this one, in order
    };
    struct Section {
        std::u16string name;
        std::size_t header = 0;
        std::size_t anchor = 0;  // the line new keys are added behind
        std::vector<std::size_t> lines;
        std::unordered_map<std::u16string, std::size_t> keys;  // folded name -> first line
        bool indexed = false;
    };

    // A key line's name and value as UTF-16, trimmed, NULs replaced.
    struct Text {
        std::u16string name;
        std::u16string value;
        bool hasValue = false;
    };

    void split();
    // Offset of the next line feed at or after pos, or size.
    std::size_t findLineFeed(std::size_t pos, std::size_t size) const;
    // Offset of the first (last) code unit equal to unit in [first, end), or end.
    std::size_t findFirst(char16_t unit, std::size_t first, std::size_t end) const;
    std::size_t findLast(char16_t unit, std::size_t first, std::size_t end) const;
    // Sets the kind (and a header's name or a key's "=") of a line whose bounds are known;
    // a header opens a new section.
    void classify(Line& line, std::size_t index);
    void attachToSection(Line& line, std::size_t index);
    std::u16string decode(std::size_t begin, std::size_t end) const;
    std::string encode(std::u16string_view text, bool* lossless = nullptr) const;
    char16_t unitAt(std::size_t pos) const;
    std::u16string keyName(const Line& line) const;
    Text textOf(const Line& line) const;
    Entry entryOf(const Line& line, std::string& nameScratch, std::string& valueScratch) const;
    Section* findSection(std::u16string_view name);
    const Section* findSection(std::u16string_view name) const;
    std::size_t findKey(Section& section, std::u16string_view key);
    std::size_t addLine(Line line);
    void noteText(std::u16string_view text);
    // Appends line index and the lines added behind it; before counts the file's bytes that
    // precede out (out holds only a tail of the file).
    void emit(std::string& out, std::size_t index, bool& open, std::size_t before = 0) const;

    std::string m_bytes;
    IniEncoding m_source = IniEncoding::Utf8;
    IniEncoding m_target = IniEncoding::Utf8;
    std::size_t m_bom = 0;
    std::size_t m_unit = 1;
    std::u16string m_eol = u"\n";
    std::vector<Line> m_lines;
    std::size_t m_originalLines = 0;
    std::vector<std::size_t> m_tail;  // new sections' headers
    std::vector<Section> m_sections;
    std::unordered_map<std::u16string, std::size_t> m_sectionIndex;  // folded name -> first section
    bool m_modified = false;
};

// The profile format's white space: CR and ^Z (the old end-of-file mark) count, as for Windows.
std::u16string_view iniTrim(std::u16string_view text);
// Simple case folding for the scripts names are written in: Latin, Greek, Cyrillic.
std::u16string iniFold(std::u16string_view text);

}  // namespace qvplat
