#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ExeFolder.h"
#include "foundation/EnvMng.h"
#include "foundation/QvDirMng.h"
#include "foundation/QvEnvMng.h"
#include "foundation/QvFileMng.h"
#include "foundation/QvLogMng.h"
#include "foundation/QvString.h"
#include "platform/LocalTime.h"

inline qvplat::SystemTime makeTime(int year, int month, int day, int dayOfWeek, int hour = 0, int minute = 0,
                                   int second = 0, int milliseconds = 0)
{
    const auto u = [](int value) { return static_cast<uint16_t>(value); };
    return {u(year), u(month), u(dayOfWeek), u(day), u(hour), u(minute), u(second), u(milliseconds)};
}

class FixedClock {
public:
    explicit FixedClock(const qvplat::SystemTime& time) { set(time); }
    ~FixedClock() { qvplat::setLocalTimeSource({}); }
    FixedClock(const FixedClock&) = delete;
    FixedClock& operator=(const FixedClock&) = delete;
    void set(const qvplat::SystemTime& time)
    {
        qvplat::setLocalTimeSource([time] { return time; });
    }
};

// Every test starts with a fresh "executable" folder, service context and profile cache.
class ModuleDirTest : public ::testing::Test {
protected:
    const std::filesystem::path& root() const { return m_exe.dir.path(); }
    std::filesystem::path path(const std::string& relative) const { return m_exe.dir / relative; }
    std::filesystem::path write(const std::string& relative, const std::string& bytes) const
    {
        return m_exe.dir.write(relative, bytes);
    }
    static std::string read(const std::filesystem::path& file) { return TempDir::read(file); }

private:
    ExeFolder m_exe{"qvfound"};
};
