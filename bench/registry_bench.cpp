// Times the registry's start and exit with 1,000 stored server definitions: loading
// session.ini into CQvWebServerMngr (one CWebServer per definition) and storing everything
// back the way the program's exit does.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "foundation/EnvMng.h"
#include "foundation/QvDirMng.h"
#include "platform/FileSystem.h"
#include "platform/Profile.h"
#include "registry/WebServerMngr.h"

namespace {

constexpr int kDefinitions = 1000;
constexpr int kRounds = 5;

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string definitionLine(int i)
{
    const std::string name = "server" + std::to_string(i);
    return name + R"(={"basehtml":"index.html","basepath":"/home/user/sites/)" + name +
           R"(/public_html","contentstype":{"css":"text/css","gif":"image/gif","html":"text/html",)"
           R"("jpg":"image/jpeg","js":"text/javascript","json":"application/json","png":"image/png",)"
           R"("svg":"image/svg+xml","txt":"text/plain"},"grpname":"Group)" +
           std::to_string(i % 7) + R"(","name":")" + name + R"(","port":)" + std::to_string(20000 + i) + "}";
}

}  // namespace

int main()
{
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "qv_registry_bench";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "user");
    qvplat::setModuleFileNameForTesting((dir / "qvwebserver").u16string());

    std::printf("registry_bench: %d stored definitions, %d rounds\n", kDefinitions, kRounds);
    for (int round = 0; round < kRounds; ++round) {
        {
            std::ofstream out(dir / "user/session.ini", std::ios::trunc);
            out << "[WEBSVRLIST]\n";
            for (int i = 0; i < kDefinitions; ++i) {
                out << definitionLine(i) << '\n';
            }
        }
        qvplat::discardPrivateProfileCacheForTesting();
        CQvDirMng::releaseInstance();

        const auto loadStart = Clock::now();
        CQvWebServerMngr* registry = CQvWebServerMngr::getInstance();
        const double loadMs = msSince(loadStart);
        const int loaded = registry->serverCount();

        const auto saveStart = Clock::now();
        CQvWebServerMngr::releaseInstance();
        CEnvMng::releaseInstance();
        const double saveMs = msSince(saveStart);
        std::printf("round %d: loaded %d, load %.1f ms, save back %.1f ms, total %.1f ms (target < 500 ms)\n",
                    round + 1, loaded, loadMs, saveMs, loadMs + saveMs);
    }
    CQvDirMng::releaseInstance();
    std::filesystem::remove_all(dir);
    return 0;
}
