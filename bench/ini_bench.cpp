// Measures loading and saving a session.ini of 1,000 server definitions through the settings
// managers, in a temporary folder that plays the executable's folder. Prints figures only.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "foundation/EnvMng.h"
#include "foundation/QvDirMng.h"
#include "foundation/QvINIFileMng.h"
#include "platform/FileSystem.h"

namespace fs = std::filesystem;

namespace {

constexpr int kServers = 1000;
constexpr int kRounds = 15;                      // timed repetitions; the median is reported
constexpr uint32_t kWideSectionChars = 1 << 20;  // room for every definition (about 300,000 characters)

// One definition as the registry stores it: compact JSON of about 300 characters.
std::string definition(int i)
{
    char name[16];
    std::snprintf(name, sizeof name, "site%04d", i);
    return std::string("{\"basehtml\":\"index.html\",\"basepath\":\"/srv/www/") + name +
           "/public_html\",\"contentstype\":{\"css\":\"text/css\",\"html\":\"text/html; "
           "charset=utf-8\",\"jpg\":\"image/jpeg\",\"js\":\"text/javascript\",\"json\":\"application/json\","
           "\"png\":\"image/png\",\"svg\":\"image/svg+xml\",\"txt\":\"text/plain\"},\"grpname\":\"Group" +
           std::to_string(i % 10) + "\",\"name\":\"" + name + "\",\"port\":" + std::to_string(8000 + i) + "}";
}

QvString serverName(int i)
{
    char name[16];
    std::snprintf(name, sizeof name, "site%04d", i);
    return QvString::fromUtf8(name);
}

double millisecondsOf(const std::function<void()>& work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

struct Figures {
    double median;
    double best;
    double worst;
};

Figures repeat(const std::function<void()>& prepare, const std::function<void()>& work)
{
    std::vector<double> times;
    for (int round = 0; round < kRounds; ++round) {
        prepare();
        times.push_back(millisecondsOf(work));
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times.front(), times.back()};
}

void print(const char* what, const Figures& f)
{
    std::printf("  %-58s median %8.2f ms  (best %.2f, worst %.2f)\n", what, f.median, f.best, f.worst);
}

// A hard link taken before a save still names the same file afterwards only when the save
// wrote nothing (a write replaces the file with a new one); the time stamp must stay too.
struct UntouchedProbe {
    fs::path file;
    fs::path link;
    fs::file_time_type stamp;

    explicit UntouchedProbe(const fs::path& f) : file(f), link(f.string() + ".probe")
    {
        fs::remove(link);
        fs::create_hard_link(file, link);
        stamp = fs::last_write_time(file);
    }
    ~UntouchedProbe()
    {
        std::error_code ec;
        fs::remove(link, ec);
    }
    bool untouched() const { return fs::equivalent(file, link) && fs::last_write_time(file) == stamp; }
};

fs::path makeWorkFolder()
{
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path dir = fs::temp_directory_path() / ("qv-ini-bench-" + std::to_string(random()));
        if (fs::create_directory(dir)) {
            return dir;
        }
    }
    return {};
}

}  // namespace

int main()
{
    const fs::path root = makeWorkFolder();
    if (root.empty()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    qvplat::setModuleFileNameForTesting((root / "qvwebserver").u16string());
    const fs::path sessionFile = root / "user" / "session.ini";
    const QvString sessionName(u"session.ini");

    std::printf("session.ini with %d server definitions, each one line of JSON of about %zu characters\n", kServers,
                definition(0).size());

    // Writing every definition into a new file: the first save after creating the servers.
    const Figures create = repeat(
        [&] {
            CEnvMng::releaseInstance();
            fs::remove(sessionFile);
            CEnvMng* env = CEnvMng::getInstance();
            for (int i = 0; i < kServers; ++i) {
                env->setString(ENV_FILE_SESSION, u"WEBSVRLIST", serverName(i), QvString::fromUtf8(definition(i)));
            }
        },
        [&] { CEnvMng::getInstance()->getIniFile(ENV_FILE_SESSION)->save(sessionName); });
    CEnvMng::releaseInstance();
    std::printf("  file size: %ju bytes\n", static_cast<uintmax_t>(fs::file_size(sessionFile)));
    print("save of 1,000 new definitions into a new file", create);

    std::printf("\nthrough CEnvMng (files are read whole, whatever the buffer sizes):\n");
    {
        // The first start on this file: load, then the save of the exit sequence.
        CEnvMng::releaseInstance();
        const uintmax_t sizeBefore = fs::file_size(sessionFile);
        CEnvMng* env = CEnvMng::getInstance();
        const int loaded = env->getKeys(ENV_FILE_SESSION, u"WEBSVRLIST").size();
        std::printf("  definitions loaded: %d of %d\n", loaded, kServers);
        UntouchedProbe probe(sessionFile);
        const double ms = millisecondsOf([&] { env->getIniFile(ENV_FILE_SESSION)->save(sessionName); });
        std::printf("  save right after that load: %.2f ms, file %s, %ju bytes before, %ju after\n", ms,
                    probe.untouched() ? "untouched" : "REWRITTEN", sizeBefore,
                    static_cast<uintmax_t>(fs::file_size(sessionFile)));
    }
    const Figures load = repeat([&] { CEnvMng::releaseInstance(); }, [&] { CEnvMng::getInstance(); });
    print("load (CEnvMng creation: env.ini, net.ini, session.ini)", load);
    CEnvMng::releaseInstance();

    // The same file again from scratch, through one manager, to time the INI code alone.
    fs::remove(sessionFile);
    {
        CQvINIFileMng ini;
        for (int i = 0; i < kServers; ++i) {
            ini.setValue(u"WEBSVRLIST", serverName(i), QvString::fromUtf8(definition(i)), INI_LAYER_USER);
        }
        ini.save(sessionName);
    }
    std::printf("\none CQvINIFileMng (section buffer set to %u characters, which no longer matters):\n",
                kWideSectionChars);
    std::unique_ptr<CQvINIFileMng> wide;
    const auto freshManager = [&] {
        wide = std::make_unique<CQvINIFileMng>();
        wide->setBufferSizes(CEnvMng::kSectionNamesChars, kWideSectionChars);
    };
    const Figures wideLoad = repeat([&] { freshManager(); }, [&] { wide->load(sessionName); });
    print("load of session.ini (file read and parsed)", wideLoad);
    std::printf("  definitions loaded: %d of %d\n", wide->getKeys(u"WEBSVRLIST", INI_LAYER_USER).size(), kServers);

    const Figures warmLoad = repeat(freshManager, [&] { wide->load(sessionName); });
    print("load of session.ini again (the page cache warm)", warmLoad);

    bool allUntouched = true;
    const Figures unchanged = repeat([] {},
                                     [&] {
                                         UntouchedProbe probe(sessionFile);
                                         wide->save(sessionName);
                                         allUntouched = allUntouched && probe.untouched();
                                     });
    print("save that changes nothing", unchanged);
    std::printf("  file untouched by those saves (same inode, same time stamp): %s\n", allUntouched ? "yes" : "NO");

    int round = 0;
    const Figures oneChange = repeat(
        [&] {
            ++round;
            wide->setValue(u"WEBSVRLIST", serverName(500), QvString::fromUtf8(definition(500 + round)), INI_LAYER_USER);
        },
        [&] { wide->save(sessionName); });
    print("save after changing one definition (atomic replace, fsync)", oneChange);

    CEnvMng::releaseInstance();
    CQvDirMng::releaseInstance();
    qvplat::setModuleFileNameForTesting(u"");
    std::error_code ec;
    fs::remove_all(root, ec);
    return 0;
}
