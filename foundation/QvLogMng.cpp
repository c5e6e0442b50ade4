#include "foundation/QvLogMng.h"

#include <atomic>
#include <mutex>
#include <string>

#include "foundation/QvDirMng.h"
#include "foundation/QvFile.h"
#include "foundation/QvSingleton.h"
#include "platform/Debug.h"

namespace {

QvSingleton<CQvLogMng> s_instance;
std::atomic<bool> s_makeLogFolder{true};

}  // namespace

CQvLogMng* CQvLogMng::getInstance()
{
    return s_instance.get([] { return new CQvLogMng(); });
}

void CQvLogMng::releaseInstance()
{
    s_instance.release();
}

CQvLogMng::CQvLogMng() : m_enabled(kSwitchAtCreation) {}

CQvLogMng::~CQvLogMng() = default;

QvString CQvLogMng::getLogFilePath(const QvString& prefix)
{
    CQvDirMng* dirs = CQvDirMng::getInstance();
    if (!s_makeLogFolder.load()) {
        return dirs->getFilePath(u"Log", dirs->makeDatedName(prefix, u"log", false, false, false), false);
    }
    return dirs->getDatedFilePath(u"Log", prefix, u"log", false, false, false);
}

void CQvLogMng::setLogFolderMade(bool make)
{
    s_makeLogFolder.store(make);
}

QvString CQvLogMng::makeFileLine(const qvplat::SystemTime& time, const QvString& message)
{
    return QvString::formatted(u"[%04u/%02u/%02u][%02u:%02u:%02u:%03u] %s\n", unsigned(time.year), unsigned(time.month),
                               unsigned(time.day), unsigned(time.hour), unsigned(time.minute), unsigned(time.second),
                               unsigned(time.milliseconds), message);
}

QvString CQvLogMng::makeDebugLine(const qvplat::SystemTime& time, const QvString& message)
{
    return QvString::formatted(u"[%02u:%02u:%02u:%03u]:%s\n", unsigned(time.hour), unsigned(time.minute),
                               unsigned(time.second), unsigned(time.milliseconds), message);
}

bool CQvLogMng::appendFileLine(const QvString& path, const QvString& line)
{
    if (path.isEmpty()) {
        return false;
    }
    CQvFile file;
    if (!file.open(CQvFile::kAccessAppendUpdate, CQvFile::kKindText, path, CQvFile::kEncodingNone)) {
        return false;
    }
    const std::string bytes = line.toUtf8();
    const auto size = static_cast<uint32_t>(bytes.size());
    const bool written = file.write(bytes.data(), size, 1, size) == size;
    // close() flushes the stream before it lets go of the file.
    return file.close() && written;
}

void CQvLogMng::sendDebugLine(const QvString& line)
{
    qvplat::outputDebugString(line.toStd());
}
