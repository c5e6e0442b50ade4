#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ExeFolder.h"
#include "foundation/EnvMng.h"
#include "foundation/QvDirMng.h"
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

class RegistryFixture : public ::testing::Test {
protected:
    // What the desktop program's exit does: the services end newest first, so the registry stores
    // its definitions before the settings write them. The next use makes them anew.
    void simulateExit() { m_exe.services.context().clear(); }
    std::string userFile(const std::string& name) const { return TempDir::read(m_exe.dir / ("user/" + name)); }
    // The raw value of a key in a user file ("" when absent); the tests' keys are unique in a file.
    std::string userValue(const std::string& file, const std::string& key) const
    {
        const std::string text = "\n" + userFile(file);
        const size_t at = text.find("\n" + key + "=");
        const size_t begin = at + key.size() + 2;
        return at == std::string::npos ? "" : text.substr(begin, text.find('\n', begin) - begin);
    }

    ExeFolder m_exe{"qvregistry"};
};
