// Measures what every command of the program pays with many stored definitions: the registry's
// start (loading session.ini into one CWebServer per definition), listing them, adding one and the
// exit that stores everything back. Each size runs twice, with canonical and with hand-edited lines,
// each run in its own process so that its peak resident memory is its own. Every definition carries
// the full content-type table of config/config.json.
#include <json/json.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/EnvMng.h"
#include "foundation/QvDirMng.h"
#include "platform/FileSystem.h"
#include "registry/WebServerMngr.h"
#include "webserver/WebServerInfo.h"

namespace {

constexpr int kSizes[] = {1000, 10000};

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double peakMb()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Processor time of this process so far: on a shared, loaded machine it says more than the clock.
double cpuMs()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// The content-type table shipped beside the program, as the stored JSON holds it (sorted members).
std::string contentTypes(const std::filesystem::path& configJson)
{
    std::ifstream in(configJson);
    Json::Value root;
    in >> root;
    std::map<std::string, std::string> sorted;
    for (const std::string& extension : root["contents-type"].getMemberNames()) {
        sorted[extension] = root["contents-type"][extension].asString();
    }
    std::string text;
    for (const auto& [extension, type] : sorted) {
        text += (text.empty() ? "\"" : ",\"") + extension + "\":\"" + type + "\"";
    }
    return "{" + text + "}";
}

// One stored line. Canonical: exactly as the registry writes it, so loading finds nothing to rewrite
// and takes its fast path. Otherwise the same definition with its members in another order and
// blanks after the separators, as a hand edit leaves it: the full parse runs, and the load stores
// the line again in canonical form.
std::string definitionLine(int i, const std::string& types, bool canonical)
{
    const std::string name = "server" + std::to_string(i);
    const std::string port = std::to_string(20000 + i % 40000);
    const std::string group = "Group" + std::to_string(i % 7);
    const std::string path = "/home/user/sites/" + name + "/public_html";
    if (!canonical) {
        return name + R"(={"name": ")" + name + R"(", "port": )" + port + R"(, "grpname": ")" + group +
               R"(", "basepath": ")" + path + R"(", "basehtml": "index.html", "contentstype": )" + types + "}";
    }
    return name + R"(={"basehtml":"index.html","basepath":")" + path + R"(","contentstype":)" + types +
           R"(,"grpname":")" + group + R"(","name":")" + name + R"(","port":)" + port + "}";
}

void runSize(const std::filesystem::path& dir, int count, const std::string& types, bool canonical)
{
    {
        std::ofstream out(dir / "user/session.ini", std::ios::trunc);
        out << "[WEBSVRLIST]\n";
        for (int i = 0; i < count; ++i) {
            out << definitionLine(i, types, canonical) << '\n';
        }
        // As a program that has started a server leaves it: the server list is not the last
        // section, so adding to it rewrites the file rather than appending.
        out << "\n[ETC]\nLASTUSEDSESSION=Group1`server1\n";
    }
    const auto fileBytes = std::filesystem::file_size(dir / "user/session.ini");

    const double cpuStart = cpuMs();
    const auto start = Clock::now();
    CEnvMng::getInstance();  // reading the settings files, the first part of the registry's start
    const double iniCpu = cpuMs() - cpuStart;
    CQvWebServerMngr* registry = CQvWebServerMngr::getInstance();
    const double loadMs = msSince(start);
    const double loadCpu = cpuMs() - cpuStart;
    const double loadPeak = peakMb();

    const auto listStart = Clock::now();
    QvStringArray lines;
    registry->listServers(lines);
    const double listMs = msSince(listStart);
    const double listCpu = cpuMs() - cpuStart - loadCpu;

    const double addCpuStart = cpuMs();
    const auto addStart = Clock::now();
    // As a front adds: decided against session.ini re-read under its lock, then stored.
    auto added = std::make_unique<_tag_WebServerInfo>();
    added->name = u"added";
    added->grpname = u"Bench";
    added->port = 65000;
    if (registry->finishEdit(QvString(), std::move(added), ServerEditAction::Confirm) != ServerEditResult::Added) {
        std::fprintf(stderr, "registry_bench: the add was refused\n");
    }
    const double addMs = msSince(addStart);
    const double addCpu = cpuMs() - addCpuStart;
    const double addPeak = peakMb();

    const double saveCpuStart = cpuMs();
    const auto saveStart = Clock::now();
    CQvWebServerMngr::releaseInstance();
    CEnvMng::releaseInstance();
    const double saveMs = msSince(saveStart);
    const double totalMs = msSince(start);
    const double saveCpu = cpuMs() - saveCpuStart;
    const double totalCpuMs = cpuMs() - cpuStart;

    std::printf(
        "%6d definitions, %s lines (%.1f MB session.ini, %d listed): load %.0f ms, list %.0f ms, add one %.0f ms, "
        "save back %.0f ms, total %.0f ms (target < 1000 ms %s); processor %.0f ms (load %.0f of which settings "
        "read %.0f, list %.0f, add %.0f, save %.0f); peak RSS %.0f MB (target < 200 MB %s; %.0f after load, %.0f "
        "after add)\n",
        count, canonical ? "canonical" : "hand-edited", static_cast<double>(fileBytes) / 1e6, lines.size(), loadMs,
        listMs, addMs, saveMs, totalMs, totalMs < 1000 ? "holds" : "FAILS", totalCpuMs, loadCpu, iniCpu, listCpu,
        addCpu, saveCpu, peakMb(), peakMb() < 200 ? "holds" : "FAILS", loadPeak, addPeak);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<int> sizes(std::begin(kSizes), std::end(kSizes));
    if (argc > 1) {
        sizes = {std::atoi(argv[1])};  // one size, for a profiler
    }
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe");
    const std::filesystem::path configJson = exe.parent_path() / "config" / "config.json";
    if (!std::filesystem::exists(configJson)) {
        std::fprintf(stderr, "registry_bench: %s is missing\n", configJson.c_str());
        return 1;
    }
    const std::string types = contentTypes(configJson);
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "qv_registry_bench";
    std::printf("registry_bench: one process per size, full content-type table per definition\n");
    for (const int count : sizes) {
        for (const bool canonical : {true, false}) {
            std::filesystem::remove_all(dir);
            std::filesystem::create_directories(dir / "user");
            std::fflush(stdout);
            const pid_t child = ::fork();
            if (child == 0) {
                qvplat::setModuleFileNameForTesting((dir / "qvwebserver").u16string());
                runSize(dir, count, types, canonical);
                std::_Exit(0);
            }
            int status = 0;
            ::waitpid(child, &status, 0);
        }
    }
    std::filesystem::remove_all(dir);
    return 0;
}
