#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "ModuleDirFixture.h"
#include "foundation/QvEnvMng.h"
#include "foundation/QvINIFileMng.h"

namespace fs = std::filesystem;

namespace {

class QvINIFileMngTest : public ModuleDirTest {
protected:
    // A manager loaded from disk as a new process would see it (no cached file).
    static std::unique_ptr<CQvINIFileMng> loadFresh(const char16_t* fileName)
    {
        qvplat::discardPrivateProfileCacheForTesting();
        auto ini = std::make_unique<CQvINIFileMng>();
        ini->load(fileName);
        return ini;
    }
    static std::string keysOf(const CQvINIFileMng& ini, const char16_t* section, IniLayer layer)
    {
        return u8(ini.getKeys(section, layer).join(u","));
    }
};

TEST_F(QvINIFileMngTest, NonAsciiNamesAndValuesSurviveSaveAndLoad)
{
    const QvString section(u"서버 \U0001F310");
    const QvString key(u"키 \U00020BB7");
    const QvString value(u"값 = 한국어 \U0001F600 ünïcödé");
    {
        CQvINIFileMng ini;
        ini.setValue(section, key, value, INI_LAYER_USER);
        ASSERT_TRUE(ini.save(u"env.ini"));
    }
    // The file is UTF-8 text.
    EXPECT_NE(read(path("user/env.ini")).find(value.toUtf8()), std::string::npos);

    auto ini = loadFresh(u"env.ini");
    EXPECT_EQ(u8(ini->getValue(section, key, INI_LAYER_USER)), value.toUtf8());
    EXPECT_EQ(u8(ini->getValue(section, key, INI_LAYER_MERGED)), value.toUtf8());
}

TEST_F(QvINIFileMngTest, ValueWithEqualsSignsIsReadBackWhole)
{
    const QvString json(u"{\"contentstype\":{\"html\":\"text/html; charset=utf-8\"},\"a=b\":\"c==d\"}");
    {
        CQvINIFileMng ini;
        ini.setValue(u"WEBSVRLIST", u"site1", json, INI_LAYER_USER);
        ini.setValue(u"ETC", u"trailing", u"x=", INI_LAYER_USER);
        ASSERT_TRUE(ini.save(u"session.ini"));
    }
    auto ini = loadFresh(u"session.ini");
    EXPECT_EQ(u8(ini->getValue(u"WEBSVRLIST", u"site1", INI_LAYER_USER)), json.toUtf8());
    EXPECT_EQ(u8(ini->getValue(u"ETC", u"trailing", INI_LAYER_USER)), "x=");
}

TEST_F(QvINIFileMngTest, NamesDifferingOnlyInCaseCollapseInTheFile)
{
    {
        CQvINIFileMng ini;
        ini.setValue(u"Grp", u"Key", u"first", INI_LAYER_USER);
        ini.setValue(u"Grp", u"key", u"second", INI_LAYER_USER);
        ini.setValue(u"GRP", u"other", u"third", INI_LAYER_USER);
        EXPECT_EQ(keysOf(ini, u"Grp", INI_LAYER_USER), "Key,key");  // two entries in memory
        ASSERT_TRUE(ini.save(u"env.ini"));
    }
    auto ini = loadFresh(u"env.ini");
    // Written in map order ("GRP" < "Grp", "Key" < "key"): the first spelling stays, the last value wins.
    EXPECT_EQ(ini->getUserLayer().size(), 1);
    EXPECT_EQ(keysOf(*ini, u"GRP", INI_LAYER_USER), "Key,other");
    EXPECT_EQ(u8(ini->getValue(u"GRP", u"Key", INI_LAYER_USER)), "second");
    EXPECT_EQ(read(path("user/env.ini")), "[GRP]\nother=third\nKey=second\n");
}

TEST_F(QvINIFileMngTest, MergedLayerFallsBackToConfigWhenUserValueIsEmpty)
{
    write("config/env.ini", "[QVWEBSERVER]\nLEFT=10\nTOP=20\nNAME=config\n");
    write("user/env.ini", "[QVWEBSERVER]\nLEFT=\nTOP=30\n");
    auto ini = loadFresh(u"env.ini");
    EXPECT_EQ(u8(ini->getValue(u"QVWEBSERVER", u"LEFT", INI_LAYER_MERGED)), "10");
    EXPECT_EQ(u8(ini->getValue(u"QVWEBSERVER", u"LEFT", INI_LAYER_USER)), "");
    EXPECT_EQ(u8(ini->getValue(u"QVWEBSERVER", u"TOP", INI_LAYER_MERGED)), "30");
    EXPECT_EQ(u8(ini->getValue(u"QVWEBSERVER", u"TOP", INI_LAYER_CONFIG)), "20");
    EXPECT_EQ(u8(ini->getValue(u"QVWEBSERVER", u"NAME", INI_LAYER_MERGED)), "config");
    EXPECT_EQ(u8(ini->getValue(u"QVWEBSERVER", u"NAME", INI_LAYER_USER)), "");
    EXPECT_EQ(u8(ini->getValue(u"QVWEBSERVER", u"TOP", static_cast<IniLayer>(3))), "");
    EXPECT_EQ(u8(ini->getValue(u"NOSECTION", u"TOP", INI_LAYER_MERGED)), "");
    EXPECT_EQ(ini->getIntValue(u"QVWEBSERVER", u"TOP", INI_LAYER_MERGED), 30);
    EXPECT_EQ(ini->getIntValue(u"QVWEBSERVER", u"NAME", INI_LAYER_MERGED), 0);
}

TEST_F(QvINIFileMngTest, MergedKeysAreTheUserKeysAloneWhenThereAreAny)
{
    write("config/env.ini", "[GROUPLIST]\nCNT=2\n0001=Work\n0002=Home\n[ONLYCONFIG]\nA=1\n");
    write("user/env.ini", "[GROUPLIST]\nCNT=3\n0003=New\n[ONLYCONFIG]\nB=2\n");
    auto ini = loadFresh(u"env.ini");
    EXPECT_EQ(keysOf(*ini, u"GROUPLIST", INI_LAYER_MERGED), "0003,CNT");
    EXPECT_EQ(keysOf(*ini, u"GROUPLIST", INI_LAYER_CONFIG), "0001,0002,CNT");
    EXPECT_EQ(keysOf(*ini, u"ONLYCONFIG", INI_LAYER_MERGED), "B");
    // A user section emptied by deleteKey no longer hides the config keys.
    ini->deleteKey(u"ONLYCONFIG", u"B", INI_LAYER_USER);
    EXPECT_EQ(keysOf(*ini, u"ONLYCONFIG", INI_LAYER_MERGED), "A");
    EXPECT_EQ(keysOf(*ini, u"GROUPLIST", static_cast<IniLayer>(-1)), "");
}

TEST_F(QvINIFileMngTest, SettersTouchOnlyTheirLayerAndNeverTheDisk)
{
    CQvINIFileMng ini;
    ini.setValue(u"S", u"k", u"cfg", INI_LAYER_CONFIG);
    ini.setIntValue(u"S", u"n", -42, INI_LAYER_USER);
    ini.setValue(u"S", u"x", u"ignored", INI_LAYER_MERGED);
    EXPECT_EQ(u8(ini.getValue(u"S", u"k", INI_LAYER_USER)), "");
    EXPECT_EQ(u8(ini.getValue(u"S", u"k", INI_LAYER_MERGED)), "cfg");
    EXPECT_EQ(u8(ini.getValue(u"S", u"n", INI_LAYER_USER)), "-42");
    EXPECT_EQ(u8(ini.getValue(u"S", u"x", INI_LAYER_MERGED)), "");
    EXPECT_FALSE(fs::exists(path("user")));
    EXPECT_FALSE(fs::exists(path("config")));
}

TEST_F(QvINIFileMngTest, DeleteKeyAndSaveRemoveTheKeyFromTheUserFile)
{
    write("config/session.ini", "[WEBSVRLIST]\nshipped={\"name\":\"shipped\"}\n");
    write("user/session.ini",
          "[WEBSVRLIST]\nsite1={\"port\":80}\nsite2={\"port\":81}\n[ETC]\nLASTUSEDSESSION=Default`site1\n");
    auto ini = loadFresh(u"session.ini");
    ini->deleteKey(u"WEBSVRLIST", u"site1", INI_LAYER_USER);
    ini->deleteKey(u"WEBSVRLIST", u"site2", INI_LAYER_CONFIG);  // only the user layer deletes
    EXPECT_EQ(keysOf(*ini, u"WEBSVRLIST", INI_LAYER_USER), "site2");
    ASSERT_TRUE(ini->save(u"session.ini"));
    EXPECT_EQ(read(path("user/session.ini")),
              "[WEBSVRLIST]\nsite2={\"port\":81}\n\n[ETC]\nLASTUSEDSESSION=Default`site1\n");

    // A key of the config layer alone cannot be deleted: the merged value stays.
    ini->deleteKey(u"WEBSVRLIST", u"shipped", INI_LAYER_USER);
    ASSERT_TRUE(ini->save(u"session.ini"));
    auto again = loadFresh(u"session.ini");
    EXPECT_EQ(u8(again->getValue(u"WEBSVRLIST", u"shipped", INI_LAYER_MERGED)), "{\"name\":\"shipped\"}");
    EXPECT_EQ(read(path("config/session.ini")), "[WEBSVRLIST]\nshipped={\"name\":\"shipped\"}\n");
}

TEST_F(QvINIFileMngTest, SecondRemovalInASectionBeforeSaveReplacesTheFirst)
{
    write("user/env.ini", "[S]\na=1\nb=2\nc=3\n");
    auto ini = loadFresh(u"env.ini");
    ini->deleteKey(u"S", u"a", INI_LAYER_USER);
    ini->deleteKey(u"S", u"b", INI_LAYER_USER);
    ASSERT_TRUE(ini->save(u"env.ini"));
    // Only the last removal per section reaches the file.
    EXPECT_EQ(read(path("user/env.ini")), "[S]\na=1\nc=3\n");
}

TEST_F(QvINIFileMngTest, ProfileSectionReadIsTruncatedAtTheBuffer)
{
    // 10 lines of 9 characters plus their terminators: 100 characters in all.
    std::string text = "[S]\n";
    for (int i = 0; i < 10; ++i) {
        text += "key" + std::to_string(i) + "=vvvv\n";
    }
    write("user/env.ini", text);
    qvplat::discardPrivateProfileCacheForTesting();
    const QvString file(path("user/env.ini").u16string());
    QvStringArray lines;
    bool truncated = false;
    // 35 characters kept: three whole lines and a cut one ("key3=").
    CQvEnvMng::getInstance()->getSection(u"S", 37, file, lines, &truncated);
    EXPECT_TRUE(truncated);
    EXPECT_EQ(u8(lines.join(u",")), "key0=vvvv,key1=vvvv,key2=vvvv,key3=");
    CQvEnvMng::getInstance()->getSection(u"S", 4096, file, lines, &truncated);
    EXPECT_FALSE(truncated);
    EXPECT_EQ(lines.size(), 10);

    QvStringArray names;
    write("user/net.ini", "[AB]\nx=1\n[CD]\ny=2\n");
    CQvEnvMng::getInstance()->getSectionNames(QvString(path("user/net.ini").u16string()), 4, names, &truncated);  // "AB" fits, "CD" is cut off
    EXPECT_TRUE(truncated);
    EXPECT_EQ(u8(names.join(u",")), "AB");
}

TEST_F(QvINIFileMngTest, LoadReadsListsLongerThanItsStartingBuffersWhole)
{
    std::string text = "[S]\n";
    for (int i = 0; i < 10; ++i) {
        text += "key" + std::to_string(i) + "=vvvv\n";
    }
    text += "[T]\nlast=1\n";
    write("user/env.ini", text);
    qvplat::discardPrivateProfileCacheForTesting();
    CQvINIFileMng ini;
    ini.setBufferSizes(4, 37);  // both lists overflow these: the load must not lose or cut a line
    ini.load(u"env.ini");
    EXPECT_EQ(keysOf(ini, u"S", INI_LAYER_USER), "key0,key1,key2,key3,key4,key5,key6,key7,key8,key9");
    EXPECT_EQ(u8(ini.getValue(u"S", u"key9", INI_LAYER_USER)), "vvvv");
    EXPECT_EQ(u8(ini.getValue(u"T", u"last", INI_LAYER_USER)), "1");
}

TEST_F(QvINIFileMngTest, LaterDuplicateLinesWinAndBareNamesHaveEmptyValues)
{
    write("user/env.ini", "[S]\nk=1\n; comment=ignored\nbare\n  k = 2  \n");
    auto ini = loadFresh(u"env.ini");
    EXPECT_EQ(keysOf(*ini, u"S", INI_LAYER_USER), "bare,k");
    EXPECT_EQ(u8(ini->getValue(u"S", u"k", INI_LAYER_USER)), "2");
    EXPECT_EQ(u8(ini->getValue(u"S", u"bare", INI_LAYER_USER)), "");
}

TEST_F(QvINIFileMngTest, DamagedUserFilesLoseNothingElse)
{
    write("config/env.ini", "[C]\nc=config\n");
    std::string garbage = "[A]\na=1\n";
    for (int i = 0; i < 4096; ++i) {
        garbage += static_cast<char>((i * 131 + 7) % 256);  // NULs, invalid UTF-8, stray brackets and "="
    }
    garbage += "\n[B]\nb=2\n[HUGE]\nbig=" + std::string(1 << 20, 'x') + "\nsmall=3\n[Z]\nz=last";  // no final newline
    write("user/env.ini", garbage);

    auto ini = loadFresh(u"env.ini");
    EXPECT_EQ(u8(ini->getValue(u"A", u"a", INI_LAYER_USER)), "1");
    EXPECT_EQ(u8(ini->getValue(u"B", u"b", INI_LAYER_USER)), "2");
    EXPECT_EQ(u8(ini->getValue(u"Z", u"z", INI_LAYER_USER)), "last");
    EXPECT_EQ(u8(ini->getValue(u"C", u"c", INI_LAYER_MERGED)), "config");
    // The 1 MB line is far beyond the starting section buffer; it and the line behind it survive.
    EXPECT_EQ(ini->getValue(u"HUGE", u"big", INI_LAYER_USER).length(), 1 << 20);
    EXPECT_EQ(u8(ini->getValue(u"HUGE", u"small", INI_LAYER_USER)), "3");
}

TEST_F(QvINIFileMngTest, MissingFoldersLoadEmptyAndCreateNothing)
{
    auto ini = loadFresh(u"env.ini");
    EXPECT_TRUE(ini->getUserLayer().isEmpty());
    EXPECT_TRUE(ini->getConfigLayer().isEmpty());
    EXPECT_FALSE(fs::exists(path("user")));
    EXPECT_FALSE(fs::exists(path("config")));
}

TEST_F(QvINIFileMngTest, SavingAnEmptyUserLayerWritesNothing)
{
    write("config/env.ini", "[C]\nc=config\n");
    auto ini = loadFresh(u"env.ini");
    EXPECT_FALSE(ini->save(u"env.ini"));
    EXPECT_FALSE(fs::exists(path("user/env.ini")));
    EXPECT_EQ(read(path("config/env.ini")), "[C]\nc=config\n");
}

TEST_F(QvINIFileMngTest, KeysOnlyInTheFileStayAfterSave)
{
    write("user/env.ini", "[S]\nold=1\n");
    qvplat::discardPrivateProfileCacheForTesting();
    CQvINIFileMng ini;  // not loaded: the user layer knows nothing of "old"
    ini.setValue(u"S", u"new", u"2", INI_LAYER_USER);
    ASSERT_TRUE(ini.save(u"env.ini"));
    EXPECT_EQ(read(path("user/env.ini")), "[S]\nold=1\nnew=2\n");
}

TEST_F(QvINIFileMngTest, SaveThatChangesNothingLeavesTheFileAlone)
{
    write("user/session.ini", "[WEBSVRLIST]\na={\"port\":1}\nb={\"port\":2}\n");
    auto ini = loadFresh(u"session.ini");
    const fs::path file = path("user/session.ini");
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24);
    fs::last_write_time(file, old);

    ASSERT_TRUE(ini->save(u"session.ini"));
    EXPECT_EQ(fs::last_write_time(file), old);

    ini->setValue(u"WEBSVRLIST", u"b", u"{\"port\":3}", INI_LAYER_USER);
    ASSERT_TRUE(ini->save(u"session.ini"));
    EXPECT_NE(fs::last_write_time(file), old);
    EXPECT_EQ(read(file), "[WEBSVRLIST]\na={\"port\":1}\nb={\"port\":3}\n");
}

TEST(QvTextToIntTest, ReadsTheLeadingDecimalNumber)
{
    const struct {
        const char16_t* text;
        int32_t value;
    } cases[] = {
        {u"", 0},
        {u"42", 42},
        {u"  -7", -7},
        {u"+12abc", 12},
        {u"abc", 0},
        {u"\t\n 9", 9},
        {u"0042", 42},
        {u"2147483647", 2147483647},
        {u"2147483648", 2147483647},
        {u"-2147483648", -2147483647 - 1},
        {u"99999999999999999999", 2147483647},
        {u"- 5", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qvTextToInt(c.text), c.value) << u8(c.text);
    }
}

}  // namespace
