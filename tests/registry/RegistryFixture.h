#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "TempDir.h"
#include "foundation/EnvMng.h"
#include "foundation/QvDirMng.h"
#include "platform/FileSystem.h"
#include "platform/ServiceContext.h"
#include "registry/WebServerMngr.h"
#include "webserver/WebServerInfo.h"

inline std::unique_ptr<_tag_WebServerInfo> makeDefinition(const char16_t* name, const char16_t* group, int port = 8080)
{
    auto d = std::make_unique<_tag_WebServerInfo>();
    d->name = name;
    d->grpname = group;
    d->port = port;
    d->basepath = u"/srv/www";
    d->basehtml = u"index.html";
    return d;
}

// Puts the "executable" into a fresh temporary folder, so that config/ and user/ are the test's
// own, and gives the test a fresh service context.
class RegistryFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        qvplat::setModuleFileNameForTesting(QvString::fromUtf8((m_exeDir / "qvwebserver").string()).toStd());
    }
    // What the desktop program's exit does: the services end newest first, so the registry stores
    // its definitions before the settings write them. The next use makes them anew.
    void simulateExit() { m_services.context().clear(); }
    std::string userFile(const std::string& name) const { return TempDir::read(m_exeDir / ("user/" + name)); }
    // The raw value of a key in a user file ("" when absent); the tests' keys are unique in a file.
    std::string userValue(const std::string& file, const std::string& key) const
    {
        const std::string text = "\n" + userFile(file);
        const size_t at = text.find("\n" + key + "=");
        const size_t begin = at + key.size() + 2;
        return at == std::string::npos ? "" : text.substr(begin, text.find('\n', begin) - begin);
    }

    TempDir m_exeDir{"qvregistry"};
    qvplat::ScopedServiceContext m_services;  // ends before the folder goes
};
