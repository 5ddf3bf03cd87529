// The WAV file sink: a canonical 44-byte header, then the mix; the sizes in the header
// are written when the sink closes.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "softds/sink.h"

namespace softds::detail {

namespace {

void Put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

bool IsLittleEndian() {
    const uint16_t one = 1;
    uint8_t first;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

class WavSink final : public Sink {
public:
    WavSink(std::FILE* file, uint32_t rate) : m_File(file), m_Rate(rate) { WriteHeader(); }
    ~WavSink() override { Close(); }

    void Write(const int16_t* frames, size_t count) override {
        if (!m_File) return;
        const size_t bytes = count * 4;
        if (IsLittleEndian()) {  // the samples are already in the file's byte order
            std::fwrite(frames, 1, bytes, m_File);
        } else {
            m_Bytes.clear();
            for (size_t i = 0; i < count * 2; ++i) Put16(m_Bytes, static_cast<uint16_t>(frames[i]));
            std::fwrite(m_Bytes.data(), 1, m_Bytes.size(), m_File);
        }
        m_DataBytes += bytes;
    }

    void Close() override {
        if (!m_File) return;
        std::fseek(m_File, 0, SEEK_SET);
        WriteHeader();
        std::fclose(m_File);
        m_File = nullptr;
    }

private:
    void WriteHeader() {
        // Sizes beyond 4 GiB cannot be told; the header then holds the largest value.
        const uint32_t data = m_DataBytes > 0xFFFFFFFFull - 36 ? 0xFFFFFFFFu - 36
                                                               : static_cast<uint32_t>(m_DataBytes);
        std::vector<uint8_t> h;
        for (char c : std::string("RIFF")) h.push_back(static_cast<uint8_t>(c));
        Put32(h, 36 + data);
        for (char c : std::string("WAVEfmt ")) h.push_back(static_cast<uint8_t>(c));
        Put32(h, 16);
        Put16(h, 1);  // PCM
        Put16(h, 2);
        Put32(h, m_Rate);
        Put32(h, m_Rate * 4);
        Put16(h, 4);
        Put16(h, 16);
        for (char c : std::string("data")) h.push_back(static_cast<uint8_t>(c));
        Put32(h, data);
        std::fwrite(h.data(), 1, h.size(), m_File);
        std::fseek(m_File, 0, SEEK_END);
    }

    std::FILE* m_File;
    const uint32_t m_Rate;
    uint64_t m_DataBytes = 0;
    std::vector<uint8_t> m_Bytes;
};

}  // namespace

std::unique_ptr<Sink> MakeWavSink(const std::string& path, uint32_t rate) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return nullptr;
    return std::make_unique<WavSink>(file, rate);
}

}  // namespace softds::detail
