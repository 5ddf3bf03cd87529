#include "wave_file.h"

#include <cstring>
#include <fstream>

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

bool ParseWaveHeader(const uint8_t* image, size_t available, uint64_t imageSize, WaveInfo* info,
                     std::string* error) {
    // The module examines exactly the first 127 bytes and needs all of them.
    constexpr size_t kHeader = 127;
    if (imageSize < kHeader || available < kHeader) {
        *error = "too short for a RIFF/WAVE image (" + std::to_string(imageSize) +
                 " bytes; at least 127 are needed)";
        return false;
    }
    if (std::memcmp(image, "RIFF", 4) != 0 || std::memcmp(image + 8, "WAVE", 4) != 0) {
        *error = "not a RIFF/WAVE image (no RIFF/WAVE header)";
        return false;
    }
    size_t p = 12;
    const uint8_t* fmt = nullptr;
    uint64_t fmtSize = 0;
    while (true) {
        if (p + 8 >= kHeader) {
            *error = fmt ? "no data chunk within the first 127 bytes of the image"
                         : "no format chunk within the first 127 bytes of the image";
            return false;
        }
        const uint8_t* id = image + p;
        const uint64_t chunk = Get32(image + p + 4);
        if (std::memcmp(id, "fmt", 3) == 0) {
            fmt = image + p + 8;
            fmtSize = chunk;
        } else if (std::memcmp(id, "data", 4) == 0) {
            if (fmt == nullptr) {
                *error = "the data chunk comes before any format chunk";
                return false;
            }
            info->dataOffset = static_cast<uint32_t>(p + 8);
            const uint64_t held = imageSize - info->dataOffset;
            info->dataSize = static_cast<uint32_t>(chunk < held ? chunk : held);
            break;
        }
        p = p + 8 + chunk;
    }
    // Only the chunk's own bytes describe the format: a shorter chunk holds no PCM format,
    // whatever the bytes behind it (the next chunk's header) would read as.
    if (fmtSize < 16) {
        *error =
            "the format chunk holds " + std::to_string(fmtSize) + " bytes; a PCM format needs 16";
        return false;
    }
    if (fmt + 16 > image + kHeader) {
        *error = "the format chunk does not fit in the first 127 bytes";
        return false;
    }
    info->formatTag = Get16(fmt);
    info->channels = Get16(fmt + 2);
    info->rate = Get32(fmt + 4);
    info->avgBytesPerSec = Get32(fmt + 8);
    info->blockAlign = Get16(fmt + 12);
    info->bits = Get16(fmt + 14);
    if (info->formatTag != 1) {
        *error = "format tag " + std::to_string(info->formatTag) + " is not PCM";
        return false;
    }
    if ((info->channels != 1 && info->channels != 2) || (info->bits != 8 && info->bits != 16)) {
        *error = std::to_string(info->channels) + " channel(s) of " + std::to_string(info->bits) +
                 "-bit samples: only 8/16-bit mono or stereo plays";
        return false;
    }
    if (info->rate < 100 || info->rate > 200000) {
        *error = "sample rate " + std::to_string(info->rate) + " Hz is out of range";
        return false;
    }
    const uint32_t frameBytes = (info->bits / 8u) * info->channels;
    info->frames = info->dataSize / frameBytes;
    if (info->frames == 0) {
        *error = "the image holds no sample data";
        return false;
    }
    return true;
}

bool ReadFileBytes(const std::string& path, uint64_t offset, size_t size,
                   std::vector<uint8_t>* bytes, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path;
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
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        *error = "cannot open " + path;
        return false;
    }
    const auto end = in.tellg();
    if (end < 0) {
        *error = "cannot read " + path;
        return false;
    }
    *size = static_cast<uint64_t>(end);
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
