#include "foundation/QvDirMng.h"

#include <mutex>

#include "foundation/QvSingleton.h"
#include "platform/FileSystem.h"
#include "platform/LocalTime.h"

namespace {

constexpr int kModuleNameChars = 1024;  // the module name buffer; a longer path is cut to fit

QvSingleton<CQvDirMng> s_instance;

QvString joinPath(const QvString& directory, const QvString& name)
{
    const char16_t separator[2] = {qvplat::kPathSeparator, u'\0'};
    return QvString::formatted(u"%s%s%s", directory, separator, name);
}

}  // namespace

CQvDirMng* CQvDirMng::getInstance()
{
    return s_instance.get([] { return new CQvDirMng(); });
}

void CQvDirMng::releaseInstance()
{
    s_instance.release();
}

CQvDirMng::CQvDirMng()
{
    if (!m_moduleDir.isEmpty()) {
        return;
    }
    std::u16string name = qvplat::getModuleFileName();
    if (name.size() > static_cast<size_t>(kModuleNameChars - 1)) {
        name.resize(kModuleNameChars - 1);
    }
    if (name.empty()) {
        return;
    }
    m_modulePath = QvString(name);
    QvString dir = m_modulePath;
    const int cut = dir.reverseFind(qvplat::kPathSeparator);
    if (cut >= 0) {
        dir = dir.mid(0, cut);
    }
    if (!dir.isEmpty() && dir.at(dir.length() - 1) == qvplat::kPathSeparator) {
        dir = dir.mid(0, dir.length() - 1);
    }
    m_moduleDir = dir;

    // An installed program's folder belongs to the system: what the program writes goes to the user.
    // The install leaves an "installed" mark beside the executable, which holds for root too (who
    // could write below the install prefix, and must not).
    const std::u16string moduleDir = m_moduleDir.toStd();
    const bool installed = qvplat::pathExists(joinPath(m_moduleDir, u"installed").toStd());
    if (!moduleDir.empty() && qvplat::isDirectory(moduleDir) &&
        (installed || !qvplat::isWritableDirectory(moduleDir))) {
        const auto below = [](const std::u16string& base) {
            return base.empty() ? QvString(u"") : joinPath(QvString(base), u"qvwebserver");
        };
        m_userDir = below(qvplat::xdgConfigHome());
        m_logDir = below(qvplat::xdgStateHome());
        m_tempDir = below(qvplat::xdgCacheHome());
    }
}

CQvDirMng::~CQvDirMng() = default;

QvString CQvDirMng::getDirPath(const QvString& subDir) const
{
    if (m_moduleDir.isEmpty()) {
        return QvString(u"");
    }
    if (!m_userDir.isEmpty() && subDir == u"user") {
        return m_userDir;
    }
    if (!m_logDir.isEmpty() && subDir == u"Log") {
        return m_logDir;
    }
    if (!m_tempDir.isEmpty() && subDir == u"temp") {
        return m_tempDir;
    }
    return joinPath(m_moduleDir, subDir);
}

QvString CQvDirMng::getFilePath(const QvString& subDir, const QvString& fileName, bool create) const
{
    const QvString directory = getDirPath(subDir);
    if (directory.isEmpty()) {
        return QvString(u"");
    }
    if (create) {
        makeDirectories(directory);
    }
    return joinPath(directory, fileName);
}

QvString CQvDirMng::getSubDir(const QvString& subDir) const
{
    // Without a module directory the join would name a folder at the filesystem root.
    if (m_moduleDir.isEmpty()) {
        return QvString(u"");
    }
    QvString directory = getDirPath(subDir);
    if (!makeDirectories(directory)) {
        return QvString(u"");
    }
    return directory;
}

bool CQvDirMng::makeDirectories(const QvString& path)
{
    const char16_t sep = qvplat::kPathSeparator;
    std::u16string text = path.toStd();
    while (!text.empty() && text.back() == u' ') {
        text.pop_back();
    }
    // The root itself ("/") keeps its separator: it is the prefix, not a trailing one.
    if (text.size() > 1 && text.back() == sep) {
        text.pop_back();
    }

    std::u16string prefix;
    std::u16string rest;
    if (!text.empty() && text.front() == sep) {
        prefix.assign(1, sep);
        rest = text.substr(1);
    } else {
        rest = text;
    }

    bool lastPass = false;
    while (!lastPass) {
        const size_t next = rest.size() > 1 ? rest.find(sep, 1) : std::u16string::npos;
        if (next == std::u16string::npos) {
            prefix += rest;
            rest.clear();
            lastPass = true;
        } else {
            prefix += rest.substr(0, next);
            rest.erase(0, next);
        }
        if (!qvplat::pathExists(prefix) && qvplat::makeDirectory(prefix) != 0) {
            return false;
        }
    }
    return true;
}

QvString CQvDirMng::makeDatedName(const qvplat::SystemTime& time, const QvString& prefix, const QvString& extension,
                                  bool withHour, bool withMinute, bool withSecond)
{
    QvString name =
        QvString::formatted(u"%s%04u%02u%02u", prefix, unsigned(time.year), unsigned(time.month), unsigned(time.day));
    if (withHour) {
        name.append(QvString::formatted(u"%02u", unsigned(time.hour)));
    }
    if (withMinute) {
        name.append(QvString::formatted(u"%02u", unsigned(time.minute)));
    }
    if (withSecond) {
        name.append(QvString::formatted(u"%02u", unsigned(time.second)));
    }
    name.append(u".");
    name.append(extension);
    return name;
}

QvString CQvDirMng::makeDatedName(const QvString& prefix, const QvString& extension, bool withHour, bool withMinute,
                                  bool withSecond) const
{
    return makeDatedName(qvplat::getLocalTime(), prefix, extension, withHour, withMinute, withSecond);
}

QvString CQvDirMng::getDatedFilePath(const QvString& subDir, const QvString& prefix, const QvString& extension,
                                     bool withHour, bool withMinute, bool withSecond) const
{
    const QvString directory = getSubDir(subDir);
    if (directory.isEmpty()) {
        return QvString(u"");
    }
    return joinPath(directory, makeDatedName(prefix, extension, withHour, withMinute, withSecond));
}
