#include "RegistryFixture.h"

#include <sstream>

#include "foundation/EnvMng.h"
#include "foundation/QvDirMng.h"
#include "platform/FileSystem.h"
#include "registry/WebServerMngr.h"
#include "webserver/WebServerInfo.h"

void RegistryFixture::SetUp()
{
    CQvWebServerMngr::releaseInstance();
    CEnvMng::releaseInstance();
    CQvDirMng::releaseInstance();
    qvplat::setModuleFileNameForTesting(QvString::fromUtf8((m_exeDir.path() / "qvwebserver").string()).toStd());
}

void RegistryFixture::TearDown()
{
    CQvWebServerMngr::releaseInstance();
    CEnvMng::releaseInstance();
    CQvDirMng::releaseInstance();
    qvplat::setModuleFileNameForTesting(u"");
}

void RegistryFixture::simulateExit()
{
    CQvWebServerMngr::releaseInstance();
    CEnvMng::releaseInstance();
}

std::unique_ptr<_tag_WebServerInfo> makeDefinition(const char16_t* name, const char16_t* group, int port)
{
    auto d = std::make_unique<_tag_WebServerInfo>();
    d->name = name;
    d->grpname = group;
    d->port = port;
    d->basepath = u"/srv/www";
    d->basehtml = u"index.html";
    return d;
}

void RegistryFixture::writeConfigFile(const std::string& name, const std::string& text) const
{
    m_exeDir.write("config/" + name, text);
}

void RegistryFixture::writeUserFile(const std::string& name, const std::string& text) const
{
    m_exeDir.write("user/" + name, text);
}

std::string RegistryFixture::userFile(const std::string& name) const
{
    return TempDir::read(m_exeDir / ("user/" + name));
}

std::string RegistryFixture::userValue(const std::string& file, const std::string& section,
                                       const std::string& key) const
{
    std::istringstream in(userFile(file));
    std::string line;
    bool inSection = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty() && line.front() == '[') {
            inSection = line == "[" + section + "]";
            continue;
        }
        if (inSection && line.rfind(key + "=", 0) == 0) {
            return line.substr(key.size() + 1);
        }
    }
    return {};
}
