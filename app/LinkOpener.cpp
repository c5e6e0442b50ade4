#include "app/LinkOpener.h"

#include <string>

#include "controls/QtConvert.h"
#include "foundation/QvString.h"
#include "foundation/QvWinUtilFunc.h"
#include "platform/DesktopEntry.h"

QvLinkResult openWithHtmlHandler(const QString& url)
{
    // The default program's whole Exec line, so wrappers and field codes work as the desktop means them.
    std::u16string commandLine;
    if (!qvplat::assocQueryCommand(u".html", fromQString(url).toStd(), commandLine)) {
        return QvLinkResult::NoHandler;
    }
    return CQvWinUtilFunc::getInstance()->executeCommandLine(commandLine.c_str(), CQvWinUtilFunc::kShowNormal)
               ? QvLinkResult::Opened
               : QvLinkResult::StartFailed;
}
