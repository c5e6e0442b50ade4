#include "platform/IniDocument.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/posix/Utf8.h"

namespace qvplat {
namespace {

bool isProfileSpace(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f' || c == 0x1A;
}

char16_t foldCase(char16_t c)
{
    if (c < 0x80) {
        return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    }
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
        (c >= 0x410 && c <= 0x42F)) {
        return static_cast<char16_t>(c + 32);
    }
    if (c >= 0x400 && c <= 0x40F) {
        return static_cast<char16_t>(c + 80);
    }
    if (c >= 0x100 && c <= 0x17F) {
        // Latin Extended-A pairs upper/lower case as even/odd, except between U+0139 and U+0148
        // and between U+0179 and U+017E, where the upper case letter is odd.
        const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x178 || c == 0x17F) {
            return c;
        }
        if (oddUpper ? (c % 2 == 1) : (c % 2 == 0)) {
            return static_cast<char16_t>(c + 1);
        }
    }
    return c;
}

// Trims without copying: a stored value runs to thousands of characters.
void trimInPlace(std::u16string& text)
{
    const std::u16string_view trimmed = iniTrim(text);
    const std::size_t begin = static_cast<std::size_t>(trimmed.data() - text.data());
    text.resize(begin + trimmed.size());
    text.erase(0, begin);
}

std::string_view trimBytes(std::string_view text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isProfileSpace(static_cast<unsigned char>(text[begin]))) {
        ++begin;
    }
    while (end > begin && isProfileSpace(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    return text.substr(begin, end - begin);
}

}  // namespace

