// Request descriptions, error envelopes and multipart bodies of a work item.
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "foundation/QvFile.h"
#include "foundation/QvFormat.h"
#include "foundation/QvStringArray.h"
#include "httpclient/QvHttpWorkItem.h"
#include "platform/FileSystem.h"

namespace {

constexpr size_t kWholeText = std::numeric_limits<size_t>::max();  // body parts are never cut

constexpr const char16_t* kTextPartFirst = u"--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s";
constexpr const char16_t* kTextPartLater = u"\r\n--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s";
constexpr const char16_t* kFilePartFirst =
    u"--%s\r\nContent-Disposition: form-data; name=\"%s\"; filename=\"%s\"\r\nContent-Type: "
    u"application/octect-stream\r\n\r\n";
constexpr const char16_t* kFilePartLater =
    u"\r\n--%s\r\nContent-Disposition: form-data; name=\"%s\"; filename=\"%s\"\r\nContent-Type: "
    u"application/octect-stream\r\n\r\n";
constexpr const char16_t* kClosing = u"\r\n--%s--\r\n";
constexpr const char16_t* kFilePathSeparator = u"@@";

// text as the inside of a JSON string: quote, backslash and control characters escaped.
QvString jsonText(const QvString& text)
{
    std::u16string out;
    for (const char16_t ch : text.view()) {
        if (ch == u'"' || ch == u'\\') {
            out += u'\\';
            out += ch;
        } else if (ch < 0x20) {
            static constexpr char16_t kHex[] = u"0123456789abcdef";
            out += u"\\u00";
            out += kHex[ch >> 4];
            out += kHex[ch & 0xF];
        } else {
            out += ch;
        }
    }
    return QvString(out);
}

constexpr int32_t kKindText = 0;
constexpr int32_t kKindTextAlt = 1;
constexpr int32_t kKindFiles = 2;

// A multipart body under construction. When the free space is smaller than what comes next (for a
// file part, its header and the whole file), the capacity grows by exactly that amount.
class MultipartBody {
public:
    explicit MultipartBody(size_t capacity) : m_capacity(capacity) { m_bytes.reserve(capacity); }

    void appendText(const std::u16string& text)
    {
        const std::string utf8 = QvString(text).toUtf8();
        makeRoom(utf8.size());
        m_bytes.insert(m_bytes.end(), utf8.begin(), utf8.end());
    }

    // Appends the part header and the file's bytes; false (nothing appended) when the path is not a
    // readable, non-empty file.
    bool appendFilePart(const QvString& path, const char16_t* headerFormat, const QvString& boundary,
                        const QvString& fieldName)
    {
        CQvFile file;
        // A folder cannot be opened as a file on every platform this program knows.
        if (!qvplat::isRegularFile(path.toStd()) ||
            !file.open(CQvFile::kAccessRead, CQvFile::kKindBinary, path, CQvFile::kEncodingNone) ||
            file.getSize() == 0) {
            return false;
        }
        const uint32_t size = file.getSize();
        const std::string header =
            QvString(qvFormat(kWholeText, headerFormat, boundary, fieldName, file.getName())).toUtf8();
        makeRoom(header.size() + size);
        m_bytes.insert(m_bytes.end(), header.begin(), header.end());
        const size_t offset = m_bytes.size();
        m_bytes.resize(offset + size);
        const uint32_t read = file.read(m_bytes.data() + offset, size, 1, size);
        m_bytes.resize(offset + read);
        return true;
    }

    std::unique_ptr<unsigned char[]> release(uint32_t& length)
    {
        length = static_cast<uint32_t>(m_bytes.size());
        std::unique_ptr<unsigned char[]> out(new unsigned char[m_bytes.empty() ? 1 : m_bytes.size()]);
        if (!m_bytes.empty()) {
            std::memcpy(out.get(), m_bytes.data(), m_bytes.size());
        }
        return out;
    }

private:
    void makeRoom(size_t amount)
    {
        if (m_capacity - m_bytes.size() < amount) {
            m_capacity += amount;
            m_bytes.reserve(m_capacity);
        }
    }

    std::vector<unsigned char> m_bytes;
    size_t m_capacity;
};

}  // namespace

