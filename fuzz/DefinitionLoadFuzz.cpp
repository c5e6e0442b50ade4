// A stored definition line through the registry's load: the line is the value of one key of
// session.ini's "WEBSVRLIST" in the user layer of a fixed temporary program folder. Whatever the
// registry made of it must come back the same after it stored its definitions and loaded them again.
// The JSON library is the oracle of the definition codec: the codec reads a line as the library's
// reader (comments allowed) does, and writes a record as the library's compact writer does.

#include <json/json.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "TempDir.h"
#include "foundation/QvCodePage.h"
#include "platform/FileSystem.h"
#include "platform/ServiceContext.h"
#include "registry/DefinitionCodec.h"
#include "registry/WebServerMngr.h"
#include "webserver/WebServerInfo.h"

namespace {

namespace fs = std::filesystem;

std::unique_ptr<TempDir> s_programDir;  // removed when the process ends

// The services of the program in s_programDir, fresh; when they end, the registry stores the
// definitions and then the settings write the files.
struct ProgramServices {
    qvplat::ScopedServiceContext services;
    ProgramServices()
    {
        qvplat::setModuleFileNameForTesting(QvString::fromUtf8((*s_programDir / "qvwebserver").string()).toStd());
    }
};

// A definition as one line of text per field.
std::vector<std::u16string> describe(const _tag_WebServerInfo& d)
{
    std::vector<std::u16string> out;
    out.push_back(u"name " + d.name.toStd() + u"\ngroup " + d.grpname.toStd() + u"\nport " +
                  QvString::fromUtf8(std::to_string(d.port)).toStd() + u"\npath " + d.basepath.toStd() + u"\nhtml " +
                  d.basehtml.toStd());
    for (const auto& [extension, type] : d.contentstype) {
        out.push_back(u"type " + extension.toStd() + u"=" + type.toStd());
    }
    return out;
}

// Every registered definition.
std::vector<std::u16string> snapshot()
{
    std::vector<std::u16string> out;
    CQvWebServerMngr* registry = CQvWebServerMngr::getInstance();
    for (const QvString& name : registry->serverNames()) {
        const _tag_WebServerInfo* d = registry->getDefinition(name);
        QV_FUZZ_CHECK(d != nullptr);
        const std::vector<std::u16string> fields = describe(*d);
        out.insert(out.end(), fields.begin(), fields.end());
    }
    return out;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
QvString oracleText(const Json::Value& value)
{
    const char* begin = nullptr;
    const char* end = nullptr;
    value.getString(&begin, &end);
    return qvDecodeBytes(std::string_view(begin, static_cast<size_t>(end - begin)), kCodePageUtf8);
}

// What the library's reader makes of a stored line: null when it is no usable definition.
std::unique_ptr<_tag_WebServerInfo> oracleDefinition(const std::string& line)
{
    Json::Value root;
    try {
        if (!Json::Reader(Json::Features::all()).parse(line.data(), line.data() + line.size(), root, false)) {
            return nullptr;
        }
    } catch (const std::exception&) {  // nesting past the reader's depth limit
        return nullptr;
    }
    if (!root.isObject()) {
        return nullptr;
    }
    auto definition = std::make_unique<_tag_WebServerInfo>();
    QvString* fields[] = {&definition->name, &definition->grpname, &definition->basepath, &definition->basehtml};
    const char* members[] = {"name", "grpname", "basepath", "basehtml"};
    for (size_t i = 0; i < 4; ++i) {
        if (root.isMember(members[i]) && !root[members[i]].isString()) {
            return nullptr;
        }
        if (root.isMember(members[i])) {
            *fields[i] = oracleText(root[members[i]]);
        }
    }
    if (root.isMember("port") && !root["port"].isInt()) {
        return nullptr;
    }
    definition->port = root.isMember("port") ? root["port"].asInt() : definition->port;
    if (root.isMember("contentstype")) {
        const Json::Value& types = root["contentstype"];
        if (!types.isObject()) {
            return nullptr;
        }
        for (auto it = types.begin(); it != types.end(); ++it) {
            const char* end = nullptr;
            const char* extension = it.memberName(&end);
            if (it->isString()) {
                definition->contentstype.set(
                    qvDecodeBytes(std::string_view(extension, static_cast<size_t>(end - extension)), kCodePageUtf8),
                    oracleText(*it));
            }
        }
    }
    return definition->name.isEmpty() ? nullptr : std::move(definition);
}

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
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string line(reinterpret_cast<const char*>(data), size);
    line = line.substr(0, line.find_first_of("\r\n"));  // one stored line
    DefinitionCodec codec;
    const std::unique_ptr<_tag_WebServerInfo> parsed = codec.parse(line);
    const std::unique_ptr<_tag_WebServerInfo> expected = oracleDefinition(line);
    QV_FUZZ_CHECK((parsed == nullptr) == (expected == nullptr));
    if (parsed != nullptr) {
        QV_FUZZ_CHECK(describe(*parsed) == describe(*expected));
        QV_FUZZ_CHECK(codec.write(*parsed) == oracleLine(*parsed));
    }

    std::error_code ignored;
    fs::remove_all(*s_programDir / "user", ignored);
    fs::create_directories(*s_programDir / "user");
    std::ofstream(*s_programDir / "user" / "session.ini", std::ios::binary) << "[WEBSVRLIST]\nfuzz=" << line << "\n";

    std::vector<std::u16string> loaded;
    {
        const ProgramServices first;
        loaded = snapshot();
    }
    const ProgramServices again;
    QV_FUZZ_CHECK(snapshot() == loaded);
    return 0;
}
