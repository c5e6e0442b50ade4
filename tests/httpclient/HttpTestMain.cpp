#include <gtest/gtest.h>

#include "TempDir.h"
#include "platform/FileSystem.h"
#include "platform/ServiceContext.h"

// Work items compute their log path below the executable's folder, which creates "Log" there; the
// tests pretend the executable lives in a temporary folder so the build tree stays clean.
class ModuleDirEnvironment : public ::testing::Environment {
    void SetUp() override { qvplat::setModuleFileNameForTesting((m_dir.path() / "qv_httpclient_tests").u16string()); }
    void TearDown() override { m_services.context().clear(); }
    TempDir m_dir{"qvhttp"};
    qvplat::ScopedServiceContext m_services;
};

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new ModuleDirEnvironment);
    return RUN_ALL_TESTS();
}
