#include "registry/DefinitionValidation.h"

#include "webserver/WebServerInfo.h"

const char16_t* const kMsgNameEmpty = u"The Local WebServer name must not be empty!";
const char16_t* const kMsgPortNegative = u"Port must be a value greater than or equal to zero!";
const char16_t* const kMsgBasePathEmpty = u"The Local WebServer Base Path must not be empty!";
const char16_t* const kMsgDefaultPage =
    u"If you do not specify a default page, specify \"index.html\" for the specified path.";

DefinitionCheck checkDefinition(const _tag_WebServerInfo& definition)
{
    if (definition.name.isEmpty()) {
        return {DefinitionField::Name, kMsgNameEmpty};
    }
    if (definition.port < 0) {
        return {DefinitionField::Port, kMsgPortNegative};
    }
    if (definition.basepath.isEmpty()) {
        return {DefinitionField::BasePath, kMsgBasePathEmpty};
    }
    return {};
}

QvString applyDefaultPage(_tag_WebServerInfo& definition)
{
    if (!definition.basehtml.isEmpty()) {
        return QvString();
    }
    definition.basehtml = u"index.html";
    return QvString(kMsgDefaultPage);
}
