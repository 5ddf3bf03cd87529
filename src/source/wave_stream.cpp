#include "source/wave_stream.h"

#include <algorithm>
#include <cstring>

#include "base/diagnostics.h"
#include "base/messages.h"
#include "config/module_settings.h"

namespace sonaflux {
namespace {

constexpr int kLoopAttempts = 10;

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// An offset past 32 bits lies past every readable end; the reader refuses it.
uint32_t Saturate(uint64_t value) {
    return static_cast<uint32_t>(std::min<uint64_t>(value, 0xFFFFFFFFu));
}

}  // namespace

bool CWaveFileStream::FindDataChunk(const uint8_t* header, uint32_t length, HeaderInfo& out) {
    if (length <= 8 || std::memcmp(header, "RIFF", 4) != 0) return false;
    if (length <= 12 || std::memcmp(header + 8, "WAVE", 4) != 0) return false;
    bool haveFormat = false;
    HeaderInfo found;
    uint64_t p = 12;  // 64-bit: a chunk size near 2^32 must not wrap the walk
    for (;;) {
        if (p + 8 >= length) return false;
        const uint8_t* id = header + p;
        const uint32_t size = Le32(id + 4);
        if (std::memcmp(id, "fmt", 3) == 0) {
            haveFormat = true;
            found.formatBody = static_cast<uint32_t>(p + 8);
        } else if (std::memcmp(id, "data", 4) == 0) {
            if (!haveFormat) return false;
            found.dataBody = static_cast<uint32_t>(p + 8);
            found.dataSize = size;
            out = found;
            return true;
        }
        p += 8 + static_cast<uint64_t>(size);
    }
}

CWaveFileStream::CWaveFileStream(std::unique_ptr<CReadOnlyFile> file) : m_Reader(std::move(file)) {}

uint32_t CWaveFileStream::FrameSize() const {
    return static_cast<uint32_t>(m_Format.wBitsPerSample / 8u) * m_Format.nChannels;
}

bool CWaveFileStream::Open(const char* name, uint32_t imageOffset, uint32_t imageSize) {
    if (m_IsOpen) {
        m_Reader.Close();
        m_IsOpen = false;
        m_LoopCount.store(1);
    }
    const int32_t blockSize = Settings().STREAM_BUFFER_SIZE.load();
    m_Reader.SetBlockSize(blockSize > 0 ? static_cast<uint32_t>(blockSize) : 0);
    if (!m_Reader.Open(name, imageOffset, imageSize)) return false;
    if (!m_Reader.Seek(0)) return false;

    uint8_t header[kHeaderBytes + 1] = {};
    uint32_t length = kHeaderBytes;
    if (m_Reader.Read(header, length) != CFileStreamRead::kDone) return false;
    HeaderInfo info;
    if (!FindDataChunk(header, kHeaderBytes, info)) return false;

    // The record is copied as stored; a short format body near the end of the header
    // gets zeros where the header ends rather than bytes from beyond it.
    ds::WAVEFORMATEX format{};
    const uint32_t available = std::min<uint32_t>(sizeof format, kHeaderBytes - info.formatBody);
    std::memcpy(&format, header + info.formatBody, available);
    const uint32_t frameSize = static_cast<uint32_t>(format.wBitsPerSample / 8u) * format.nChannels;
    if (frameSize == 0) return false;  // nothing could be counted or positioned in frames

    m_Format = format;
    m_DataOffset = info.dataBody;
    // A data chunk claiming more than the image holds is played up to the image end;
    // its size and frame count say what is really there.
    m_DataSize = std::min(info.dataSize, m_Reader.UnitSize() - m_DataOffset);
    m_Reader.SetReadLimit(m_DataOffset + m_DataSize);
    // A failure leaves the reader either past the data (empty data) or positioned at the
    // data with nothing buffered, so that the first Gets retries the read.
    m_Reader.Seek(m_DataOffset);

    m_IsOpen = true;
    m_DataPosition.store(0);
    m_LoopStart.store(0);
    m_FrameCount = m_DataSize / frameSize;
    return true;
}

bool CWaveFileStream::TakePass() {
    int32_t current = m_LoopCount.load();
    for (;;) {
        if (current == 1) return false;
        const int32_t next = current > 1 ? current - 1 : 0;  // 0 and below: endless
        if (m_LoopCount.compare_exchange_weak(current, next)) return true;
    }
}

void CWaveFileStream::FillSilence(uint8_t* destination, uint32_t bytes) const {
    if (bytes == 0) return;
    std::memset(destination, m_Format.wBitsPerSample == 8 ? 0x80 : 0x00, bytes);
}

bool CWaveFileStream::Gets(void* destination, int32_t size, uint32_t* delivered) {
    uint32_t ignored = 0;
    uint32_t& count = delivered ? *delivered : ignored;
    count = 0;
    if (size < 0) {
        ErrorBox(msg::kRequestTooLarge);
        return false;
    }
    auto* out = static_cast<uint8_t*>(destination);
    const auto want = static_cast<uint32_t>(size);
    uint32_t got = want;
    int r = m_Reader.Read(out, got);
    if (r != CFileStreamRead::kNoMoreData) {
        // A failed read is not the caller's concern (the reader has left its line and
        // retries at the next call); what it missed plays as silence.
        if (r != CFileStreamRead::kDone) FillSilence(out + got, want - got);
        m_DataPosition.store(m_DataPosition.load() + got);
        count = got;
        return r != CFileStreamRead::kGone;
    }

    uint32_t done = got;
    for (;;) {
        // The end of the readable data: wrap while passes remain.
        if (!TakePass()) {
            FillSilence(out + done, want - done);
            count = done;
            return false;
        }
        const uint32_t loopStart = m_LoopStart.load();
        const uint32_t target = Saturate(static_cast<uint64_t>(m_DataOffset) + loopStart);
        bool positioned = false;
        for (int i = 0; i < kLoopAttempts && !positioned; ++i) positioned = m_Reader.Seek(target);
        if (!positioned) ErrorBox(msg::kLoopSeekFailed);

        uint32_t fromLoop = 0;
        for (int attempt = 1;; ++attempt) {
            uint32_t part = want - done;
            r = m_Reader.Read(out + done, part);
            done += part;
            fromLoop += part;
            if (r == CFileStreamRead::kDone) {
                m_DataPosition.store(loopStart + fromLoop);
                count = want;
                return true;
            }
            // The loop region ended again inside this request: another wrap.
            if (r == CFileStreamRead::kNoMoreData && part > 0) break;
            if (attempt == kLoopAttempts || r == CFileStreamRead::kGone) {
                ErrorBox(msg::kReadErrorAfterWrap);
                FillSilence(out + done, want - done);
                count = done;
                return false;
            }
            Sleep(0);
        }
    }
}

bool CWaveFileStream::SeekFrame(uint32_t frame) {
    const uint64_t bytes = static_cast<uint64_t>(frame) * FrameSize();
    if (!m_Reader.Seek(Saturate(m_DataOffset + bytes))) return false;
    m_DataPosition.store(static_cast<uint32_t>(bytes));  // below the limit, so below 2^31
    return true;
}

void CWaveFileStream::SetLoopStart(uint32_t frame) {
    m_LoopStart.store(Saturate(static_cast<uint64_t>(frame) * FrameSize()));
}

bool CWaveFileStream::SetEndFrame(uint32_t frame) {
    if (!m_IsOpen) return false;
    const uint64_t end = m_DataOffset + static_cast<uint64_t>(frame) * FrameSize();
    if (end > m_Reader.UnitSize()) return false;
    // Bytes after the data chunk (other chunks) are not PCM.
    const uint32_t dataEnd = m_DataOffset + m_DataSize;
    return m_Reader.SetReadLimit(std::min(static_cast<uint32_t>(end), dataEnd));
}

bool CWaveFileStream::GetFormat(ds::WAVEFORMATEX& out) const {
    if (!m_IsOpen) return false;
    out = m_Format;
    return true;
}

}  // namespace sonaflux
