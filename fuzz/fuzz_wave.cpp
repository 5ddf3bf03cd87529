// Arbitrary bytes as a WAVE image inside a larger in-memory file, opened with a random
// block size, image offset and image size, then driven by random requests, seeks, loop
// points and loop counts. Every byte handed out is compared with a simple model of the
// stream: the data (whole frames, wider samples converted to 16-bit) up to the readable
// end, then the loop region once per pass left, and silence wherever the stream could
// not deliver.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "base/diagnostics.h"
#include "fuzz_support.h"
#include "config/module_settings.h"
#include "source/file_reader.h"
#include "support/wave_file_stream.h"

namespace {

using namespace sonaflux;
using fuzz::Bytes;
using fuzz::Check;
using fuzz::Discard;
using fuzz::MemoryFile;

uint32_t Le32(const uint8_t* p) {
    return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// What the reader must make of the image, worked out independently.
struct Model {
    bool opens = false;
    uint32_t unit = 0, dataOffset = 0, dataSize = 0, frameSize = 0, sourceFrame = 0;
    uint8_t format[18] = {};
    Bytes pcm;  // the data as handed out (converted to 16-bit where it is wider)
    // Stream state, as data offsets.
    uint64_t cursor = 0, end = 0, loopStart = 0, position = 0;
    int32_t loops = 1;
    uint8_t silence = 0;
};

int16_t Round16(double v) {
    const double r = std::floor(v + 0.5);
    return static_cast<int16_t>(r > 32767 ? 32767 : r < -32768 ? -32768 : r);
}

Model Parse(const Bytes& file, uint32_t offset, uint32_t size, int32_t blockSize) {
    Model m;
    if (size == 0 || blockSize <= 0 || offset >= file.size()) return m;
    if (size > kMaxUnitSize) return m;
    m.unit = static_cast<uint32_t>(std::min<uint64_t>(size, file.size() - offset));
    const uint8_t* h = file.data() + offset;
    uint64_t fmt = 0, fmtSize = 0, data = 0, dataSize = 0;
    bool found = false;
    // The first 127 bytes, chunks without pad bytes: what opened before decides.
    if (m.unit >= 127 && std::memcmp(h, "RIFF", 4) == 0 && std::memcmp(h + 8, "WAVE", 4) == 0) {
        uint64_t f = 0, fs = 0;
        for (uint64_t p = 12; p + 8 < 127;) {
            const uint32_t n = Le32(h + p + 4);
            if (h[p] == 'f' && h[p + 1] == 'm' && h[p + 2] == 't' && f == 0) {  // the first counts
                f = p + 8;
                fs = n;
            } else if (std::memcmp(h + p, "data", 4) == 0) {
                if (f != 0) {
                    fmt = f, fmtSize = fs, data = p + 8, dataSize = n;
                    found = true;
                }
                break;
            }
            p += 8 + static_cast<uint64_t>(n);
        }
    }
    // Otherwise every chunk of the image, with pad bytes.
    if (!found) {
        if (m.unit < 12 || std::memcmp(h, "RIFF", 4) != 0 || std::memcmp(h + 8, "WAVE", 4) != 0) {
            return m;
        }
        for (uint64_t p = 12; p + 8 <= m.unit && !found;) {
            const uint32_t n = Le32(h + p + 4);
            if (h[p] == 'f' && h[p + 1] == 'm' && h[p + 2] == 't' && fmt == 0) {
                fmt = p + 8;
                fmtSize = n;
            } else if (std::memcmp(h + p, "data", 4) == 0) {
                if (fmt == 0) return m;
                data = p + 8;
                dataSize = n;
                found = true;
            }
            p += 8 + static_cast<uint64_t>(n) + (n & 1);
        }
        if (!found) return m;
    }
    if (data >= m.unit || fmtSize < 16 || fmt + 16 > m.unit) return m;
    uint8_t record[40] = {};
    const uint64_t recordBytes = std::min<uint64_t>({fmtSize, 40, m.unit - fmt});
    std::memcpy(record, h + fmt, recordBytes);
    const uint16_t tag = record[0] | record[1] << 8;
    const uint16_t channels = record[2] | record[3] << 8;
    const uint16_t bits = record[14] | record[15] << 8;
    uint16_t kind = tag;
    static const uint8_t tail[14] = {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    if (tag == 0xFFFE) {
        kind = recordBytes >= 40 && std::memcmp(record + 26, tail, 14) == 0
                   ? static_cast<uint16_t>(record[24] | record[25] << 8)
                   : 0;
    }
    if (kind != 1 && kind != 3) return m;
    if (channels == 0 || channels > 2) return m;
    if (kind == 1 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return m;
    if (kind == 3 && bits != 32) return m;
    const uint32_t storedRate = Le32(record + 4);
    if (storedRate < 100 || storedRate > 200000) return m;  // no sound buffer takes it
    const bool asStored = kind == 1 && bits <= 16;
    m.sourceFrame = bits / 8u * channels;
    m.frameSize = asStored ? m.sourceFrame : channels * 2u;
    const uint32_t frames =
        static_cast<uint32_t>(std::min<uint64_t>(dataSize, m.unit - data) / m.sourceFrame);
    if (frames == 0) return m;  // no audio
    const uint8_t* in = h + data;
    if (asStored) {
        std::memcpy(m.format, record, std::min<uint64_t>(recordBytes, 18));
        m.pcm.assign(in, in + frames * m.sourceFrame);
    } else {
        const uint32_t rate = Le32(record + 4);
        const uint8_t synthesized[18] = {1,
                                         0,
                                         static_cast<uint8_t>(channels),
                                         0,
                                         static_cast<uint8_t>(rate),
                                         static_cast<uint8_t>(rate >> 8),
                                         static_cast<uint8_t>(rate >> 16),
                                         static_cast<uint8_t>(rate >> 24),
                                         static_cast<uint8_t>(rate * m.frameSize),
                                         static_cast<uint8_t>((rate * m.frameSize) >> 8),
                                         static_cast<uint8_t>((rate * m.frameSize) >> 16),
                                         static_cast<uint8_t>((rate * m.frameSize) >> 24),
                                         static_cast<uint8_t>(m.frameSize),
                                         0,
                                         16,
                                         0,
                                         0,
                                         0};
        std::memcpy(m.format, synthesized, 18);
        const uint32_t width = bits / 8u;
        for (uint64_t i = 0; i < static_cast<uint64_t>(frames) * channels; ++i) {
            const uint8_t* p = in + i * width;
            int16_t v = 0;
            if (kind == 3) {
                float f;
                std::memcpy(&f, p, 4);
                v = std::isnan(f) ? 0 : Round16(static_cast<double>(f) * 32768.0);
            } else if (width == 3) {
                const int32_t x = static_cast<int32_t>(
                                      static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) << 8) /
                                  256;
                v = Round16(x / 256.0);
            } else {
                v = Round16(static_cast<int32_t>(Le32(p)) / 65536.0);
            }
            m.pcm.push_back(static_cast<uint8_t>(v));
            m.pcm.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
        }
    }
    m.dataOffset = static_cast<uint32_t>(data);
    m.dataSize = static_cast<uint32_t>(m.pcm.size());
    m.end = m.dataSize;
    m.silence = asStored && bits == 8 ? 0x80 : 0;
    m.opens = true;
    return m;
}

// One request against the model: the bytes and the answer the stream must give.
bool ModelGets(Model& m, uint32_t size, Bytes& out) {
    out.clear();
    const uint8_t* data = m.pcm.data();
    uint64_t sinceWrap = 0;
    bool wrapped = false;
    while (out.size() < size) {
        if (m.cursor < m.end) {
            const uint64_t n = std::min<uint64_t>(size - out.size(), m.end - m.cursor);
            out.insert(out.end(), data + m.cursor, data + m.cursor + n);
            m.cursor += n;
            sinceWrap += n;
            continue;
        }
        if (m.loops == 1) break;
        m.loops = m.loops > 1 ? m.loops - 1 : 0;
        if (m.loopStart >= m.end) break;  // the loop point cannot be reached
        m.cursor = m.loopStart;
        sinceWrap = 0;
        wrapped = true;
    }
    const bool ok = out.size() == size;
    if (ok) m.position = wrapped ? m.loopStart + sinceWrap : m.position + size;
    out.resize(size, m.silence);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t length) {
    SetReportHook(&Discard, nullptr);
    FuzzedDataProvider in(input, length);
    // Parameters come from the end of the input, so a plain WAVE file is a useful seed.
    const int32_t blockSize = in.ConsumeIntegralInRange<int32_t>(-1, 3000);
    const uint32_t prefix = in.ConsumeIntegralInRange<uint32_t>(0, 40);
    const int32_t sizeSlack = in.ConsumeIntegralInRange<int32_t>(-8, 8);
    const uint32_t seed = in.ConsumeIntegral<uint32_t>();
    const size_t ops = in.ConsumeIntegralInRange<size_t>(0, 48);
    Bytes image =
        in.ConsumeBytes<uint8_t>(in.remaining_bytes() > 16384 ? 16384 : in.remaining_bytes());

    Bytes file(prefix, 0xEE);
    file.insert(file.end(), image.begin(), image.end());
    file.resize(file.size() + 32, 0xDD);  // foreign bytes after the image
    const uint32_t imageSize =
        static_cast<uint32_t>(std::max<int64_t>(0, static_cast<int64_t>(image.size()) + sizeSlack));

    Settings().STREAM_BUFFER_SIZE = blockSize;
    CWaveFileStream stream(std::make_unique<MemoryFile>(file));
    Model m = Parse(file, prefix, imageSize, blockSize);
    Check(stream.Open("memory", prefix, imageSize) == m.opens, "Open answer");
    Settings().STREAM_BUFFER_SIZE = 262144;
    if (!m.opens) return 0;

    ds::WAVEFORMATEX format{};
    Check(stream.GetFormat(format) && std::memcmp(&format, m.format, 18) == 0, "format record");
    Check(stream.DataOffset() == m.dataOffset && stream.m_DataSize == m.dataSize, "data chunk");
    Check(stream.m_FrameCount == m.dataSize / m.frameSize, "frame count");
    Check(stream.FrameSize() == m.frameSize, "frame size");

    uint32_t rng = seed | 1;
    auto next = [&rng] {
        rng ^= rng << 13;
        rng ^= rng >> 17;
        rng ^= rng << 5;
        return rng;
    };
    auto frame = [&] {  // mostly inside the data, sometimes anywhere
        const uint32_t r = next();
        return (r & 7) == 0 ? next() : r % (m.dataSize / m.frameSize + 2);
    };
    Bytes got, want;
    for (size_t i = 0; i < ops; ++i) {
        switch (next() % 8) {
            case 0: {
                const uint32_t f = frame();
                const uint64_t bytes = static_cast<uint64_t>(f) * m.frameSize;
                const bool ok = bytes < m.end;
                Check(stream.SeekFrame(f) == ok, "SeekFrame answer");
                if (ok) m.cursor = m.position = bytes;
                break;
            }
            case 1: {
                const uint32_t f = frame();
                const uint64_t end = m.dataOffset + static_cast<uint64_t>(f) * m.sourceFrame;
                const bool ok = end <= m.unit;
                Check(stream.SetLoopEnd(f) == ok, "SetLoopEnd answer");
                if (ok) {
                    m.end = std::min<uint64_t>(static_cast<uint64_t>(f) * m.frameSize, m.dataSize);
                }
                break;
            }
            case 2: {
                const uint32_t f = frame();
                stream.SetLoopStart(f);
                m.loopStart =
                    std::min<uint64_t>(static_cast<uint64_t>(f) * m.frameSize, 0xFFFFFFFFu);
                break;
            }
            case 3:
                m.loops = static_cast<int32_t>(next() % 5) - 1;
                stream.m_PassesLeft = m.loops;
                break;
            default: {
                const uint32_t r = next();
                const int32_t size = (r & 63) == 0 ? -1 : static_cast<int32_t>(r % 5000);
                if (size < 0) {
                    Check(!stream.Gets(got.data(), size), "negative request accepted");
                    break;
                }
                got.assign(static_cast<size_t>(size), 0xA5);
                const bool ok = ModelGets(m, static_cast<uint32_t>(size), want);
                Check(stream.Gets(got.data(), size) == ok, "Gets answer");
                Check(got == want, "Gets bytes");
                Check(stream.m_PassesLeft.load() == m.loops, "loop count");
                if (ok) Check(stream.m_DataPosition.load() == m.position, "data position");
                break;
            }
        }
    }
    return 0;
}
