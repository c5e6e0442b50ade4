#include "webserver/ContentTypeTable.h"

#include <rapidjson/document.h>

#include "foundation/QvDirMng.h"
#include "foundation/QvFile.h"
#include "foundation/QvFileMng.h"
#include "foundation/QvLogMng.h"
#include "platform/FileSystem.h"

namespace {

bool fillFromDocument(const rapidjson::Document& document, CContentTypeTable::Table& table)
{
    if (!document.IsObject()) {
        return false;
    }
    const auto member = document.FindMember("contents-type");
    if (member == document.MemberEnd() || !member->value.IsObject()) {
        return false;
    }
    for (const auto& entry : member->value.GetObject()) {
        // A number or an object is no MIME type; reading it as text would insert garbage.
        if (!entry.value.IsString()) {
            continue;
        }
        const QvString key(entry.name.GetString(), static_cast<int>(entry.name.GetStringLength()), kCodePageUtf8);
        const QvString value(entry.value.GetString(), static_cast<int>(entry.value.GetStringLength()), kCodePageUtf8);
        CQvLogMng::getInstance()->writeDebug(u"[Key:%s][Value:%s]", key, value);
        table.set(key, value);
    }
    return true;
}

}  // namespace

QvString CContentTypeTable::getConfigFilePath()
{
    QvString path = CQvDirMng::getInstance()->getDirPath(u"config");
    if (path.isEmpty()) {
        return path;
    }
    const char16_t separator[2] = {qvplat::kPathSeparator, u'\0'};
    return QvString::formatted(u"%s%sconfig.json", path, separator);
}

bool CContentTypeTable::fillFromConfig(Table& table)
{
    return fillFromFile(getConfigFilePath(), table);
}

bool CContentTypeTable::fillFromFile(const QvString& path, Table& table)
{
    rapidjson::Document document;
    if (path.isEmpty() || !CQvFileMng::getInstance()->readJsonFile(path, document, CQvFile::kEncodingNone)) {
        return false;
    }
    return fillFromDocument(document, table);
}

bool CContentTypeTable::fillFromJsonText(std::string_view json, Table& table)
{
    rapidjson::Document document;
    document.Parse(json.data(), json.size());
    if (document.HasParseError()) {
        return false;
    }
    return fillFromDocument(document, table);
}

bool CContentTypeTable::lookup(const Table& table, const QvString& extension, QvString& contentType)
{
    const QvString* found = table.find(extension);
    if (found == nullptr) {
        return false;
    }
    contentType = *found;
    return true;
}

QvString CContentTypeTable::lookupOrDefault(const Table& table, const QvString& extension)
{
    QvString contentType;
    if (!lookup(table, extension, contentType)) {
        contentType = kDefaultContentType;
    }
    return contentType;
}
