#include "wave_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace sfplay {

uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::vector<uint8_t> MakeWaveImage(const PcmFormat& format, const std::vector<uint8_t>& pcm) {
    std::vector<uint8_t> out;
    out.reserve(44 + pcm.size());
    const uint32_t dataSize = static_cast<uint32_t>(pcm.size());
    const uint16_t blockAlign = static_cast<uint16_t>(format.FrameBytes());
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    Put32(out, 36 + dataSize);
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put32(out, 16);
    Put16(out, 1);  // PCM
    Put16(out, format.channels);
    Put32(out, format.rate);
    Put32(out, format.rate * blockAlign);
    Put16(out, blockAlign);
    Put16(out, format.bits);
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    Put32(out, dataSize);
    out.insert(out.end(), pcm.begin(), pcm.end());
    return out;
}

bool ReadFileBytes(const std::string& path, uint64_t offset, size_t size,
                   std::vector<uint8_t>* bytes, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    in.seekg(static_cast<std::streamoff>(offset));
    bytes->assign(size, 0);
    in.read(reinterpret_cast<char*>(bytes->data()), static_cast<std::streamsize>(size));
    if (in.bad()) {
        *error = "cannot read " + path;
        return false;
    }
    bytes->resize(static_cast<size_t>(in.gcount()));
    return true;
}

bool FileSize(const std::string& path, uint64_t* size, std::string* error) {
    std::error_code ec;
    const uintmax_t n = std::filesystem::file_size(path, ec);
    if (ec) {
        *error = "cannot open " + path + ": " + ec.message();
        return false;
    }
    *size = n;
    return true;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes,
                    std::string* error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

#ifdef _WIN32
namespace {
bool FileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
    // No access rights asked and every sharing allowed: only the identity is read.
    HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const BOOL ok = GetFileInformationByHandle(h, info);
    CloseHandle(h);
    return ok != FALSE;
}
}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    return FileIdentity(a, &x) && FileIdentity(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}
#else
bool SameFile(const std::string& a, const std::string& b) {
    struct stat x {
    }, y{};
    return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
           x.st_ino == y.st_ino;
}
#endif

}  // namespace sfplay