namespace {

// The text of a code in a table indexed from 0; empty for a code outside it.
template <size_t N>
QvString textOfCode(const char16_t* const (&table)[N], int32_t code)
{
    return QvString(code >= 0 && static_cast<size_t>(code) < N ? table[code] : u"");
}

}  // namespace

QvString QvHttpWorkItem::reqTypeText(int32_t reqType)
{
    static const char16_t* const kTexts[] = {u"GET", u"POST", u"PUT", u"DELETE"};  // kReqGet .. kReqDelete
    return textOfCode(kTexts, reqType);
}

QvString QvHttpWorkItem::dataTypeText(int32_t dataType)
{
    // kDataString .. kDataFile; the form type (4) has no text.
    static const char16_t* const kTexts[] = {u"String", u"Json", u"Xml", u"File"};
    return textOfCode(kTexts, dataType);
}

QvString QvHttpWorkItem::makeRequestInfo() const
{
    // The values are escaped: a URL the update service named must not add members of its own.
    return QvString::formatted(
        u"{\"reqidx\":%d,\"baseurl\":\"%s\",\"headinfo\":\"%s\",\"httpconhead\":\"%s\","
        u"\"reqtype\":\"%s\",\"datatype\":\"%s\",\"onlyreturn\":\"%s\"}",
        m_reqidx, jsonText(m_baseurl), jsonText(m_headinfo), jsonText(m_httpconhead), reqTypeText(m_reqType),
        dataTypeText(m_dataType), jsonText(m_onlyreturn));
}

QvString QvHttpWorkItem::makeErrorEnvelope(int32_t code)
{
    switch (code) {
        case -999:
            return QvString(u"{\"lang\":\"kr\", \"msg\":\"URL Not Found!\", \"msgcode\":\"-999\", \"nextflag\":\"L\"}");
        case -998:
            return QvString(
                u"{\"lang\":\"kr\", \"msg\":\"Request Parameter Error!\", \"msgcode\":\"-998\", \"nextflag\":\"L\"}");
        case -997:
            return QvString(
                u"{\"lang\":\"kr\", \"msg\":\"URL Open Error!\", \"msgcode\":\"-997\", \"nextflag\":\"L\"}");
        case -996:
        case -995:
        case -994:
            return QvString::formatted(
                u"{\"lang\":\"kr\", \"msg\":\"Response Data Error!\", \"msgcode\":\"%d\", \"nextflag\":\"L\"}", code);
        default:
            return QvString(u"");
    }
}

void QvHttpWorkItem::makeBoundary()
{
    m_boundary.makeRandomString(kBoundaryMode, kBoundaryLength);
}

std::unique_ptr<unsigned char[]> QvHttpWorkItem::makeFileBody(uint32_t& length) const
{
    MultipartBody body(kBodyInitialBytes);
    const QvString fieldName(m_files.size() > 1 ? u"file[]" : u"file");
    for (int i = 0; i < m_files.size(); ++i) {
        // The part form follows the list position, whether or not the paths before it were written.
        body.appendFilePart(m_files[i], i == 0 ? kFilePartFirst : kFilePartLater, m_boundary, fieldName);
    }
    body.appendText(qvFormat(kWholeText, kClosing, m_boundary));
    return body.release(length);
}

std::unique_ptr<unsigned char[]> QvHttpWorkItem::makeFormBody(uint32_t& length) const
{
    MultipartBody body(kBodyInitialBytes);
    bool first = true;
    for (const auto& [name, kinds] : m_form) {
        for (const auto& [kind, value] : kinds) {
            if (kind == kKindText || kind == kKindTextAlt) {
                body.appendText(qvFormat(kWholeText, first ? kTextPartFirst : kTextPartLater, m_boundary, name, value));
                first = false;
            } else if (kind == kKindFiles) {
                QvStringArray paths;
                paths.split(value, QvString(kFilePathSeparator), QvStringArray::kNoLimit);
                for (const QvString& path : paths) {
                    if (body.appendFilePart(path, first ? kFilePartFirst : kFilePartLater, m_boundary, name)) {
                        first = false;
                    }
                }
            }
        }
    }
    body.appendText(qvFormat(kWholeText, kClosing, m_boundary));
    return body.release(length);
}
