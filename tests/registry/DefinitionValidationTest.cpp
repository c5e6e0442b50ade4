#include <gtest/gtest.h>

#include "registry/DefinitionValidation.h"
#include "webserver/WebServerInfo.h"

namespace {

using F = DefinitionField;

// A name's or group's message follows "The Local WebServer name " or "The group name "; the port
// and path messages are whole.
struct Case {
    const char* label;
    const char16_t* name;
    int port;
    const char16_t* basepath;
    const char16_t* group;
    F field;
    const char16_t* message;  // null when accepted
};

// Registered beside the definition under test: "site" and the groups "Team", "Ärger" and "team".
// Groups go through the same rules as names; one refusal shows they are applied.
const Case kCases[] = {
    {"EmptyNameFirst", u"", -1, u"", u"", F::Name, u"must not be empty!"},
    {"NegativePortSecond", u"a=b", -1, u"", u"", F::Port, u"Port must be a value greater than or equal to zero!"},
    {"PortAboveTheRange", u"a=b", 65536, u"", u"", F::Port, u"Port must be a value less than or equal to 65535!"},
    {"EmptyBasePathThird", u"a=b", 65535, u"", u"", F::BasePath, u"The Local WebServer Base Path must not be empty!"},
    {"NameWithEquals", u"a=b", 80, u"/s", u"", F::Name, u"must not contain \"=\"!"},
    {"NameStartingWithBracket", u"[x]", 80, u"/s", u"", F::Name, u"must not start with \"[\" or \";\"!"},
    {"NameStartingWithSemicolon", u";x", 80, u"/s", u"", F::Name, u"must not start with \"[\" or \";\"!"},
    {"NameWithNewline", u"a\nb", 80, u"/s", u"", F::Name, u"must not contain line breaks or other control characters!"},
    {"NameWithDelete", u"a\x7f", 80, u"/s", u"", F::Name, u"must not contain line breaks or other control characters!"},
    {"NameWithBackQuote", u"a`b", 80, u"/s", u"", F::Name, u"must not contain the back-quote \"`\"!"},
    {"NameWithLeadingBlank", u" a", 80, u"/s", u"", F::Name, u"must not start or end with a blank!"},
    {"NameWithTrailingBlank", u"a ", 80, u"/s", u"", F::Name, u"must not start or end with a blank!"},
    {"NameDifferingOnlyInCase", u"SiTe", 80, u"/s", u"", F::Name,
     u"\"SiTe\" differs from \"site\" only in letter case!"},
    {"GroupWithEquals", u"web", 80, u"/s", u"a=b", F::Group, u"must not contain \"=\"!"},
    {"GroupDifferingOnlyInCase", u"web", 80, u"/s", u"ärger", F::Group,
     u"\"ärger\" differs from \"Ärger\" only in letter case!"},
    {"GroupSpelledAsListedAccepted", u"web", 80, u"/s", u"team", F::None, nullptr},
    {"RegisteredNameIsLeftToTheRegistry", u"site", 80, u"/s", u"Team", F::None, nullptr},
    {"InnerSignsAndNonLatinCaseAccepted", u"my [site]; v2 웹", 0, u"/s", u"", F::None, nullptr},
};

TEST(DefinitionValidationTest, RefusesWhatTheSettingsLineCannotHold)
{
    QvStringArray names;
    names.add(u"site");
    QvStringArray groups;
    groups.split(u"Team`Ärger`team", u"`");  // "team" stored before names were checked
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.label);
        _tag_WebServerInfo d;
        d.name = c.name;
        d.port = c.port;
        d.basepath = c.basepath;
        d.grpname = c.group;
        const DefinitionCheck check = checkDefinition(d, names, groups);
        EXPECT_EQ(check.field, c.field);
        const std::u16string prefix = c.field == F::Name    ? u"The Local WebServer name "
                                      : c.field == F::Group ? u"The group name "
                                                            : u"";
        EXPECT_EQ(check.message.toUtf8(), c.message ? QvString(prefix + c.message).toUtf8() : std::string());
    }
}

TEST(DefaultPageTest, EmptyPageBecomesIndexHtmlWithTheDialogsNotice)
{
    _tag_WebServerInfo d;
    EXPECT_EQ(applyDefaultPage(d),
              u"If you do not specify a default page, specify \"index.html\" for the specified path.");
    EXPECT_EQ(d.basehtml, u"index.html");
    EXPECT_TRUE(applyDefaultPage(d).isNull());
}

}  // namespace
