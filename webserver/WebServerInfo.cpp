#include "webserver/WebServerInfo.h"

_tag_WebServerInfo::_tag_WebServerInfo(const _tag_WebServerInfo& other)
{
    const auto lock = other.readLock();
    name = other.name;
    grpname = other.grpname;
    port = other.port;
    basepath = other.basepath;
    basehtml = other.basehtml;
    contentstype = other.contentstype;
}

_tag_WebServerInfo& _tag_WebServerInfo::operator=(const _tag_WebServerInfo& other)
{
    if (this == &other) {
        return *this;
    }
    // Copied out first, so that the two records are never locked at the same time.
    const _tag_WebServerInfo source(other);
    const auto lock = writeLock();
    name = source.name;
    grpname = source.grpname;
    port = source.port;
    basepath = source.basepath;
    basehtml = source.basehtml;
    for (const auto& entry : source.contentstype) {
        contentstype.set(entry.first, entry.second);
    }
    return *this;
}
