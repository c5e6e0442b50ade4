#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "TempDir.h"
#include "platform/Debug.h"

namespace {

// Captures what is written to standard error while it lives.
class StderrCapture {
public:
    explicit StderrCapture(const std::filesystem::path& file)
    {
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        std::FILE* sink = std::fopen(file.c_str(), "wb");
        ::dup2(::fileno(sink), STDERR_FILENO);
        std::fclose(sink);
    }
    ~StderrCapture()
    {
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
    }

private:
    int m_saved = -1;
};

TEST(DebugTest, WritesOneUtf8LinePerCall)
{
    TempDir dir("qvdebug");
    const auto file = dir / "stderr.txt";
    {
        StderrCapture capture(file);
        qvplat::outputDebugString(u"[12:00:00:000]:h\u00E9llo \uD55C\n");
        qvplat::outputDebugString(u"no newline");
        qvplat::outputDebugString(u"");
    }
    EXPECT_EQ(TempDir::read(file), "[12:00:00:000]:h\xC3\xA9llo \xED\x95\x9C\nno newline\n\n");
}

}  // namespace
