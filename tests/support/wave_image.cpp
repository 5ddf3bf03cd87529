#include "support/wave_image.h"

namespace sonaflux::test {

void PutLe16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void PutLe32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes PatternPcm(size_t bytes, uint32_t seed) {
    Bytes out(bytes);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < bytes; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<uint8_t>((x >> 16) ^ (i >> 8));
    }
    return out;
}

static void PutId(Bytes& b, const std::string& id) {
    for (size_t i = 0; i < 4; ++i) b.push_back(i < id.size() ? static_cast<uint8_t>(id[i]) : ' ');
}

WaveBuilder& WaveBuilder::Format(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits,
                                 uint32_t bodySize, const std::string& id) {
    Bytes body;
    const auto align = static_cast<uint16_t>(channels * (bits / 8));
    PutLe16(body, tag);
    PutLe16(body, channels);
    PutLe32(body, rate);
    PutLe32(body, rate * align);
    PutLe16(body, align);
    PutLe16(body, bits);
    body.resize(bodySize, 0);
    PutId(m_Chunks, id);
    PutLe32(m_Chunks, bodySize);
    m_Chunks.insert(m_Chunks.end(), body.begin(), body.end());
    return *this;
}

WaveBuilder& WaveBuilder::Chunk(const std::string& id, const Bytes& body) {
    PutId(m_Chunks, id);
    PutLe32(m_Chunks, static_cast<uint32_t>(body.size()));
    m_Chunks.insert(m_Chunks.end(), body.begin(), body.end());
    return *this;
}

WaveBuilder& WaveBuilder::Data(const Bytes& pcm) {
    return Data(pcm, static_cast<uint32_t>(pcm.size()));
}

WaveBuilder& WaveBuilder::Data(const Bytes& pcm, uint32_t declaredSize) {
    PutId(m_Chunks, "data");
    PutLe32(m_Chunks, declaredSize);
    m_Chunks.insert(m_Chunks.end(), pcm.begin(), pcm.end());
    return *this;
}

Bytes WaveBuilder::Build() const {
    Bytes out;
    PutId(out, "RIFF");
    PutLe32(out, static_cast<uint32_t>(4 + m_Chunks.size()));
    PutId(out, "WAVE");
    out.insert(out.end(), m_Chunks.begin(), m_Chunks.end());
    return out;
}

Bytes MakeWave(uint16_t channels, uint32_t rate, uint16_t bits, const Bytes& pcm) {
    return WaveBuilder().Format(1, channels, rate, bits).Data(pcm).Build();
}

}  // namespace sonaflux::test
