#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "TempDir.h"

struct _tag_WebServerInfo;

// A definition serving /srv/www with index.html; the tests change what they look at.
std::unique_ptr<_tag_WebServerInfo> makeDefinition(const char16_t* name, const char16_t* group, int port = 8080);

// Puts the "executable" into a fresh temporary folder, so that config/ and user/ are the
// test's own, and starts every singleton the registry uses from a clean state.
class RegistryFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // What the desktop program's exit does: the registry stores its definitions into the
    // user layer, then the settings write the three files.
    void simulateExit();

    void writeConfigFile(const std::string& name, const std::string& text) const;
    void writeUserFile(const std::string& name, const std::string& text) const;
    std::string userFile(const std::string& name) const;
    // The raw value of a key in a user INI file ("" when absent).
    std::string userValue(const std::string& file, const std::string& section, const std::string& key) const;

    TempDir m_exeDir{"qvregistry"};
};
