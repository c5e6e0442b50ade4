#include "foundation/QvEnvMng.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "foundation/QvSingleton.h"
#include "platform/Profile.h"

namespace {

QvSingleton<CQvEnvMng> s_instance;

// Appends every string of a NUL-separated list ending in a second NUL; used is the count the
// profile call returned, so a list cut at the buffer's end stops there too.
void appendList(const std::vector<char16_t>& buffer, uint32_t used, QvStringArray& out)
{
    size_t pos = 0;
    const size_t end = std::min<size_t>(used, buffer.size());
    while (pos < end && buffer[pos] != u'\0') {
        size_t stop = pos;
        while (stop < buffer.size() && buffer[stop] != u'\0') {
            ++stop;
        }
        out.add(QvString(buffer.data() + pos, static_cast<int>(stop - pos)));
        pos = stop + 1;
    }
}

}  // namespace

CQvEnvMng* CQvEnvMng::getInstance()
{
    return s_instance.get([] { return new CQvEnvMng(); });
}

void CQvEnvMng::releaseInstance()
{
    s_instance.release();
}

CQvEnvMng::~CQvEnvMng() = default;

bool CQvEnvMng::getSectionNames(const QvString& iniPath, uint32_t bufferChars, QvStringArray& out,
                                bool* truncated) const
{
    // One spare character behind the size handed to the call keeps the list terminated.
    std::vector<char16_t> buffer(static_cast<size_t>(bufferChars) + 1, u'\0');
    const uint32_t used = qvplat::getPrivateProfileSectionNames(buffer.data(), bufferChars, iniPath.toStd());
    if (truncated) {
        *truncated = bufferChars >= 2 && used == bufferChars - 2;
    }
    out.clear();
    appendList(buffer, used, out);
    return true;
}

bool CQvEnvMng::getSection(const QvString& section, uint32_t bufferChars, const QvString& iniPath, QvStringArray& out,
                           bool* truncated) const
{
    std::vector<char16_t> buffer(static_cast<size_t>(bufferChars) + 1, u'\0');
    const uint32_t used =
        qvplat::getPrivateProfileSection(section.toStd(), buffer.data(), bufferChars, iniPath.toStd());
    if (truncated) {
        *truncated = bufferChars >= 2 && used == bufferChars - 2;
    }
    out.clear();
    appendList(buffer, used, out);
    return true;
}

bool CQvEnvMng::writeString(const QvString& section, const QvString& key, const char16_t* value,
                            const QvString& iniPath) const
{
    return qvplat::writePrivateProfileString(section.toStd(), key.toStd(), value, iniPath.toStd());
}

bool CQvEnvMng::flush(const QvString& iniPath) const
{
    // The profile layer flushes every cached file for an empty path; an unknown path has nothing to write.
    if (iniPath.isEmpty()) {
        return false;
    }
    return qvplat::flushPrivateProfile(iniPath.toStd());
}
