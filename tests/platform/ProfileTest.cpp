#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "TempDir.h"
#include "platform/IniDocument.h"
#include "platform/Profile.h"
#include "platform/posix/Utf8.h"

namespace {

using qvplat::IniDocument;
using qvplat::detail::fromUtf8;
using qvplat::detail::toUtf8;

// The lines of a section as the profile lists give them, in UTF-8.
std::vector<std::string> entriesOf(const IniDocument& document, const std::u16string& section)
{
    std::vector<std::string> lines;
    document.forEachEntry(section, [&lines](const IniDocument::Entry& entry) {
        lines.push_back(std::string(entry.name) + (entry.hasValue ? "=" + std::string(entry.value) : ""));
    });
    return lines;
}

std::vector<std::string> namesOf(const IniDocument& document)
{
    std::vector<std::string> names;
    for (const std::u16string& name : document.sectionNames()) {
        names.push_back(toUtf8(name));
    }
    return names;
}

// Text as UTF-16 bytes with their byte-order mark.
std::string utf16(std::u16string_view text, bool little)
{
    std::string out = little ? "\xFF\xFE" : "\xFE\xFF";
    for (const char16_t c : text) {
        out += static_cast<char>(little ? (c & 0xFF) : (c >> 8));
        out += static_cast<char>(little ? (c >> 8) : (c & 0xFF));
    }
    return out;
}

TEST(IniReadTest, ListsSectionNamesAndLines)
{
    const struct {
        const char* name;
        std::string content;
        std::vector<std::string> names;
        std::u16string section;
        std::vector<std::string> lines;
    } cases[] = {
        {"WhiteSpaceCrAndCtrlZTrimmed", "  [ Sec ]  \r\n\t key  =  value \r\n\x1A\r\n", {"Sec"}, u"Sec", {"key=value"}},
        {"ValueKeepsLaterEquals",
         "[S]\nct=text/html; charset=utf-8\nj={\"a\":\"b=c\"}\n",
         {"S"},
         u"S",
         {"ct=text/html; charset=utf-8", "j={\"a\":\"b=c\"}"}},
        {"LineWithoutEqualsIsBareKey", "[S]\nbare word\nk=v\n", {"S"}, u"S", {"bare word", "k=v"}},
        {"CommentsLeftOut", "[S]\n;comment=1\nk=v\n   ; indented\n", {"S"}, u"S", {"k=v"}},
        {"EmptyNameLeftOutEmptyValueKept", "[S]\n=value\nk=\n", {"S"}, u"S", {"k="}},
        {"SectionNameRunsToLastBracket", "[a]b]\nk=v\n", {"a]b"}, u"a]b", {"k=v"}},
        {"LinesBeforeFirstSectionIgnored", "orphan=1\n[S]\nk=v\n", {"S"}, u"S", {"k=v"}},
        {"SectionFoundWithoutRegardToCase", "[Mixed]\nK=v\n", {"Mixed"}, u"mIXED", {"K=v"}},
        {"FirstOfDuplicateSections", "[S]\na=1\n[s]\nb=2\n", {"S", "s"}, u"S", {"a=1"}},
        {"MissingSectionIsEmpty", "[S]\nk=v\n", {"S"}, u"T", {}},
        {"Utf8WithByteOrderMark",
         "\xEF\xBB\xBF[\xC3\x9Cn\xC3\xAF]\n\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87=\xE2\x82\xAC\n",
         {"\xC3\x9Cn\xC3\xAF"},
         u"\u00FCN\u00CF",
         {"\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87=\xE2\x82\xAC"}},
        {"InvalidUtf8IsWindows1252", "[S]\nname=caf\xE9 \x80\n", {"S"}, u"S", {"name=caf\xC3\xA9 \xE2\x82\xAC"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const IniDocument document(c.content);
        EXPECT_EQ(namesOf(document), c.names);
        EXPECT_EQ(entriesOf(document, c.section), c.lines);
    }
}

struct Write {
    std::u16string section;
    std::u16string key;
    std::optional<std::u16string> value;  // none: delete
};

// Lines nobody changed keep their bytes: a file from another system survives a write of one key.
TEST(IniWriteTest, ChangesOnlyTheWrittenLines)
{
    const struct {
        const char* name;
        std::string before;
        std::vector<Write> writes;
        std::string after;
    } cases[] = {
        {"ExistingKeyKeepsPlaceAndSpelling",
         "[Sec]\nFirst=1\nSecond=2\nThird=3\n[Other]\nq=1\n",
         {{u" SEC ", u" second ", u"new"}, {u"sec", u"Fourth", u"4"}, {u"Third Section", u"z", u"9"}},
         "[Sec]\nFirst=1\nSecond=new\nThird=3\nFourth=4\n[Other]\nq=1\n\n[Third Section]\nz=9\n"},
        {"NullValueDeletesOnlyThatKey",
         "[S]\na=1\nb=2\nc=3\n[T]\nb=9\n",
         {{u"s", u"B", {}}, {u"S", u"a", {}}, {u"S", u"c", {}}},
         "[S]\n[T]\nb=9\n"},
        {"DeletedKeyWrittenAgain", "[S]\na=1\nb=2\n", {{u"S", u"a", {}}, {u"S", u"a", u"3"}}, "[S]\nb=2\na=3\n"},
        {"WriteOfTheSameValueChangesNothing",
         "; settings\n\n[Sec]  \r\n  Key = value  \r\nbare\n[Empty]\n",
         {{u"sec", u"KEY", u"  value "}, {u"Sec", u"missing", {}}, {u"NoSuchSection", u"k", {}}},
         "; settings\n\n[Sec]  \r\n  Key = value  \r\nbare\n[Empty]\n"},
        {"CommentsAndBareLinesStay",
         ";top\n[S]\n; inner\nbare\nk=v\n",
         {{u"S", u"k", u"w"}, {u"S", u"bare", u"now"}},
         ";top\n[S]\n; inner\nbare=now\nk=w\n"},
        {"ValuesStoredTrimmed", "", {{u"S", u"pad", u"  x  "}, {u"S", u"empty", u""}}, "[S]\npad=x\nempty=\n"},
        {"NewKeyGoesBeforeTrailingEmptyLines", "[S]\na=1\n\n[T]\n", {{u"S", u"b", u"2"}}, "[S]\na=1\nb=2\n\n[T]\n"},
        {"CrLfKeptAndUsedForNewLines",
         "[S]\r\na=1\r\n",
         {{u"S", u"a", u"2"}, {u"S", u"b", u"3"}, {u"T", u"c", u"4"}},
         "[S]\r\na=2\r\nb=3\r\n\r\n[T]\r\nc=4\r\n"},
        {"LastLineWithoutNewline", "[S]\na=1", {{u"S", u"b", u"2"}}, "[S]\na=1\nb=2\n"},
        {"ChangedLastLineKeepsHavingNoNewline", "[S]\na=1", {{u"S", u"a", u"5"}}, "[S]\na=5"},
        {"Utf8ByteOrderMarkKept", "\xEF\xBB\xBF[S]\nk=1\n", {{u"S", u"k", u"2"}}, "\xEF\xBB\xBF[S]\nk=2\n"},
        {"Windows1252RoundTrip",
         "[S]\r\nname=caf\xE9 \x80\x81\r\nk=1\r\n",
         {{u"S", u"k", u"\u00FC"}},
         "[S]\r\nname=caf\xE9 \x80\x81\r\nk=\xFC\r\n"},
        {"Utf8FileWithAStrayByteStaysAsItIs",
         "; caf\xE9\n[S]\nname=\xEC\x9B\xB9\n",
         {{u"S", u"k", u"\uD55C"}},
         "; caf\xE9\n[S]\nname=\xEC\x9B\xB9\nk=\xED\x95\x9C\n"},
        {"Windows1252FileTakingOtherTextBecomesUtf8",
         "[S]\nname=caf\xE9\n",
         {{u"S", u"k", u"\uD55C"}},
         "[S]\nname=caf\xC3\xA9\nk=\xED\x95\x9C\n"},
        {"Utf16LittleEndianRoundTrip",
         utf16(u"[S]\r\nname = caf\u00E9\r\nk=1\r\n", true),
         {{u"S", u"k", u"\uD55C"}},
         utf16(u"[S]\r\nname = caf\u00E9\r\nk=\uD55C\r\n", true)},
        {"Utf16BigEndianNewSection",
         utf16(u"[S]\nk=1\n", false),
         {{u"T", u"n", u"2"}},
         utf16(u"[S]\nk=1\n\n[T]\nn=2\n", false)},
        {"NewKeysOfTheLastSectionAndNewSectionsAppend",
         "[A]\na=1\n[S]\nk=1\n",
         {{u"s", u"n", u"2"}, {u"T", u"x", u"1"}, {u"S", u"m", u"3"}, {u"S", u"n", {}}},
         "[A]\na=1\n[S]\nk=1\nm=3\n\n[T]\nx=1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        IniDocument document(c.before);
        for (const Write& w : c.writes) {
            document.write(w.section, w.key, w.value ? w.value->c_str() : nullptr);
        }
        EXPECT_EQ(document.serialize(), c.after);
        EXPECT_EQ(document.isModified(), c.before != c.after);
        if (const std::optional<std::string> tail = document.appendedBytes()) {
            EXPECT_EQ(document.original() + *tail, c.after);
        }
    }
}

// Damaged bytes (NULs, stray brackets, invalid UTF-8) and a 1 MB line cost nothing around them.
TEST(IniDamageTest, GarbageAndHugeLinesLoseNothingElse)
{
    std::string bytes = "[A]\na=1\n";
    for (int i = 0; i < 4096; ++i) {
        bytes += static_cast<char>((i * 131 + 7) % 256);
    }
    bytes += "\n[B]\nb=2\n[HUGE]\nbig=" + std::string(1 << 20, 'x') + "\nsmall=3\n[Z]\nz=last";  // no final newline
    const IniDocument document(bytes);
    EXPECT_EQ(entriesOf(document, u"A").front(), "a=1");
    EXPECT_EQ(entriesOf(document, u"B"), std::vector<std::string>{"b=2"});
    const std::vector<std::string> huge = entriesOf(document, u"HUGE");
    ASSERT_EQ(huge.size(), 2u);
    EXPECT_EQ(huge[0], "big=" + std::string(1 << 20, 'x'));
    EXPECT_EQ(huge[1], "small=3");
    EXPECT_EQ(entriesOf(document, u"Z"), std::vector<std::string>{"z=last"});
}

class ProfileFileTest : public ::testing::Test {
protected:
    static bool update(const std::filesystem::path& file, const std::function<void(IniDocument&)>& change)
    {
        std::string error;
        const bool ok = qvplat::updateProfileFile(file.u16string(), change, error);
        EXPECT_EQ(ok, error.empty()) << error;
        return ok;
    }

    TempDir m_dir{"qvprofile"};
};

pid_t reapedPid()
{
    const pid_t dead = ::fork();
    if (dead == 0) {
        ::_exit(0);
    }
    ::waitpid(dead, nullptr, 0);
    return dead;  // belongs to no process any more
}

// The replacement keeps the file's mode and a symbolic link, and clears temporary files that killed
// saves of this file left, but not those of live processes or of other files.
TEST_F(ProfileFileTest, ReplacementKeepsModeAndLinkAndClearsDeadSavesOnly)
{
    const auto target = m_dir.write("m.ini", "[S]\nk=1\n");
    ::chmod(target.c_str(), 0640);
    const auto link = m_dir / "link.ini";
    std::filesystem::create_symlink(target, link);
    const std::string dead = ".m.ini.tmp" + std::to_string(reapedPid()) + ".3";
    const std::string live = ".m.ini.tmp" + std::to_string(::getppid()) + ".4";
    const std::string other = ".t.ini.tmp" + std::to_string(reapedPid()) + ".5";
    for (const std::string& name : {dead, live, other}) {
        m_dir.write(name, "half a file");
    }
    ASSERT_TRUE(update(link, [](IniDocument& document) { document.write(u"S", u"k", u"2"); }));

    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(TempDir::read(target), "[S]\nk=2\n");
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    std::vector<std::string> entries;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.path())) {
        entries.push_back(entry.path().filename().string());
    }
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{".link.ini.lock", live, other, "link.ini", "m.ini"}));
}