std::u16string_view iniTrim(std::u16string_view text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isProfileSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && isProfileSpace(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

std::u16string iniFold(std::u16string_view text)
{
    std::u16string out(text);
    for (char16_t& c : out) {
        c = foldCase(c);
    }
    return out;
}

IniDocument::IniDocument() = default;

IniDocument::IniDocument(std::string bytes) : m_bytes(std::move(bytes))
{
    const auto byte = [this](std::size_t i) { return static_cast<unsigned char>(m_bytes[i]); };
    if (m_bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE) {
        m_source = IniEncoding::Utf16Le;
        m_bom = 2;
    } else if (m_bytes.size() >= 2 && byte(0) == 0xFE && byte(1) == 0xFF) {
        m_source = IniEncoding::Utf16Be;
        m_bom = 2;
    } else if (m_bytes.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
        m_source = IniEncoding::Utf8Bom;
        m_bom = 3;
    } else if (!detail::isValidUtf8(m_bytes) && !detail::holdsUtf8MultiByte(m_bytes)) {
        // ANSI only when nothing in the file is UTF-8: a UTF-8 file with a stray byte keeps its
        // text, and the stray byte stays as it is in every line nobody changes.
        m_source = IniEncoding::Windows1252;
    }
    m_target = m_source;
    m_unit = (m_source == IniEncoding::Utf16Le || m_source == IniEncoding::Utf16Be) ? 2 : 1;
    split();
}

char16_t IniDocument::unitAt(std::size_t pos) const
{
    const auto b = [this](std::size_t i) { return static_cast<unsigned char>(m_bytes[i]); };
    switch (m_source) {
        case IniEncoding::Utf16Le:
            return static_cast<char16_t>(b(pos) | (b(pos + 1) << 8));
        case IniEncoding::Utf16Be:
            return static_cast<char16_t>((b(pos) << 8) | b(pos + 1));
        default:
            return b(pos);  // ASCII is all the line structure needs
    }
}

std::u16string IniDocument::decode(std::size_t begin, std::size_t end) const
{
    const std::string_view raw(m_bytes.data() + begin, end - begin);
    std::u16string text;
    switch (m_source) {
        case IniEncoding::Utf8:
        case IniEncoding::Utf8Bom:
            text = detail::fromUtf8(raw);
            break;
        case IniEncoding::Windows1252:
            text = detail::fromWindows1252(raw);
            break;
        default:
            text.reserve(raw.size() / 2);
            for (std::size_t i = begin; i + 1 < end; i += 2) {
                text += unitAt(i);
            }
            break;
    }
    return text;
}

std::string IniDocument::encode(std::u16string_view text, bool* lossless) const
{
    switch (m_target) {
        case IniEncoding::Utf8:
        case IniEncoding::Utf8Bom:
            return detail::toUtf8(text);
        case IniEncoding::Windows1252:
            return detail::toWindows1252(text, lossless);
        default: {
            std::string out;
            out.reserve(text.size() * 2);
            const bool little = m_target == IniEncoding::Utf16Le;
            for (const char16_t c : text) {
                out += static_cast<char>(little ? (c & 0xFF) : (c >> 8));
                out += static_cast<char>(little ? (c >> 8) : (c & 0xFF));
            }
            return out;
        }
    }
}

std::size_t IniDocument::findLineFeed(std::size_t pos, std::size_t size) const
{
    if (m_unit == 1) {
        const void* nl = std::memchr(m_bytes.data() + pos, '\n', size - pos);
        return nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - m_bytes.data()) : size;
    }
    std::size_t end = pos;
    while (end < size && unitAt(end) != u'\n') {
        end += m_unit;
    }
    return end;
}

std::size_t IniDocument::findLast(char16_t unit, std::size_t first, std::size_t end) const
{
    for (std::size_t i = end; i > first;) {
        i -= m_unit;
        if (unitAt(i) == unit) {
            return i;
        }
    }
    return end;
}

std::size_t IniDocument::findFirst(char16_t unit, std::size_t first, std::size_t end) const
{
    for (std::size_t i = first; i < end; i += m_unit) {
        if (unitAt(i) == unit) {
            return i;
        }
    }
    return end;
}

void IniDocument::classify(Line& line, std::size_t index)
{
    std::size_t first = line.begin;
    while (first < line.end && isProfileSpace(unitAt(first))) {
        first += m_unit;
    }
    if (first == line.end) {
        line.kind = Kind::Blank;
        return;
    }
    if (unitAt(first) == u';') {
        line.kind = Kind::Comment;
        return;
    }
    // A header's name runs to the last "]"; "[" without one is a key line.
    const std::size_t close = unitAt(first) == u'[' ? findLast(u']', first, line.end) : line.end;
    if (close == line.end) {
        line.kind = Kind::Key;
        line.equals = findFirst(u'=', first, line.end);
        return;
    }
    line.kind = Kind::Header;
    line.name = std::u16string(iniTrim(decode(first + m_unit, close)));
    Section section;
    section.name = line.name;
    section.header = index;
    section.anchor = index;
    m_sectionIndex.try_emplace(iniFold(section.name), m_sections.size());
    m_sections.push_back(std::move(section));
}

void IniDocument::attachToSection(Line& line, std::size_t index)
{
    if (m_sections.empty()) {
        return;
    }
    line.section = static_cast<int>(m_sections.size()) - 1;
    Section& section = m_sections.back();
    if (line.kind != Kind::Header) {
        section.lines.push_back(index);
        if (line.kind != Kind::Blank) {
            section.anchor = index;
        }
    }
}

void IniDocument::split()
{
    // An odd byte at the end of a UTF-16 file is no character; it stays behind the last line.
    const std::size_t size = m_bom + ((m_bytes.size() - m_bom) / m_unit) * m_unit;
    bool eolKnown = false;
    std::size_t pos = m_bom;
    while (pos < size) {
        Line line;
        line.begin = pos;
        std::size_t end = findLineFeed(pos, size);
        line.next = end < size ? end + m_unit : size;
        if (end < size && end > pos && unitAt(end - m_unit) == u'\r') {
            end -= m_unit;
        }
        line.end = end;
        if (!eolKnown && line.next != end) {
            m_eol = line.next - end == 2 * m_unit ? u"\r\n" : u"\n";
            eolKnown = true;
        }
        pos = line.next;

        const std::size_t index = m_lines.size();
        classify(line, index);
        attachToSection(line, index);
        m_lines.push_back(std::move(line));
    }
    m_originalLines = m_lines.size();
}

std::u16string IniDocument::keyName(const Line& line) const
{
    if (line.added || line.replaced) {
        return line.name;
    }
    std::u16string name = decode(line.begin, line.equals);
    trimInPlace(name);
    return name;
}

IniDocument::Text IniDocument::textOf(const Line& line) const
{
    Text text;
    text.name = keyName(line);
    if (line.added || line.replaced) {
        text.value = line.value;
        text.hasValue = true;
    } else if (line.equals != line.end) {
        text.value = decode(line.equals + m_unit, line.end);
        trimInPlace(text.value);
        text.hasValue = true;
    }
    // A NUL would end a string of the profile calls' lists early.
    for (std::u16string* part : {&text.name, &text.value}) {
        std::replace(part->begin(), part->end(), u'\0', u'\uFFFD');
    }
    return text;
}

IniDocument::Entry IniDocument::entryOf(const Line& line, std::string& nameScratch, std::string& valueScratch) const
{
    const bool utf8 = m_source == IniEncoding::Utf8 || m_source == IniEncoding::Utf8Bom;
    if (!utf8 || line.added || line.replaced) {
        const Text text = textOf(line);
        nameScratch = detail::toUtf8(text.name);
        valueScratch = detail::toUtf8(text.value);
        return Entry{nameScratch, valueScratch, text.hasValue};
    }
    // An untouched line of a UTF-8 file holds its text already; the profile's white space is ASCII,
    // which never occurs inside a longer UTF-8 sequence, so trimming bytes trims characters.
    Entry entry;
    const std::string_view bytes(m_bytes);
    entry.name = trimBytes(bytes.substr(line.begin, line.equals - line.begin));
    if (line.equals != line.end) {
        entry.value = trimBytes(bytes.substr(line.equals + 1, line.end - line.equals - 1));
        entry.hasValue = true;
    }
    // A NUL would end a string of the profile calls' lists early.
    for (auto [part, scratch] : {std::pair(&entry.name, &nameScratch), std::pair(&entry.value, &valueScratch)}) {
        if (part->find('\0') != std::string_view::npos) {
            scratch->clear();
            for (const char c : *part) {
                *scratch += c == '\0' ? std::string_view("\xEF\xBF\xBD") : std::string_view(&c, 1);
            }
            *part = *scratch;
        }
    }
    return entry;
}

std::vector<std::u16string> IniDocument::sectionNames() const
{
    std::vector<std::u16string> names;
    for (const Section& section : m_sections) {
        if (!section.name.empty()) {
            names.push_back(section.name);
        }
    }
    return names;
}

const IniDocument::Section* IniDocument::findSection(std::u16string_view name) const
{
    const auto it = m_sectionIndex.find(iniFold(name));
    return it == m_sectionIndex.end() ? nullptr : &m_sections[it->second];
}

IniDocument::Section* IniDocument::findSection(std::u16string_view name)
{
    return const_cast<Section*>(static_cast<const IniDocument*>(this)->findSection(name));
}

bool IniDocument::forEachEntry(std::u16string_view name, const std::function<void(const Entry&)>& visit) const
{
    const Section* section = findSection(iniTrim(name));
    if (section == nullptr) {
        return false;
    }
    // Lines added behind the anchor come right after it, as the file will have them.
    std::string nameScratch;
    std::string valueScratch;
    const auto visitLine = [&](std::size_t index, auto& self) -> void {
        const Line& line = m_lines[index];
        if (!line.deleted && line.kind == Kind::Key) {
            const Entry entry = entryOf(line, nameScratch, valueScratch);
            if (!entry.name.empty()) {
                visit(entry);
            }
        }
        for (std::size_t added : line.after) {
            self(added, self);
        }
    };
    if (!m_lines[section->header].after.empty()) {
        for (std::size_t added : m_lines[section->header].after) {
            visitLine(added, visitLine);
        }
    }
    for (std::size_t index : section->lines) {
        if (!m_lines[index].added) {
            visitLine(index, visitLine);
        }
    }
    return true;
}

std::size_t IniDocument::findKey(Section& section, std::u16string_view key)
{
    if (!section.indexed) {
        section.keys.clear();
        for (std::size_t index : section.lines) {
            const Line& line = m_lines[index];
            if (line.kind == Kind::Key && !line.deleted) {
                section.keys.try_emplace(iniFold(keyName(line)), index);
            }
        }
        section.indexed = true;
    }
    const auto it = section.keys.find(iniFold(key));
    return it == section.keys.end() ? m_lines.size() : it->second;
}

std::size_t IniDocument::addLine(Line line)
{
    line.added = true;
    m_lines.push_back(std::move(line));
    return m_lines.size() - 1;
}

void IniDocument::noteText(std::u16string_view text)
{
    bool lossless = true;
    encode(text, &lossless);
    if (!lossless) {
        m_target = IniEncoding::Utf8;  // keep the text rather than the encoding
    }
}

bool IniDocument::write(std::u16string_view sectionName, std::u16string_view keyText, const char16_t* value)
{
    const std::u16string_view name = iniTrim(sectionName);
    const std::u16string_view key = iniTrim(keyText);
    Section* section = findSection(name);
    const std::size_t found = section != nullptr ? findKey(*section, key) : m_lines.size();
    if (value == nullptr) {
        if (found == m_lines.size()) {
            return false;
        }
        m_lines[found].deleted = true;
        section->indexed = false;  // a later line of the same name now answers
        m_modified = true;
        return true;
    }
    const std::u16string_view newValue = iniTrim(value);
    if (found != m_lines.size()) {
        Line& line = m_lines[found];
        const Text current = textOf(line);
        if (current.hasValue && current.value == newValue) {
            return false;
        }
        line.name = current.name;
        line.value = std::u16string(newValue);
        line.replaced = true;
        noteText(line.value);
        m_modified = true;
        return true;
    }
    if (section == nullptr) {
        Line header;
        header.kind = Kind::Header;
        header.name = std::u16string(name);
        header.blankBefore = true;
        header.section = static_cast<int>(m_sections.size());
        const std::size_t index = addLine(std::move(header));
        m_tail.push_back(index);
        Section added;
        added.name = std::u16string(name);
        added.header = index;
        added.anchor = index;
        added.indexed = true;
        m_sectionIndex.try_emplace(iniFold(added.name), m_sections.size());
        m_sections.push_back(std::move(added));
        section = &m_sections.back();
        noteText(name);
    }
    Line line;
    line.kind = Kind::Key;
    line.section = m_lines[section->header].section;
    line.name = std::u16string(key);
    line.value = std::u16string(newValue);
    noteText(line.name);
    noteText(line.value);
    const std::size_t index = addLine(std::move(line));
    // The anchor's list keeps the added keys in the order they came.
    m_lines[section->anchor].after.push_back(index);
    section->lines.push_back(index);
    if (section->indexed) {
        section->keys.try_emplace(iniFold(key), index);
    }
    m_modified = true;
    return true;
}

void IniDocument::emit(std::string& out, std::size_t index, bool& open, std::size_t before) const
{
    const Line& line = m_lines[index];
    if (!line.deleted) {
        if (open) {
            out += encode(m_eol);  // the line before had no line end (the file's last line)
            open = false;
        }
        if (line.added || line.replaced) {
            if (line.blankBefore && before + out.size() > m_bom) {
                out += encode(m_eol);
            }
            std::u16string text;
            if (line.kind == Kind::Header) {
                text = u"[" + line.name + u"]";
            } else {
                text = line.name + u"=" + line.value;
            }
            out += encode(text);
            if (line.added) {
                out += encode(m_eol);
            } else if (line.next == line.end) {
                open = true;
            } else {
                if (m_source == m_target) {
                    out.append(m_bytes, line.end, line.next - line.end);
                } else {
                    out += encode(decode(line.end, line.next));
                }
            }
        } else {
            if (m_source == m_target) {
                out.append(m_bytes, line.begin, line.next - line.begin);  // no copy of its own: lines run long
            } else {
                out += encode(decode(line.begin, line.next));
            }
            open = line.next == line.end;
        }
    }
    for (std::size_t added : line.after) {
        emit(out, added, open, before);
    }
}

std::string IniDocument::serialize() const
{
    if (!m_modified) {
        return m_bytes;
    }
    std::string out;
    out.reserve(m_bytes.size() + 256);
    // A file that turned from Windows-1252 into UTF-8 has no mark to keep.
    if (m_source == m_target) {
        out.append(m_bytes, 0, m_bom);
    }
    bool open = false;
    for (std::size_t i = 0; i < m_originalLines; ++i) {
        emit(out, i, open);
    }
    for (std::size_t header : m_tail) {
        emit(out, header, open);
    }
    const std::size_t size = m_bom + ((m_bytes.size() - m_bom) / m_unit) * m_unit;
    out.append(m_bytes, size, std::string::npos);
    return out;
}

std::optional<std::string> IniDocument::appendedBytes() const
{
    // serialize() keeps the original bytes as they are when it writes every original line untouched,
    // in the file's own encoding, and adds lines only behind the last one.
    const bool whole = (m_bytes.size() - m_bom) % m_unit == 0;  // no odd byte of a UTF-16 file behind
    if (!m_modified || m_source != m_target || !whole) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < m_originalLines; ++i) {
        const Line& line = m_lines[i];
        if (line.deleted || line.replaced || (!line.after.empty() && i + 1 != m_originalLines)) {
            return std::nullopt;
        }
    }
    std::string out;
    bool open = false;
    if (m_originalLines > 0) {
        const Line& last = m_lines[m_originalLines - 1];
        open = last.next == last.end;
        for (std::size_t added : last.after) {
            emit(out, added, open, m_bytes.size());
        }
    }
    for (std::size_t header : m_tail) {
        emit(out, header, open, m_bytes.size());
    }
    return out;
}

}  // namespace qvplat
