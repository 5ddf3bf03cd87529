#include "support/wave_image.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include <vorbis/vorbisenc.h>
#define OV_EXCLUDE_STATIC_CALLBACKS
#include <vorbis/vorbisfile.h>

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

WaveBuilder& WaveBuilder::PaddedChunk(const std::string& id, const Bytes& body) {
    Chunk(id, body);
    if (body.size() % 2 != 0) m_Chunks.push_back(0);
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

Bytes EncodeOggVorbis(uint16_t channels, uint32_t rate, uint32_t frames,
                      const std::vector<std::string>& comments) {
    vorbis_info vi;
    vorbis_info_init(&vi);
    if (vorbis_encode_init_vbr(&vi, channels, static_cast<long>(rate), 0.4f) != 0) {
        throw std::runtime_error("vorbis_encode_init_vbr failed");
    }
    vorbis_comment vc;
    vorbis_comment_init(&vc);
    for (const std::string& c : comments) vorbis_comment_add(&vc, c.c_str());
    vorbis_dsp_state vd;
    vorbis_block vb;
    vorbis_analysis_init(&vd, &vi);
    vorbis_block_init(&vd, &vb);
    ogg_stream_state os;
    ogg_stream_init(&os, 12345);
    Bytes out;
    auto put = [&out](const ogg_page& page) {
        out.insert(out.end(), page.header, page.header + page.header_len);
        out.insert(out.end(), page.body, page.body + page.body_len);
    };
    ogg_packet header, comment, code;
    vorbis_analysis_headerout(&vd, &vc, &header, &comment, &code);
    ogg_stream_packetin(&os, &header);
    ogg_stream_packetin(&os, &comment);
    ogg_stream_packetin(&os, &code);
    ogg_page page;
    while (ogg_stream_flush(&os, &page) != 0) put(page);

    double phase = 0;
    uint32_t done = 0;
    bool eos = false;
    while (!eos) {
        const uint32_t n = std::min<uint32_t>(1024, frames - done);
        if (n == 0) {
            vorbis_analysis_wrote(&vd, 0);
        } else {
            float** in = vorbis_analysis_buffer(&vd, static_cast<int>(n));
            for (uint32_t i = 0; i < n; ++i) {
                const double t = static_cast<double>(done + i) / rate;
                phase += 2 * 3.14159265358979 * (220.0 + 330.0 * std::fmod(t, 1.0)) / rate;
                for (uint16_t c = 0; c < channels; ++c) {
                    in[c][i] = static_cast<float>(0.4 * std::sin(phase * (c + 1)) +
                                                  0.2 * std::sin(phase * 3.01));
                }
            }
            vorbis_analysis_wrote(&vd, static_cast<int>(n));
            done += n;
        }
        while (vorbis_analysis_blockout(&vd, &vb) == 1) {
            vorbis_analysis(&vb, nullptr);
            vorbis_bitrate_addblock(&vb);
            ogg_packet packet;
            while (vorbis_bitrate_flushpacket(&vd, &packet) != 0) {
                ogg_stream_packetin(&os, &packet);
                while (!eos && ogg_stream_pageout(&os, &page) != 0) {
                    put(page);
                    if (ogg_page_eos(&page)) eos = true;
                }
            }
        }
    }
    ogg_stream_clear(&os);
    vorbis_block_clear(&vb);
    vorbis_dsp_clear(&vd);
    vorbis_comment_clear(&vc);
    vorbis_info_clear(&vi);
    return out;
}

namespace {

struct MemorySource {
    const Bytes* bytes;
    size_t position = 0;
};

size_t MemoryRead(void* ptr, size_t size, size_t count, void* source) {
    auto* m = static_cast<MemorySource*>(source);
    const size_t n = std::min(size * count, m->bytes->size() - m->position) / size;
    std::memcpy(ptr, m->bytes->data() + m->position, n * size);
    m->position += n * size;
    return n;
}

int MemorySeek(void* source, ogg_int64_t offset, int whence) {
    auto* m = static_cast<MemorySource*>(source);
    const ogg_int64_t base = whence == SEEK_SET   ? 0
                             : whence == SEEK_CUR ? static_cast<ogg_int64_t>(m->position)
                                                  : static_cast<ogg_int64_t>(m->bytes->size());
    const ogg_int64_t target = base + offset;
    if (target < 0 || target > static_cast<ogg_int64_t>(m->bytes->size())) return -1;
    m->position = static_cast<size_t>(target);
    return 0;
}

long MemoryTell(void* source) {
    return static_cast<long>(static_cast<MemorySource*>(source)->position);
}

}  // namespace

Bytes DecodeOggVorbis(const Bytes& file) {
    MemorySource source{&file};
    OggVorbis_File vf;
    const ov_callbacks io = {&MemoryRead, &MemorySeek, nullptr, &MemoryTell};
    if (ov_open_callbacks(&source, &vf, nullptr, 0, io) != 0) {
        throw std::runtime_error("ov_open_callbacks failed");
    }
    Bytes out;
    char buffer[4096];
    int link = 0;
    for (;;) {
        const long n = ov_read(&vf, buffer, sizeof buffer, 0, 2, 1, &link);
        if (n == 0) break;
        if (n < 0) continue;  // a hole: decoding goes on after it
        out.insert(out.end(), buffer, buffer + n);
    }
    ov_clear(&vf);
    return out;
}

}  // namespace sonaflux::test
