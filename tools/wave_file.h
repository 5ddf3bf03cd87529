// WAVE images for sonaflux-play: making a canonical image (the demo tune, the loop
// checks), and small file helpers. Reading music is the module's job (play_info.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sfplay {

struct PcmFormat {
    uint16_t channels = 2;
    uint16_t bits = 16;
    uint32_t rate = 44100;
    uint32_t FrameBytes() const { return (bits / 8u) * channels; }
};

// A canonical image: RIFF header, a 16-byte "fmt " chunk, the "data" chunk (PCM at 44).
std::vector<uint8_t> MakeWaveImage(const PcmFormat& format, const std::vector<uint8_t>& pcm);

// Reads `size` bytes at `offset` of a file (fewer only at its end). False with a reason
// when the file cannot be opened or read.
bool ReadFileBytes(const std::string& path, uint64_t offset, size_t size,
                   std::vector<uint8_t>* bytes, std::string* error);
// Size of a file; false with a reason (the system's) when it cannot be opened.
bool FileSize(const std::string& path, uint64_t* size, std::string* error);
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);
// Whether two names stand for one existing file (same device and inode; on Windows the
// same volume and file index), whatever the spelling or links.
bool SameFile(const std::string& a, const std::string& b);

// Little-endian readers and writers.
uint16_t Get16(const uint8_t* p);
uint32_t Get32(const uint8_t* p);
void Put16(std::vector<uint8_t>& out, uint16_t v);
void Put32(std::vector<uint8_t>& out, uint32_t v);

}  // namespace sfplay
