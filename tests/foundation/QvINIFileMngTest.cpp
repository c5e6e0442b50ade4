#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ModuleDirFixture.h"
#include "foundation/QvINIFileMng.h"

namespace fs = std::filesystem;

namespace {

class QvINIFileMngTest : public ModuleDirTest {
protected:
    static void withLimit(int resource, rlim_t value, const std::function<void()>& action)
    {
        rlimit old{};
        ASSERT_EQ(::getrlimit(resource, &old), 0);
        rlimit low = old;
        low.rlim_cur = value;
        ASSERT_EQ(::setrlimit(resource, &low), 0);
        action();
        ASSERT_EQ(::setrlimit(resource, &old), 0);
    }
    // A manager loaded from disk as a new process would see it.
    static std::unique_ptr<CQvINIFileMng> loadFresh(const char16_t* fileName)
    {
        auto ini = std::make_unique<CQvINIFileMng>();
        ini->load(fileName);
        return ini;
    }
    static std::string keysOf(const CQvINIFileMng& ini, const char16_t* section, IniLayer layer)
    {
        return ini.getKeys(section, layer).join(u",").toUtf8();
    }
};

// The merged layer takes a user value unless it is missing or empty, and a section's user keys
// unless it has none.
TEST_F(QvINIFileMngTest, MergedLayerPrefersTheUserLayer)
{
    write("config/env.ini",
          "[QV]\nLEFT=10\nTOP=20\nNAME=config\n[GROUPLIST]\nCNT=2\n0001=Work\n0002=Home\n[ONLYCONFIG]\nA=1\n");
    // A later line of the same key wins; a bare name is a key with an empty value.
    write("user/env.ini", "[QV]\nLEFT=\nTOP=3\nTOP=30\n[GROUPLIST]\nCNT=3\n0003=New\n[ONLYCONFIG]\nB\n");
    auto ini = loadFresh(u"env.ini");
    const struct {
        const char16_t* key;
        IniLayer layer;
        const char* value;
    } cases[] = {
        {u"LEFT", INI_LAYER_MERGED, "10"}, {u"LEFT", INI_LAYER_USER, ""}, {u"TOP", INI_LAYER_MERGED, "30"},
        {u"TOP", INI_LAYER_CONFIG, "20"},  {u"NAME", INI_LAYER_USER, ""}, {u"NAME", INI_LAYER_MERGED, "config"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ini->getValue(u"QV", c.key, c.layer).toUtf8(), c.value)
            << QvString(c.key).toUtf8() << " in layer " << c.layer;
    }
    EXPECT_EQ(keysOf(*ini, u"GROUPLIST", INI_LAYER_MERGED), "0003,CNT");
    EXPECT_EQ(keysOf(*ini, u"GROUPLIST", INI_LAYER_CONFIG), "0001,0002,CNT");
    EXPECT_EQ(keysOf(*ini, u"ONLYCONFIG", INI_LAYER_MERGED), "B");
    // A user section emptied by deleteKey no longer hides the config keys.
    ini->deleteKey(u"ONLYCONFIG", u"B", INI_LAYER_USER);
    EXPECT_EQ(keysOf(*ini, u"ONLYCONFIG", INI_LAYER_MERGED), "A");
}

TEST_F(QvINIFileMngTest, MissingUserFileLoadsEmptyAndAnEmptyLayerWritesNothing)
{
    write("config/env.ini", "[C]\nc=config\n");
    auto ini = loadFresh(u"env.ini");
    EXPECT_TRUE(ini->getUserLayer().isEmpty());
    EXPECT_FALSE(fs::exists(path("user")));
    EXPECT_FALSE(ini->save(u"env.ini"));
    EXPECT_EQ(read(path("config/env.ini")), "[C]\nc=config\n");
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

TEST_F(QvINIFileMngTest, DeletedKeysLeaveTheUserFileAndConfigKeysStay)
{
    write("config/session.ini", "[WEBSVRLIST]\nshipped={\"name\":\"shipped\"}\n");
    write("user/session.ini", "[WEBSVRLIST]\nsite1={\"port\":80}\nsite2={\"port\":81}\nsite3=x\n[ETC]\nLAST=a\n");
    auto ini = loadFresh(u"session.ini");
    ini->deleteKey(u"WEBSVRLIST", u"site1", INI_LAYER_USER);
    ini->deleteKey(u"WEBSVRLIST", u"site3", INI_LAYER_USER);
    ini->deleteKey(u"WEBSVRLIST", u"site2", INI_LAYER_CONFIG);  // only the user layer deletes
    ini->deleteKey(u"WEBSVRLIST", u"shipped", INI_LAYER_USER);  // a config key cannot be deleted
    EXPECT_EQ(keysOf(*ini, u"WEBSVRLIST", INI_LAYER_USER), "site2");
    ASSERT_TRUE(ini->save(u"session.ini"));
    EXPECT_EQ(read(path("user/session.ini")), "[WEBSVRLIST]\nsite2={\"port\":81}\n[ETC]\nLAST=a\n");
    EXPECT_EQ(loadFresh(u"session.ini")->getValue(u"WEBSVRLIST", u"shipped", INI_LAYER_MERGED).toUtf8(),
              "{\"name\":\"shipped\"}");
}

// A process that loaded the file earlier writes back only what it changed itself: a key another
// process deleted stays deleted, a value another process changed stays changed, and its own new
// key goes behind the one another process added since.
TEST_F(QvINIFileMngTest, EarlierLoadedProcessWritesOnlyItsOwnChanges)
{
    write("user/session.ini", "[WEBSVRLIST]\na={\"port\":1}\nb={\"port\":2}\nc={\"port\":3}\n");
    auto early = loadFresh(u"session.ini");
    auto other = loadFresh(u"session.ini");
    other->deleteKey(u"WEBSVRLIST", u"b", INI_LAYER_USER);
    other->setValue(u"WEBSVRLIST", u"c", u"{\"port\":33}", INI_LAYER_USER);
    other->setValue(u"WEBSVRLIST", u"e", u"{\"port\":5}", INI_LAYER_USER);
    ASSERT_TRUE(other->save(u"session.ini"));

    // The early process stores everything it holds, as the program does on exit, and adds one key.
    for (const auto& [key, value] : *early->getUserLayer().find(u"WEBSVRLIST")) {
        early->setUtf8Value(u"WEBSVRLIST", key, value, INI_LAYER_USER);
    }
    early->setValue(u"WEBSVRLIST", u"d", u"{\"port\":4}", INI_LAYER_USER);
    ASSERT_TRUE(early->save(u"session.ini"));
    EXPECT_EQ(read(path("user/session.ini")),
              "[WEBSVRLIST]\na={\"port\":1}\nc={\"port\":33}\ne={\"port\":5}\nd={\"port\":4}\n");
}

// A value set but not yet saved survives a re-read of the file (another process's save in between)
// and is what the next save writes.
TEST_F(QvINIFileMngTest, UnsavedValueSurvivesAReloadAndIsSavedAfterIt)
{
    write("user/session.ini", "[WEBSVRLIST]\na=1\n");
    auto mine = loadFresh(u"session.ini");
    mine->setValue(u"WEBSVRLIST", u"a", u"mine", INI_LAYER_USER);
    auto other = loadFresh(u"session.ini");
    other->setValue(u"WEBSVRLIST", u"b", u"theirs", INI_LAYER_USER);
    ASSERT_TRUE(other->save(u"session.ini"));
    ASSERT_TRUE(mine->reload(u"session.ini"));
    EXPECT_EQ(mine->getValue(u"WEBSVRLIST", u"a", INI_LAYER_USER).toUtf8(), "mine");
    ASSERT_TRUE(mine->save(u"session.ini"));
    EXPECT_EQ(read(path("user/session.ini")), "[WEBSVRLIST]\na=mine\nb=theirs\n");
}

// Out of descriptors while loading: the file exists but cannot be read. The load says so and no
// save replaces the file with the few keys this process knows.
TEST_F(QvINIFileMngTest, UnreadableUserFileIsReportedAndNeverReplaced)
{
    const std::string content = "[WEBSVRLIST]\nsite1=1\nsite2=2\n";
    write("user/session.ini", content);
    CQvDirMng::getInstance();  // the paths are known before the descriptors run out

    CQvINIFileMng ini;
    bool loaded = true;
    withLimit(RLIMIT_NOFILE, 64, [&] {
        std::vector<int> held;
        for (int fd; (fd = ::dup(0)) >= 0;) {
            held.push_back(fd);
        }
        loaded = ini.load(u"session.ini");
        for (const int fd : held) {
            ::close(fd);
        }
    });

    EXPECT_FALSE(loaded);
    EXPECT_NE(ini.lastError().toUtf8().find("session.ini: Too many open files"), std::string::npos);
    ini.setValue(u"WEBSVRLIST", u"site3", u"3", INI_LAYER_USER);
    EXPECT_FALSE(ini.save(u"session.ini"));
    EXPECT_FALSE(ini.update(u"session.ini", [](CQvINIFileMng&) { ADD_FAILURE() << "ran on an unread file"; }));
    EXPECT_NE(ini.lastError().toUtf8().find("session.ini: "), std::string::npos);
    EXPECT_EQ(read(path("user/session.ini")), content);
}

// A write that fails (here: the file-size limit, as a full disk would) is reported with the file
// and the reason, and leaves the file as it was.
TEST_F(QvINIFileMngTest, FailedWriteIsReportedAndLeavesTheFile)
{
    const std::string content = "[S]\nold=" + std::string(8192, 'x') + "\n";
    write("user/env.ini", content);
    auto ini = loadFresh(u"env.ini");
    ini->setValue(u"S", u"new", u"1", INI_LAYER_USER);

    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    bool saved = true;
    withLimit(RLIMIT_FSIZE, 4096, [&] { saved = ini->save(u"env.ini"); });
    std::signal(SIGXFSZ, previous);

    EXPECT_FALSE(saved);
    EXPECT_EQ(ini->lastError().toUtf8(), path("user/env.ini").string() + ": File too large");
    EXPECT_EQ(read(path("user/env.ini")), content);
    ASSERT_TRUE(ini->save(u"env.ini")) << "the change is kept for the next save";
    EXPECT_EQ(read(path("user/env.ini")), content + "new=1\n");
}

TEST(QvTextToIntTest, ReadsTheLeadingDecimalNumberAndSaturates)
{
    const std::pair<const char16_t*, int32_t> cases[] = {
        {u"", 0},
        {u"  -7", -7},
        {u"+12abc", 12},
        {u"abc", 0},
        {u"- 5", 0},
        {u"2147483647", 2147483647},
        {u"2147483648", 2147483647},
        {u"-2147483648", -2147483647 - 1},
        {u"99999999999999999999", 2147483647},
    };
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(qvTextToInt(text), value) << QvString(text).toUtf8();
    }
}

}  // namespace
