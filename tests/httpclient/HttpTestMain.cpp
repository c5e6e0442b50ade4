#include <gtest/gtest.h>

#include "ExeFolder.h"

// Work items compute their log path below the executable's folder, which creates "Log" there; the
// tests pretend the executable lives in a temporary folder so the build tree stays clean.
class ModuleDirEnvironment : public ::testing::Environment {
    void TearDown() override { m_exe.services.context().clear(); }
    ExeFolder m_exe{"qvhttp"};
};

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new ModuleDirEnvironment);
    return RUN_ALL_TESTS();
}
