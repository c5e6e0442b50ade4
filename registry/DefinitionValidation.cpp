#include "registry/DefinitionValidation.h"

#include <algorithm>

#include "webserver/WebServerInfo.h"

const char16_t* const kMsgNameEmpty = u"The Local WebServer name must not be empty!";
const char16_t* const kMsgPortNegative = u"Port must be a value greater than or equal to zero!";
const char16_t* const kMsgBasePathEmpty = u"The Local WebServer Base Path must not be empty!";
const char16_t* const kMsgDefaultPage =
    u"If you do not specify a default page, specify \"index.html\" for the specified path.";

namespace {

// The same simple folding as the settings files' key matching (Latin, Greek, Cyrillic), so that
// exactly the names those files would merge are refused.
char16_t foldCase(char16_t c)
{
    if (c < 0x80) {
        return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    }
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
        (c >= 0x410 && c <= 0x42F)) {
        return static_cast<char16_t>(c + 32);
    }
    if (c >= 0x400 && c <= 0x40F) {
        return static_cast<char16_t>(c + 80);
    }
    if (c >= 0x100 && c <= 0x17F) {
        // Latin Extended-A pairs cases as even/odd, except where the upper case letter is odd.
        const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x178 || c == 0x17F) {
            return c;
        }
        if (oddUpper ? (c % 2 == 1) : (c % 2 == 0)) {
            return static_cast<char16_t>(c + 1);
        }
    }
    return c;
}

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
    const std::u16string_view x = a.view();
    const std::u16string_view y = b.view();
    if (x.size() != y.size()) {
        return false;
    }
    for (size_t i = 0; i < x.size(); ++i) {
        if (x[i] != y[i] && foldCase(x[i]) != foldCase(y[i])) {
            return false;
        }
    }
    return true;
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
