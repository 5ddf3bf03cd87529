// What the sequence examples share: the device they play on (softds's manual clock), the
// names of the events heard, and small pieces of music made in code and written as
// RIFF/WAVE files (44.1 kHz, 16-bit stereo): a note per beat of a tempo, each fading out
// inside its beat, so that a piece joins its own start, or another piece, without a click.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "softds/softds.h"
#include "sonaflux/sonaflux.h"

namespace example {

constexpr uint32_t kRate = 44100;

// A new folder for the pieces of one run, under the system's temporary folder.
inline std::filesystem::path TempFolder(const std::string& name) {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("sonaflux-" + name + "-" + std::to_string(stamp));
    std::filesystem::create_directories(dir);
    return dir;
}

// Writes `beats` beats of `beatFrames` frames each; beat i sounds `hz[i % hz.size()]`.
inline bool WriteTune(const std::string& path, uint32_t beats, uint32_t beatFrames,
                      const std::vector<double>& hz, double level) {
    const uint32_t frames = beats * beatFrames;
    std::vector<int16_t> pcm(2 * size_t{frames});
    for (uint32_t f = 0; f < frames; ++f) {
        const uint32_t inBeat = f % beatFrames;
        const double t = double(inBeat) / kRate;
        const double envelope = std::sin(3.14159265358979 * inBeat / beatFrames);  // 0 at edges
        const double v =
            level * envelope * std::sin(2 * 3.14159265358979 * hz[f / beatFrames % hz.size()] * t);
        pcm[2 * f] = pcm[2 * f + 1] = static_cast<int16_t>(std::lround(v * 32767));
    }
    const uint32_t bytes = frames * 4;
    auto u32 = [](uint32_t v) {
        return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    };
    const std::string header = "RIFF" + u32(36 + bytes) + "WAVEfmt " + u32(16) +
                               std::string("\x01\x00\x02\x00", 4) + u32(kRate) + u32(kRate * 4) +
                               std::string("\x04\x00\x10\x00", 4) + "data" + u32(bytes);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(header.data(), 1, header.size(), file) == header.size();
    for (int16_t s : pcm) {  // little-endian on every target
        const char b[2] = {char(s & 0xFF), char((s >> 8) & 0xFF)};
        ok = ok && std::fwrite(b, 1, 2, file) == 2;
    }
    return std::fclose(file) == 0 && ok;
}

// softds on its manual clock (nothing plays until Advance), mixing into `wavPath` when
// given; it keeps no record of what each buffer played.
inline softds::Device* ManualDevice(const char* wavPath) {
    softds::DeviceOptions options;
    options.sink = wavPath != nullptr ? softds::SinkKind::WavFile : softds::SinkKind::None;
    if (wavPath != nullptr) options.wavPath = wavPath;
    options.recordPlayed = false;
    options.recordCalls = false;
    return softds::Device::Create(options);
}

inline const char* EventName(int32_t kind) {
    switch (kind) {
        case MusicEvent::kLoopWrap:
            return "loop wrap";
        case MusicEvent::kPieceEnd:
            return "piece end";
        case MusicEvent::kPieceStart:
            return "piece start";
        default:
            return "marker";
    }
}

}  // namespace example
