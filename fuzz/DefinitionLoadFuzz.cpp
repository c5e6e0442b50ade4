// A stored definition line through the registry's load: the line is the value of one key of
// session.ini's "WEBSVRLIST" in the user layer of a fixed temporary program folder. Whatever the
// registry made of it must come back the same after it stored its definitions and loaded them again.
// The JSON library is the oracle of the definition codec: the line the codec writes for a record is
// the library's compact writing of it.

#include <json/json.h>

#include <algorithm>
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
#include "registry/DefinitionCodec.h"
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

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::string oracleLine(const _tag_WebServerInfo& definition)
{
    Json::Value root(Json::objectValue);
    root["name"] = definition.name.toUtf8();
    root["grpname"] = definition.grpname.toUtf8();
    root["basepath"] = definition.basepath.toUtf8();
    root["basehtml"] = definition.basehtml.toUtf8();
    root["port"] = definition.port;
    Json::Value table(Json::objectValue);
    for (const auto& [extension, type] : definition.contentstype) {
        table[extension.toUtf8()] = type.toUtf8();
    }
    root["contentstype"] = table;
    std::string text = Json::FastWriter().write(root);
    std::erase(text, '\n');
    return text;
}
#pragma GCC diagnostic pop

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
    DefinitionCodec codec;
    if (const std::unique_ptr<_tag_WebServerInfo> parsed = codec.parse(line)) {
        QV_FUZZ_CHECK(codec.write(*parsed) == oracleLine(*parsed));
    }

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
