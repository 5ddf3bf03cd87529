#include "support/test_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace sonaflux::test {
namespace fs = std::filesystem;

namespace {
unsigned long ProcessId() {
#ifdef _WIN32
    return static_cast<unsigned long>(_getpid());
#else
    return static_cast<unsigned long>(getpid());
#endif
}
}  // namespace

std::string TempPath(const std::string& stem) {
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // The process id keeps runs of the same test from other build folders apart.
    std::string name = stem + "_" + std::to_string(ProcessId()) + "_" + std::to_string(counter++);
    if (info) name = std::string(info->name()) + "_" + name;
    for (char& c : name) {
        if (c == '/' || c == '\\') c = '_';
    }
    return (fs::temp_directory_path() / ("sonaflux_" + name)).string();
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) ADD_FAILURE() << "cannot write " << path;
}

void RemoveFile(const std::string& path) {
    std::error_code ec;
    fs::remove(path, ec);
}

TempFile::TempFile(const std::vector<uint8_t>& bytes, const std::string& stem)
    : m_Path(TempPath(stem)) {
    WriteFile(m_Path, bytes);
}

TempFile::~TempFile() {
    RemoveFile(m_Path);
}

ScopedWorkingDirectory::ScopedWorkingDirectory()
    : m_Previous(fs::current_path().string()), m_Path(TempPath("cwd")) {
    fs::create_directories(m_Path);
    fs::current_path(m_Path);
}

ScopedWorkingDirectory::~ScopedWorkingDirectory() {
    std::error_code ec;
    fs::current_path(m_Previous, ec);
    fs::remove_all(m_Path, ec);
}

}  // namespace sonaflux::test
