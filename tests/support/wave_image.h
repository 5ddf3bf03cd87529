// Builds RIFF/WAVE images byte by byte, including malformed ones, and recognisable PCM.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sonaflux::test {

using Bytes = std::vector<uint8_t>;

// PCM bytes in which every byte depends on its offset and the seed, never silence-like
// for long, so that a misplaced byte is found by comparison.
Bytes PatternPcm(size_t bytes, uint32_t seed = 1);

class WaveBuilder {
public:
    // A format chunk; bodySize 16 is canonical, 18 adds cbSize. `id` may vary its 4th byte.
    WaveBuilder& Format(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits,
                        uint32_t bodySize = 16, const std::string& id = "fmt ");
    WaveBuilder& Chunk(const std::string& id, const Bytes& body);
    // A chunk followed by the pad byte RIFF asks for after an odd-sized body.
    WaveBuilder& PaddedChunk(const std::string& id, const Bytes& body);
    // The data chunk; `declaredSize` overrides the size in its header.
    WaveBuilder& Data(const Bytes& pcm);
    WaveBuilder& Data(const Bytes& pcm, uint32_t declaredSize);
    Bytes Build() const;

private:
    Bytes m_Chunks;
};

// A canonical 44-byte-header PCM image.
Bytes MakeWave(uint16_t channels, uint32_t rate, uint16_t bits, const Bytes& pcm);

// An Ogg Vorbis file encoded here with libvorbisenc: `frames` frames of a tone whose
// pitch moves (so that no two stretches sound alike), with the given comments
// ("LOOPSTART=1000", ...).
Bytes EncodeOggVorbis(uint16_t channels, uint32_t rate, uint32_t frames,
                      const std::vector<std::string>& comments = {});
// The whole stream decoded with libvorbisfile directly: 16-bit little-endian PCM.
Bytes DecodeOggVorbis(const Bytes& file);

void PutLe16(Bytes& b, uint16_t v);
void PutLe32(Bytes& b, uint32_t v);

}  // namespace sonaflux::test
