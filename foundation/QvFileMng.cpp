#include "foundation/QvFileMng.h"

#include <rapidjson/document.h>

#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/QvCodePage.h"
#include "foundation/QvFile.h"
#include "foundation/QvLogMng.h"
#include "foundation/QvSingleton.h"

namespace {

QvSingleton<CQvFileMng> s_instance;

}  // namespace

CQvFileMng* CQvFileMng::getInstance()
{
    return s_instance.get([] { return new CQvFileMng(); });
}

void CQvFileMng::releaseInstance()
{
    s_instance.release();
}

CQvFileMng::~CQvFileMng() = default;

bool CQvFileMng::readJsonFile(const QvString& path, rapidjson::Document& document, uint8_t encoding) const
{
    CQvFile file;
    if (!file.open(CQvFile::kAccessRead, CQvFile::kKindBinary, path, encoding)) {
        return false;
    }
    // A file too large for memory is a failed read, not the end of the program.
    try {
        const uint32_t size = file.getSize();
        std::vector<char> bytes(size, '\0');
        const uint32_t read = size > 0 ? file.read(bytes.data(), size, 1, size) : 0;
        file.close();
        if (read == 0) {
            return false;
        }
        // The round trip through UTF-16 replaces malformed UTF-8 before the parser sees it.
        const std::string utf8 =
            qvEncodeText(qvDecodeBytes(std::string_view(bytes.data(), read), kCodePageUtf8), kCodePageUtf8);
        bytes = {};
        document.Parse(utf8.data(), utf8.size());
    } catch (const std::bad_alloc&) {
        CQvLogMng::getInstance()->writeDebug(u"JSON File Read Failed");
        return false;
    }
    if (document.HasParseError()) {
        CQvLogMng::getInstance()->writeDebug(u"JSON File Read Failed");
        return false;
    }
    CQvLogMng::getInstance()->writeDebug(u"JSON File Read Success");
    return true;
}
