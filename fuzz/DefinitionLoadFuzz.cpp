// A stored definition line through the registry's load: the line is the value of one key of
// session.ini's "WEBSVRLIST" in the user layer of a fixed temporary program folder. Whatever the
// registry made of it must come back the same after it stored its definitions and loaded them again.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "TempDir.h"
#include "foundation/EnvMng.h"
#include "foundation/QvDirMng.h"
#include "platform/FileSystem.h"
#include "registry/WebServerMngr.h"
#include "webserver/WebServerInfo.h"

namespace {

namespace fs = std::filesystem;

std::unique_ptr<TempDir> s_programDir;  // removed when the process ends

void releaseAll()
{
    CQvWebServerMngr::releaseInstance();  // stores the definitions in the user layer
    CEnvMng::releaseInstance();           // writes the settings files
}

// Every registered definition as one line of text per field.
std::vector<std::u16string> snapshot()
{
    std::vector<std::u16string> out;
    CQvWebServerMngr* registry = CQvWebServerMngr::getInstance();
    for (const QvString& name : registry->serverNames()) {
        const _tag_WebServerInfo* d = registry->getDefinition(name);
        QV_FUZZ_CHECK(d != nullptr);
        out.push_back(u"name " + d->name.toStd() + u"\ngroup " + d->grpname.toStd() + u"\nport " +
                      QvString::fromUtf8(std::to_string(d->port)).toStd() + u"\npath " + d->basepath.toStd() +
                      u"\nhtml " + d->basehtml.toStd());
        for (const auto& [extension, type] : d->contentstype) {
            out.push_back(u"type " + extension.toStd() + u"=" + type.toStd());
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    s_programDir = std::make_unique<TempDir>("qvfuzz-definition");
    fs::create_directories(*s_programDir / "config");
    qvplat::setModuleFileNameForTesting(QvString::fromUtf8((*s_programDir / "qvwebserver").string()).toStd());
    CQvDirMng::releaseInstance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string line(reinterpret_cast<const char*>(data), size);
    line = line.substr(0, line.find_first_of("\r\n"));  // one stored line
    std::error_code ignored;
    fs::remove_all(*s_programDir / "user", ignored);
    fs::create_directories(*s_programDir / "user");
    std::ofstream(*s_programDir / "user" / "session.ini", std::ios::binary) << "[WEBSVRLIST]\nfuzz=" << line << "\n";

    releaseAll();
    const std::vector<std::u16string> loaded = snapshot();
    releaseAll();
    QV_FUZZ_CHECK(snapshot() == loaded);
    releaseAll();
    return 0;
}
