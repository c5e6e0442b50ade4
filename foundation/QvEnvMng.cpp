#include "foundation/QvEnvMng.h"

#include <string>

#include "foundation/QvSingleton.h"
#include "platform/IniDocument.h"
#include "platform/Profile.h"

namespace {

QvSingleton<CQvEnvMng> s_instance;

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

bool CQvEnvMng::readFile(const QvString& iniPath, qvplat::IniDocument& document, QvString& error) const
{
    std::string reason;
    if (!qvplat::readProfileFile(iniPath.toStd(), document, reason)) {
        error = QvString::fromUtf8(reason);
        return false;
    }
    return true;
}

bool CQvEnvMng::updateFile(const QvString& iniPath, const std::function<void(qvplat::IniDocument&)>& change,
                           QvString& error) const
{
    std::string reason;
    if (!qvplat::updateProfileFile(iniPath.toStd(), change, reason)) {
        error = QvString::fromUtf8(reason);
        return false;
    }
    return true;
}
