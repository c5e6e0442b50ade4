#include "foundation/QvCodePage.h"

#include "foundation/QvString.h"
// The one UTF-8 and Windows-1252 converter of the program lives in the platform layer.
#include "platform/posix/Utf8.h"

std::u16string qvDecodeBytes(std::string_view bytes, unsigned codePage)
{
    return codePage == kCodePageUtf8 ? qvplat::detail::fromUtf8(bytes) : qvplat::detail::fromWindows1252(bytes);
}

std::string qvEncodeText(std::u16string_view text, unsigned codePage)
{
    return codePage == kCodePageUtf8 ? qvplat::detail::toUtf8(text) : qvplat::detail::toWindows1252(text);
}
