#include "codec_music.h"

#include <cstdio>

#include "support/codec_files.h"

namespace sonaflux::bench {
namespace {

constexpr uint16_t kChannels = 2;
constexpr uint32_t kSeconds = 8;

test::Bytes FlacAsPcm16(const std::vector<int32_t>& samples) {
    test::Bytes pcm;
    pcm.reserve(samples.size() * 2);
    for (int32_t s : samples) {
        pcm.push_back(static_cast<uint8_t>(s & 0xFF));
        pcm.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
    }
    return pcm;
}

}  // namespace

bool MakeCodecMusic(const std::string& codec, CodecMusic& music) {
    music.codec = codec;
    music.rate = codec == "opus" ? 48000 : 44100;
    const uint32_t frames = music.rate * kSeconds;
    test::Bytes pcm;
    if (codec == "vorbis") {
        music.extension = "ogg";
        music.file = test::EncodeOggVorbis(kChannels, music.rate, frames);
        pcm = test::DecodeOggVorbis(music.file);
    } else if (codec == "opus") {
        music.extension = "opus";
        music.file = test::EncodeOpus(kChannels, music.rate, frames);
        pcm = test::DecodeOpus(music.file);
    } else if (codec == "flac" || codec == "oggflac") {
        const bool inOgg = codec == "oggflac";
        music.extension = inOgg ? "oga" : "flac";
        music.file = test::EncodeFlac(kChannels, music.rate, 16, frames, {}, inOgg);
        pcm = FlacAsPcm16(test::DecodeFlac(music.file, inOgg));
    } else {
        return false;
    }
    music.wave = test::MakeWave(kChannels, music.rate, 16, pcm);
    return true;
}

bool WriteBytes(const std::string& path, const test::Bytes& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace sonaflux::bench
