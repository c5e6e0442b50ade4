#include <gtest/gtest.h>

#include "platform/DesktopEntry.h"

namespace {

TEST(DesktopEntryTest, ExecLineExpandsFieldCodesAndUndoesQuoting)
{
    const std::u16string t = u"http://h/a'b c%u";  // never parsed again once placed
    struct Case {
        std::u16string exec;
        std::vector<std::u16string> words;  // empty: refused as malformed
    };
    const Case cases[] = {
        {u"app %u", {u"app", t}},
        {u"app %U --new", {u"app", t, u"--new"}},
        {u"app --file=%f", {u"app", u"--file=" + t}},
        {u"app %F", {u"app", t}},
        {u"app", {u"app", t}},
        {u"app %i -caption %c %k", {u"app", u"--icon", u"web", u"-caption", u"Web", u"/a/web.desktop", t}},
        {u"app 100%% %d %m %u", {u"app", u"100%", t}},
        {u"\"/opt/my app/run\" \"\" 'a b' %u", {u"/opt/my app/run", u"", u"a b", t}},
        {uR"(sh -c "echo \\$HOME \\\\ \\"q\\" 50% \`" %u)", {u"sh", u"-c", uR"(echo $HOME \ "q" 50% `)", t}},
        {uR"(app\s%u\t-x)", {u"app", t, u"-x"}},
        {u"sh -c \"open %u\"", {}},
        {u"app \"open", {}},
        {u"app 'open %u", {}},
        {u"", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(qvplat::expandExec({c.exec, u"Web", u"web", u"/a/web.desktop"}, t), c.words) << "case " << &c - cases;
    }
}

}  // namespace
