// Arbitrary bytes as a WAVE image inside a larger in-memory file, opened with a random
// block size, image offset and image size, then driven by random requests, seeks, loop
// points and loop counts. Every byte handed out is compared with a simple model of the
// stream: the data up to the readable end, then the loop region once per pass left, and
// silence wherever the stream could not deliver.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "base/diagnostics.h"
#include "config/module_settings.h"
#include "source/file_reader.h"
#include "source/wave_stream.h"

namespace {

using namespace sonaflux;
using Bytes = std::vector<uint8_t>;

void Discard(ReportKind, const char*, void*) {}

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_wave: %s\n", what);
        std::abort();
    }
}

// A read-only file held in memory, with the answers of a disk file.
class MemoryFile : public CReadOnlyFile {
public:
    explicit MemoryFile(const Bytes& bytes) : m_Bytes(bytes) {}
    ~MemoryFile() override { MemoryFile::Close(); }
    bool Open(const char*) override {
        Close();
        m_Open = true;
        m_Size = static_cast<uint32_t>(m_Bytes.size());
        m_Position = 0;
        return true;
    }
    void Close() override {
        m_Open = false;
        m_Size = 0;
    }
    bool Seek(uint32_t offset) override {
        if (!m_Open || offset > kMaxUnitEnd) return false;
        m_Position = offset;
        return true;
    }
    bool Read(void* buffer, uint32_t count) override {
        if (!m_Open || static_cast<uint64_t>(m_Position) + count > m_Size) return false;
        std::memcpy(buffer, m_Bytes.data() + m_Position, count);
        m_Position += count;
        return true;
    }
    uint32_t GetRemaining() const override {
        return m_Open && m_Position < m_Size ? m_Size - m_Position : 0;
    }

private:
    const Bytes& m_Bytes;
    bool m_Open = false;
};

uint32_t Le32(const uint8_t* p) {
    return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// What the reader must make of the image, worked out independently.
struct Model {
    bool opens = false;
    uint32_t unit = 0, dataOffset = 0, dataSize = 0, frameSize = 0;
    uint8_t format[18] = {};
    // Stream state, as data offsets.
    uint64_t cursor = 0, end = 0, loopStart = 0, position = 0;
    int32_t loops = 1;
    uint8_t silence = 0;
};

Model Parse(const Bytes& file, uint32_t offset, uint32_t size, int32_t blockSize) {
    Model m;
    if (size == 0 || blockSize <= 0 || offset >= file.size()) return m;
    if (static_cast<uint64_t>(offset) + size > kMaxUnitEnd) return m;
    m.unit = static_cast<uint32_t>(std::min<uint64_t>(size, file.size() - offset));
    if (m.unit < CWaveFileStream::kHeaderBytes) return m;
    const uint8_t* h = file.data() + offset;
    const size_t n = CWaveFileStream::kHeaderBytes;
    if (std::memcmp(h, "RIFF", 4) != 0 || std::memcmp(h + 8, "WAVE", 4) != 0) return m;
    size_t fmt = 0;
    for (size_t p = 12; p + 8 < n;) {
        const uint64_t next = p + 8 + static_cast<uint64_t>(Le32(h + p + 4));
        if (h[p] == 'f' && h[p + 1] == 'm' && h[p + 2] == 't') {
            fmt = p + 8;
        } else if (std::memcmp(h + p, "data", 4) == 0) {
            if (fmt == 0) return m;
            std::memcpy(m.format, h + fmt, std::min<size_t>(18, n - fmt));
            const uint32_t bits = m.format[14] | m.format[15] << 8;
            m.frameSize = bits / 8 * (m.format[2] | m.format[3] << 8);
            if (m.frameSize == 0) return m;
            m.dataOffset = static_cast<uint32_t>(p + 8);
            m.dataSize = std::min(Le32(h + p + 4), m.unit - m.dataOffset);
            m.end = m.dataSize;
            m.silence = bits == 8 ? 0x80 : 0;
            m.opens = true;
            return m;
        }
        if (next >= n) break;
        p = static_cast<size_t>(next);
    }
    return m;
}

// One request against the model: the bytes and the answer the stream must give.
bool ModelGets(Model& m, const Bytes& file, uint32_t imageOffset, uint32_t size, Bytes& out) {
    out.clear();
    const uint8_t* data = file.data() + imageOffset + m.dataOffset;
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
                const uint64_t end = m.dataOffset + static_cast<uint64_t>(f) * m.frameSize;
                const bool ok = end <= m.unit;
                Check(stream.SetEndFrame(f) == ok, "SetEndFrame answer");
                if (ok) m.end = std::min<uint64_t>(end - m.dataOffset, m.dataSize);
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
                stream.m_LoopCount = m.loops;
                break;
            default: {
                const uint32_t r = next();
                const int32_t size = (r & 63) == 0 ? -1 : static_cast<int32_t>(r % 5000);
                if (size < 0) {
                    Check(!stream.Gets(got.data(), size), "negative request accepted");
                    break;
                }
                got.assign(static_cast<size_t>(size), 0xA5);
                const bool ok = ModelGets(m, file, prefix, static_cast<uint32_t>(size), want);
                Check(stream.Gets(got.data(), size) == ok, "Gets answer");
                Check(got == want, "Gets bytes");
                Check(stream.m_LoopCount.load() == m.loops, "loop count");
                if (ok) Check(stream.m_DataPosition.load() == m.position, "data position");
                break;
            }
        }
    }
    return 0;
}
