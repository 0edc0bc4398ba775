#pragma once

// Small helpers shared by the unit tests: a scratch directory, whole-file I/O and a quiet log.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace NerraTest {

// A fresh directory under /tmp, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/nerra-test-XXXXXX";
        m_Path = mkdtemp(pattern);
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_Path, ignored);
    }
    const std::string& Path() const { return m_Path; }
    std::string operator/(const std::string& name) const { return m_Path + "/" + name; }

private:
    std::string m_Path;
};

inline void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// Runs an action that logs on purpose; returns what it wrote instead of showing it.
inline std::string Quietly(const std::function<void()>& action)
{
    testing::internal::CaptureStderr();
    action();
    return testing::internal::GetCapturedStderr();
}

}  // namespace NerraTest
