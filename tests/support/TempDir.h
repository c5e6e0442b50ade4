#pragma once

#include <filesystem>
#include <string>

// A fresh folder below the system's temporary directory, removed with everything in it
// when the object goes away.
class TempDir {
public:
    explicit TempDir(const std::string& tag = "qvtest");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

    // Writes bytes to a file below the folder, creating parent folders; returns its path.
    std::filesystem::path write(const std::string& relative, const std::string& bytes) const;
    // Reads a whole file; the empty string when it cannot be read.
    static std::string read(const std::filesystem::path& file);

private:
    std::filesystem::path m_path;
};
