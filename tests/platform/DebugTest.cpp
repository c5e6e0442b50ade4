#include <gtest/gtest.h>

#include "platform/Debug.h"

namespace {

TEST(DebugTest, WritesOneUtf8LinePerCall)
{
    ::testing::internal::CaptureStderr();
    qvplat::outputDebugString(u"[12:00:00:000]:h\u00E9llo \uD55C\n");
    qvplat::outputDebugString(u"no newline");
    qvplat::outputDebugString(u"");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[12:00:00:000]:h\xC3\xA9llo \xED\x95\x9C\nno newline\n\n");
}

}  // namespace
