#include "foundation/QvFile.h"

#include "platform/FileSystem.h"

CQvFile::~CQvFile()
{
    close();
}

QvString CQvFile::makeOpenMode(uint8_t access, uint8_t kind, uint8_t encoding)
{
    QvString mode;
    switch (access) {
        case kAccessWrite:
            mode = u"w";
            break;
        case kAccessAppend:
            mode = u"a";
            break;
        case kAccessReadUpdate:
            mode = u"r+";
            break;
        case kAccessWriteUpdate:
            mode = u"w+";
            break;
        case kAccessAppendUpdate:
            mode = u"a+";
            break;
        default:
            mode = u"r";
            break;
    }
    if (kind == kKindText) {
        mode.append(u"t");
    } else if (kind == kKindBinary) {
        mode.append(u"b");
    }
    switch (encoding) {
        case kEncodingUnicode:
            mode.append(u", ccs=UNICODE");
            break;
        case kEncodingUtf8:
            mode.append(u", ccs=UTF-8");
            break;
        case kEncodingUtf16Le:
            mode.append(u", ccs=UTF-16LE");
            break;
        default:
            break;
    }
    return mode;
}

bool CQvFile::open(uint8_t access, uint8_t kind, const QvString& path, uint8_t encoding)
{
    close();
    const std::u16string name = path.toStd();
    // Only regular files: a folder would report a bogus size and a FIFO would block the caller
    // (neither can be opened as a file on Windows).
    if (!qvplat::pathExists(name) || qvplat::isRegularFile(name)) {
        m_stream = qvplat::openFile(name, makeOpenMode(access, kind, encoding).toUtf8());
    }
    if (m_stream == nullptr) {
        m_path = QvString(u"");
        m_kind = 0;
        m_size = 0;
        m_name = QvString(u"");
        return false;
    }
    m_kind = kind;
    m_path = path;
    const int cut = path.reverseFind(qvplat::kPathSeparator);
    m_name = cut > 0 ? path.mid(cut + 1) : QvString(u"");
    std::fseek(m_stream, 0, SEEK_END);
    const long end = std::ftell(m_stream);
    m_size = end > 0 ? static_cast<uint32_t>(static_cast<unsigned long>(end) & 0xFFFFFFFFu) : 0;
    std::fseek(m_stream, 0, SEEK_SET);
    return true;
}

uint32_t CQvFile::read(void* buffer, uint32_t bufferSize, uint32_t elementSize, uint32_t count)
{
    if (m_stream == nullptr || buffer == nullptr || elementSize == 0) {
        return 0;
    }
    // Like fread_s: never write past bufferSize, whatever count asks for.
    const uint32_t fits = bufferSize / elementSize;
    const uint32_t wanted = count < fits ? count : fits;
    return static_cast<uint32_t>(std::fread(buffer, elementSize, wanted, m_stream));
}

uint32_t CQvFile::write(const void* buffer, uint32_t /*bufferSize*/, uint32_t elementSize, uint32_t count)
{
    if (m_stream == nullptr || buffer == nullptr) {
        return 0;
    }
    return static_cast<uint32_t>(std::fwrite(buffer, elementSize, count, m_stream));
}

bool CQvFile::close()
{
    if (m_stream == nullptr) {
        return true;
    }
    const int result = std::fclose(m_stream);
    m_stream = nullptr;
    return result == 0;
}
