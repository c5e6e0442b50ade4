#include "registry/DefinitionValidation.h"

#include <algorithm>

#include "platform/IniDocument.h"
#include "webserver/WebServerInfo.h"

const char16_t* const kMsgNameEmpty = u"The Local WebServer name must not be empty!";
const char16_t* const kMsgPortNegative = u"Port must be a value greater than or equal to zero!";
const char16_t* const kMsgPortTooLarge = u"Port must be a value less than or equal to 65535!";
const char16_t* const kMsgBasePathEmpty = u"The Local WebServer Base Path must not be empty!";
const char16_t* const kMsgDefaultPage =
    u"If you do not specify a default page, specify \"index.html\" for the specified path.";

namespace {

constexpr int kMaxPort = 65535;

// C0, DEL, C1 and the Unicode line and paragraph separators: each would break or end the line.
bool isControl(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

// Why text cannot be stored as subject ("The Local WebServer name"), or a null string.
QvString lineProblem(const QvString& text, const char16_t* subject, const QvStringArray& others)
{
    const std::u16string_view view = text.view();
    for (char16_t c : view) {
        if (isControl(c)) {
            return QvString::formatted(u"%s must not contain line breaks or other control characters!", subject);
        }
    }
    if (view.find(u'=') != std::u16string_view::npos) {
        return QvString::formatted(u"%s must not contain \"=\"!", subject);
    }
    if (view.find(u'`') != std::u16string_view::npos) {
        return QvString::formatted(u"%s must not contain the back-quote \"`\"!", subject);
    }
    if (!view.empty() && (view.front() == u'[' || view.front() == u';')) {
        return QvString::formatted(u"%s must not start with \"[\" or \";\"!", subject);
    }
    if (!view.empty() && (view.front() == u' ' || view.back() == u' ')) {
        return QvString::formatted(u"%s must not start or end with a blank!", subject);
    }
    // An exact match is the same name (or group), not a clash of spellings.
    if (std::none_of(others.begin(), others.end(), [&](const QvString& other) { return other.view() == view; })) {
        for (const QvString& other : others) {
            if (namesEqualNoCase(other, text)) {
                return QvString::formatted(u"%s \"%s\" differs from \"%s\" only in letter case!", subject, text, other);
            }
        }
    }
    return QvString();
}

}  // namespace

bool namesEqualNoCase(const QvString& a, const QvString& b)
{
    // The settings files' own folding, so that exactly the names those files would merge match.
    return a.length() == b.length() && qvplat::iniFold(a.view()) == qvplat::iniFold(b.view());
}

DefinitionCheck checkDefinition(const _tag_WebServerInfo& definition, const QvStringArray& otherNames,
                                const QvStringArray& groups)
{
    if (definition.name.isEmpty()) {
        return {DefinitionField::Name, kMsgNameEmpty};
    }
    if (definition.port < 0) {
        return {DefinitionField::Port, kMsgPortNegative};
    }
    if (definition.port > kMaxPort) {
        return {DefinitionField::Port, kMsgPortTooLarge};  // the address look-up would take it modulo 65536
    }
    if (definition.basepath.isEmpty()) {
        return {DefinitionField::BasePath, kMsgBasePathEmpty};
    }
    if (QvString problem = lineProblem(definition.name, u"The Local WebServer name", otherNames); !problem.isNull()) {
        return {DefinitionField::Name, problem};
    }
    if (QvString problem = lineProblem(definition.grpname, u"The group name", groups); !problem.isNull()) {
        return {DefinitionField::Group, problem};
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
