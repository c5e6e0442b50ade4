#include "foundation/QvWinUtilFunc.h"

#include <mutex>
#include <string>

#include "foundation/QvDirMng.h"
#include "foundation/QvLogMng.h"
#include "foundation/QvSingleton.h"
#include "platform/Monitor.h"
#include "platform/Process.h"

namespace {

QvSingleton<CQvWinUtilFunc> s_instance;

}  // namespace

CQvWinUtilFunc* CQvWinUtilFunc::getInstance()
{
    return s_instance.get([] { return new CQvWinUtilFunc(); });
}

void CQvWinUtilFunc::releaseInstance()
{
    s_instance.release();
}

CQvWinUtilFunc::~CQvWinUtilFunc() = default;

bool CQvWinUtilFunc::executeCommandLine(const char16_t* commandLine, int /*showCommand*/) const
{
    if (commandLine == nullptr || commandLine[0] == u'\0') {
        return false;
    }
    const bool created = qvplat::createProcess(std::u16string(commandLine));
    CQvLogMng::getInstance()->writeDebug(u"CreateProcess returned %d for <%s>\n", created ? 1 : 0, commandLine);
    return created;
}

bool CQvWinUtilFunc::assocQueryString(const char16_t* extension, char16_t* buffer, uint32_t* length) const
{
    if (buffer == nullptr || length == nullptr || *length == 0 || extension == nullptr || extension[0] == u'\0') {
        CQvLogMng::getInstance()->writeDebug(u"ERROR: _AssocQueryString: bad parameters\n");
        return false;
    }
    buffer[0] = u'\0';
    std::u16string executable;
    if (!qvplat::assocQueryExecutable(std::u16string(extension), executable)) {
        return false;
    }
    const auto needed = static_cast<uint32_t>(executable.size() + 1);
    if (needed > *length) {
        // Never truncated: a cut path would name another program.
        *length = needed;
        return false;
    }
    executable.copy(buffer, executable.size());
    buffer[executable.size()] = u'\0';
    *length = needed;
    return buffer[0] != u'\0';
}

QvString CQvWinUtilFunc::getProductVersion() const
{
    if (CQvDirMng::getInstance()->getModulePath().isEmpty()) {
        return QvString(u"");
    }
    return QvString(qvplat::getProductVersion());
}

bool CQvWinUtilFunc::isRectOnMonitorWorkArea(QvRect rect) const
{
    if (qvplat::monitorCount() < 1) {
        return false;
    }
    qvplat::Rect work{};
    if (!qvplat::workAreaNearest(rect.left, rect.top, work)) {
        return false;
    }
    return rect.left >= work.left && rect.right <= work.right && rect.top >= work.top && rect.bottom <= work.bottom;
}
