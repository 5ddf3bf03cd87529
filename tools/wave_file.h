// WAVE images for sonaflux-play: making a canonical image, checking the header of one
// inside a larger file the way the module will read it, and small file helpers.
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

struct WaveInfo {
    uint16_t formatTag = 0;
    uint16_t channels = 0;
    uint32_t rate = 0;
    uint32_t avgBytesPerSec = 0;
    uint16_t blockAlign = 0;
    uint16_t bits = 0;
    uint32_t dataOffset = 0;  // of the first PCM byte, from the start of the image
    uint32_t dataSize = 0;    // as the data chunk says, cut to what the image holds
    uint32_t frames = 0;
};

// Reads the header of an image of `imageSize` bytes as the module does: RIFF/WAVE, a format
// chunk and the data chunk within the first 127 bytes, of which `header` holds `available`
// (all of them, or the whole image when it is shorter). Also refuses what no DirectSound
// buffer can play (anything but 8/16-bit mono/stereo PCM), so the user gets one clear reason.
bool ParseWaveHeader(const uint8_t* header, size_t available, uint64_t imageSize, WaveInfo* info,
                     std::string* error);

// Reads `size` bytes at `offset` of a file (fewer only at its end). False with a reason
// when the file cannot be opened or read.
bool ReadFileBytes(const std::string& path, uint64_t offset, size_t size,
                   std::vector<uint8_t>* bytes, std::string* error);
// Size of a file; false with a reason when it cannot be opened.
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
