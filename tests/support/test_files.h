// Scratch files for tests: each TempFile is removed when it goes out of scope.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sonaflux::test {

// A unique path in the test's temporary folder.
std::string TempPath(const std::string& stem);

class TempFile {
public:
    explicit TempFile(const std::vector<uint8_t>& bytes, const std::string& stem = "data");
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& Path() const { return m_Path; }
    const char* c_str() const { return m_Path.c_str(); }

private:
    std::string m_Path;
};

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
void RemoveFile(const std::string& path);

// Runs the enclosing scope in a scratch working directory (for "Sonaflux.ini").
class ScopedWorkingDirectory {
public:
    ScopedWorkingDirectory();
    ~ScopedWorkingDirectory();
    ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
    ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;
    const std::string& Path() const { return m_Path; }

private:
    std::string m_Previous;
    std::string m_Path;
};

}  // namespace sonaflux::test
