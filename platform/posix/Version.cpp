#include "platform/Version.h"

#include "QvVersion.h"

namespace qvplat {

std::u16string getProductVersion()
{
    return QV_VERSION_TEXT;
}

}  // namespace qvplat
