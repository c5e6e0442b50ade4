#include "foundation/EnvMng.h"

#include <mutex>

#include "foundation/QvSingleton.h"

namespace {

QvSingleton<CEnvMng> s_instance;

constexpr int kFileIds[] = {ENV_FILE_ENV, ENV_FILE_NET, ENV_FILE_SESSION};

}  // namespace

CEnvMng* CEnvMng::getInstance()
{
    return s_instance.get([] { return new CEnvMng(); });
}

void CEnvMng::releaseInstance()
{
    s_instance.release();
}

QvString CEnvMng::getFileName(int fileId)
{
    switch (fileId) {
        case ENV_FILE_ENV:
            return QvString(u"env.ini");
        case ENV_FILE_NET:
            return QvString(u"net.ini");
        case ENV_FILE_SESSION:
            return QvString(u"session.ini");
        default:
            return QvString(u"");
    }
}

CEnvMng::CEnvMng()
{
    for (int id : kFileIds) {
        auto* file = new CQvINIFileMng();
        file->setBufferSizes(kSectionNamesChars, kSectionChars);
        m_files.set(id, file);
        file->load(getFileName(id));
    }
}

CEnvMng::~CEnvMng()
{
    for (int id : kFileIds) {
        if (CQvINIFileMng* file = getIniFile(id)) {
            file->save(getFileName(id));
        }
    }
    for (auto& entry : m_files) {
        delete entry.second;
    }
    m_files.clear();
}

CQvINIFileMng* CEnvMng::getIniFile(int fileId) const
{
    CQvINIFileMng* const* file = m_files.find(fileId);
    return file != nullptr ? *file : nullptr;
}

bool CEnvMng::save(int fileId)
{
    CQvINIFileMng* file = getIniFile(fileId);
    return file != nullptr && file->save(getFileName(fileId));
}

QvString CEnvMng::lastError(int fileId) const
{
    const CQvINIFileMng* file = getIniFile(fileId);
    return file != nullptr ? file->lastError() : QvString(u"");
}

QvString CEnvMng::getString(int fileId, const QvString& section, const QvString& key) const
{
    const CQvINIFileMng* file = getIniFile(fileId);
    return file != nullptr ? file->getValue(section, key, INI_LAYER_MERGED) : QvString(u"");
}

void CEnvMng::setString(int fileId, const QvString& section, const QvString& key, const QvString& value)
{
    if (CQvINIFileMng* file = getIniFile(fileId)) {
        file->setValue(section, key, value, INI_LAYER_USER);
    }
}

int32_t CEnvMng::getInt(int fileId, const QvString& section, const QvString& key) const
{
    const CQvINIFileMng* file = getIniFile(fileId);
    return file != nullptr ? file->getIntValue(section, key, INI_LAYER_MERGED) : 0;
}

void CEnvMng::setInt(int fileId, const QvString& section, const QvString& key, int32_t value)
{
    if (CQvINIFileMng* file = getIniFile(fileId)) {
        file->setIntValue(section, key, value, INI_LAYER_USER);
    }
}

void CEnvMng::deleteKey(int fileId, const QvString& section, const QvString& key)
{
    if (CQvINIFileMng* file = getIniFile(fileId)) {
        file->deleteKey(section, key, INI_LAYER_USER);
    }
}

QvStringArray CEnvMng::getKeys(int fileId, const QvString& section) const
{
    const CQvINIFileMng* file = getIniFile(fileId);
    return file != nullptr ? file->getKeys(section, INI_LAYER_MERGED) : QvStringArray();
}