TEST_F(ProfileFileTest, MissingFolderFailsAndCreatesNothing)
{
    std::string error;
    EXPECT_FALSE(qvplat::updateProfileFile((m_dir / "missing" / "x.ini").u16string(),
                                           [](IniDocument& document) { document.write(u"S", u"k", u"v"); }, error));
    EXPECT_NE(error.find("x.ini"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(m_dir / "missing"));
}

void writeGeneration(IniDocument& document, int generation, int keys)
{
    const std::u16string filler(300, static_cast<char16_t>(u'a' + generation % 26));
    for (int k = 0; k < keys; ++k) {
        document.write(u"Big", fromUtf8("key" + std::to_string(k)),
                       (fromUtf8(std::to_string(generation)) + filler).c_str());
    }
}

TEST_F(ProfileFileTest, KilledSaveLeavesOldOrNewContentNeverAPart)
{
    constexpr int kKeys = 3000;  // about 1 MB, so a save takes long enough to be hit
    constexpr int kMaxIterations = 60;
    constexpr auto kBudget = std::chrono::seconds(4);
    const auto file = m_dir / "crash.ini";
    const auto save = [&](int generation) {
        return update(file, [generation](IniDocument& document) { writeGeneration(document, generation, kKeys); });
    };
    ASSERT_TRUE(save(0));
    // How long one save of a new generation takes, to aim the kills inside it.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(save(1));
    const auto saveMicros =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    std::string current = TempDir::read(file);

    std::mt19937 random(777);
    const auto deadline = std::chrono::steady_clock::now() + kBudget;
    int iterations = 0;
    for (int generation = 2; iterations < kMaxIterations && std::chrono::steady_clock::now() < deadline;
         ++iterations, ++generation) {
        IniDocument expected(current);
        writeGeneration(expected, generation, kKeys);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::_exit(save(generation) ? 0 : 1);
        }
        std::uniform_int_distribution<long> delay(0, saveMicros * 2 + 200);
        ::usleep(static_cast<useconds_t>(delay(random)));
        ::kill(child, SIGKILL);
        ASSERT_EQ(::waitpid(child, nullptr, 0), child);
        const std::string now = TempDir::read(file);
        if (now != current) {
            ASSERT_EQ(now, expected.serialize()) << "iteration " << iterations;
            current = now;
        }
    }
    EXPECT_GT(iterations, 0);
}

}  // namespace
