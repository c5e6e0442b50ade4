#include <gtest/gtest.h>

#include "registry/DefinitionValidation.h"
#include "webserver/WebServerInfo.h"

namespace {

struct Case {
    const char* label;
    const char16_t* name;
    int port;
    const char16_t* basepath;
    const char16_t* group;
    DefinitionField field;
    const char16_t* message;  // null when accepted
};

// Registered beside the definition under test: "site" and the groups "Team", "Ärger" and "team".
// Groups go through the same rules as names; one refusal shows they are applied.
const Case kCases[] = {
    {"EmptyNameFirst", u"", -1, u"", u"None", DefinitionField::Name, u"The Local WebServer name must not be empty!"},
    {"NegativePortSecond", u"a=b", -1, u"", u"None", DefinitionField::Port,
     u"Port must be a value greater than or equal to zero!"},
    {"EmptyBasePathThird", u"a=b", 0, u"", u"None", DefinitionField::BasePath,
     u"The Local WebServer Base Path must not be empty!"},
    {"NameWithEquals", u"a=b", 80, u"/srv", u"None", DefinitionField::Name,
     u"The Local WebServer name must not contain \"=\"!"},
    {"NameStartingWithBracket", u"[x]", 80, u"/srv", u"None", DefinitionField::Name,
     u"The Local WebServer name must not start with \"[\" or \";\"!"},
    {"NameStartingWithSemicolon", u";x", 80, u"/srv", u"None", DefinitionField::Name,
     u"The Local WebServer name must not start with \"[\" or \";\"!"},
    {"NameWithNewline", u"a\nb", 80, u"/srv", u"None", DefinitionField::Name,
     u"The Local WebServer name must not contain line breaks or other control characters!"},
    {"NameWithDelete", u"a\x7f", 80, u"/srv", u"None", DefinitionField::Name,
     u"The Local WebServer name must not contain line breaks or other control characters!"},
    {"NameWithBackQuote", u"a`b", 80, u"/srv", u"None", DefinitionField::Name,
     u"The Local WebServer name must not contain the back-quote \"`\"!"},
    {"NameWithLeadingBlank", u" a", 80, u"/srv", u"None", DefinitionField::Name,
     u"The Local WebServer name must not start or end with a blank!"},
    {"NameWithTrailingBlank", u"a ", 80, u"/srv", u"None", DefinitionField::Name,
     u"The Local WebServer name must not start or end with a blank!"},
    {"NameDifferingOnlyInCase", u"SiTe", 80, u"/srv", u"None", DefinitionField::Name,
     u"The Local WebServer name \"SiTe\" differs from \"site\" only in letter case!"},
    {"GroupWithEquals", u"web", 80, u"/srv", u"a=b", DefinitionField::Group, u"The group name must not contain \"=\"!"},
    {"GroupDifferingOnlyInCase", u"web", 80, u"/srv", u"ärger", DefinitionField::Group,
     u"The group name \"ärger\" differs from \"Ärger\" only in letter case!"},
    {"GroupSpelledAsListedAccepted", u"web", 80, u"/srv", u"team", DefinitionField::None, nullptr},
    {"RegisteredNameIsLeftToTheRegistry", u"site", 80, u"/srv", u"Team", DefinitionField::None, nullptr},
    {"InnerSignsAndNonLatinCaseAccepted", u"my [site]; v2 웹", 0, u"/srv", u"", DefinitionField::None, nullptr},
};

// The test log names a case by its label rather than a dump of its bytes.
void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.label;
}

class DefinitionValidationTest : public ::testing::TestWithParam<Case> {};

TEST_P(DefinitionValidationTest, RefusesWhatTheSettingsLineCannotHold)
{
    const Case& c = GetParam();
    _tag_WebServerInfo d;
    d.name = c.name;
    d.port = c.port;
    d.basepath = c.basepath;
    d.grpname = c.group;
    QvStringArray names;
    names.add(u"site");
    QvStringArray groups;
    groups.add(u"Team");
    groups.add(u"Ärger");
    groups.add(u"team");  // stored before names were checked
    const DefinitionCheck check = checkDefinition(d, names, groups);
    EXPECT_EQ(check.field, c.field);
    EXPECT_EQ(check.message.toUtf8(), c.message ? QvString(c.message).toUtf8() : std::string());
}

INSTANTIATE_TEST_SUITE_P(Cases, DefinitionValidationTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& param) { return param.param.label; });

TEST(DefaultPageTest, EmptyPageBecomesIndexHtmlWithTheDialogsNotice)
{
    _tag_WebServerInfo d;
    EXPECT_EQ(applyDefaultPage(d),
              u"If you do not specify a default page, specify \"index.html\" for the specified path.");
    EXPECT_EQ(d.basehtml, u"index.html");
    EXPECT_TRUE(applyDefaultPage(d).isNull());
}

}  // namespace
