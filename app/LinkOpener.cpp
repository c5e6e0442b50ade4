#include "app/LinkOpener.h"

#include "controls/QtConvert.h"
#include "foundation/QvString.h"
#include "foundation/QvWinUtilFunc.h"

namespace {

constexpr uint32_t kHandlerPathChars = 776;  // the registered program's path; a longer one counts as none

}  // namespace

QvLinkResult openWithHtmlHandler(const QString& url)
{
    char16_t program[kHandlerPathChars] = {};
    uint32_t length = kHandlerPathChars;
    CQvWinUtilFunc* util = CQvWinUtilFunc::getInstance();
    if (!util->assocQueryString(u".html", program, &length)) {
        return QvLinkResult::NoHandler;
    }
    const QvString commandLine = QvString::formatted(u"%s \"%s\"", program, fromQString(url));
    return util->executeCommandLine(commandLine.c_str(), CQvWinUtilFunc::kShowNormal) ? QvLinkResult::Opened
                                                                                      : QvLinkResult::StartFailed;
}
