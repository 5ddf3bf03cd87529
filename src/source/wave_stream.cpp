#include "source/wave_stream.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/diagnostics.h"
#include "base/messages.h"
#include "source/pcm_convert.h"

namespace sonaflux {
namespace {

constexpr uint16_t kTagPcm = 1;
constexpr uint16_t kTagFloat = 3;
constexpr uint16_t kTagExtensible = 0xFFFE;
// The GUID of an extensible format's sub-format after its first two bytes (the tag).
constexpr uint8_t kSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr uint32_t kStagedFrames = 2048;

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t Saturate(uint64_t value) {
    return static_cast<uint32_t>(std::min<uint64_t>(value, 0xFFFFFFFFu));
}

// Conversions to 16-bit: rounded half up, clamped, no dither (source/pcm_convert.h).
int16_t FromInt24(const uint8_t* p) {
    const auto raw = static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) << 8;
    return NarrowTo16(static_cast<int32_t>(raw) / 256, 24);  // sign-extended, exact
}

int16_t FromInt32(const uint8_t* p) {
    return NarrowTo16(static_cast<int32_t>(Le32(p)), 32);
}

int16_t FromFloat32(const uint8_t* p) {
    const uint32_t bits = Le32(p);
    float f = 0;
    std::memcpy(&f, &bits, sizeof f);
    return FloatTo16(f);
}

}  // namespace

bool CWaveDecoder::FindDataChunk(const uint8_t* header, uint32_t length, HeaderInfo& out) {
    if (length <= 8 || std::memcmp(header, "RIFF", 4) != 0) return false;
    if (length <= 12 || std::memcmp(header + 8, "WAVE", 4) != 0) return false;
    bool haveFormat = false;
    HeaderInfo found;
    uint64_t p = 12;  // 64-bit: a chunk size near 2^32 must not wrap the walk
    for (;;) {
        if (p + 8 >= length) return false;
        const uint8_t* id = header + p;
        const uint32_t size = Le32(id + 4);
        if (std::memcmp(id, "fmt", 3) == 0 && !haveFormat) {
            haveFormat = true;
            found.formatBody = static_cast<uint32_t>(p + 8);
            found.formatSize = size;
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

bool CWaveDecoder::ReadAt(uint32_t offset, uint8_t* destination, uint32_t length) {
    if (!m_Reader->SeekNear(offset)) return false;
    return m_Reader->Read(destination, length) == CFileStreamRead::kDone;
}

bool CWaveDecoder::ReadExtras(const uint8_t* id, uint64_t body, uint32_t size, Extras& extras) {
    const uint32_t unit = m_Reader->UnitSize();
    const bool sampler = std::memcmp(id, "smpl", 4) == 0 && size >= 60;
    const bool cue = std::memcmp(id, "cue ", 4) == 0 && size >= 4;
    const bool list = std::memcmp(id, "LIST", 4) == 0 && size >= 4;
    if ((!sampler && !cue && !list) || body >= unit) return true;
    // Only what the range holds, and at most kExtrasBytes of it.
    std::vector<uint8_t> b(
        static_cast<size_t>(std::min<uint64_t>({size, unit - body, kExtrasBytes})));
    if (b.size() < 4) return true;  // the range cuts the chunk before its first field
    if (!ReadAt(static_cast<uint32_t>(body), b.data(), static_cast<uint32_t>(b.size()))) {
        return false;
    }
    if (sampler && b.size() >= 60 && Le32(&b[28]) > 0 && Le32(&b[48]) != 0xFFFFFFFFu) {
        // The sampler chunk's first loop: start and end frames, the end inclusive.
        extras.loop = {true, Le32(&b[44]), Le32(&b[48]) + 1};
    } else if (cue) {
        // Cue points: identifier, ..., the sample offset in the data at byte 20 of each.
        const size_t count = std::min<size_t>(Le32(&b[0]), (b.size() - 4) / 24);
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* point = &b[4 + 24 * i];
            extras.cues.push_back({Le32(point), Le32(point + 20)});
        }
    } else if (list && b.size() >= 4 && std::memcmp(&b[0], "adtl", 4) == 0) {
        // Associated data: "labl" sub-chunks name a cue point (identifier, then text).
        for (size_t p = 4; p + 8 <= b.size();) {
            const uint32_t n = Le32(&b[p + 4]);
            const size_t end = std::min<size_t>(p + 8 + uint64_t{n}, b.size());
            if (std::memcmp(&b[p], "labl", 4) == 0 && end >= p + 12) {
                const char* text = reinterpret_cast<const char*>(&b[p + 12]);
                extras.labels.push_back(
                    {Le32(&b[p + 8]), std::string(text, strnlen(text, end - p - 12))});
            }
            p = p + 8 + uint64_t{n} + (n & 1u);
        }
    }
    return true;
}

CWaveDecoder::Walk CWaveDecoder::WalkChunks(HeaderInfo& info, Extras& extras) {
    const uint32_t unit = m_Reader->UnitSize();
    uint8_t head[12] = {};
    if (unit < 12 || !ReadAt(0, head, 12) || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "WAVE", 4) != 0) {
        return Walk::NotWave;
    }
    bool haveFormat = false;
    bool found = false;
    uint64_t p = 12;
    while (p + 8 <= unit) {
        uint8_t chunk[8];
        if (!ReadAt(static_cast<uint32_t>(p), chunk, 8)) return Walk::Unreadable;
        const uint32_t size = Le32(chunk + 4);
        const uint64_t body = p + 8;
        if (std::memcmp(chunk, "fmt", 3) == 0 && !haveFormat) {
            haveFormat = true;
            info.formatBody = static_cast<uint32_t>(body);
            info.formatSize = size;
        } else if (std::memcmp(chunk, "data", 4) == 0 && !found) {
            if (!haveFormat) return Walk::NoFormat;
            found = true;
            info.dataBody = static_cast<uint32_t>(body);
            info.dataSize = size;
        } else if (!ReadExtras(chunk, body, size, extras)) {
            return Walk::Unreadable;
        }
        if (body + size > unit && !found) {
            std::memcpy(m_Overrun, chunk, 4);
            m_OverrunSize = size;
        }
        p = body + size + (size & 1u);
    }
    if (found) return Walk::Found;
    // A chunk that runs past the end of the range: whatever data follows lies beyond it.
    if (p > unit) return Walk::PastEnd;
    return haveFormat ? Walk::NoData : Walk::NoFormat;
}

void CWaveDecoder::Extras::MakeMarkers(std::vector<Marker>& out) const {
    for (const auto& [id, frame] : cues) {
        std::string label;
        for (const auto& [labelId, text] : labels) {
            if (labelId == id) label = text;
        }
        out.push_back({frame, label});
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const Marker& a, const Marker& b) { return a.frame < b.frame; });
}

bool CWaveDecoder::LocateChunks(HeaderInfo& info, DecodedLayout& out) {
    const uint32_t unit = m_Reader->UnitSize();
    // The first bytes' reading decides wherever it finds the chunks.
    uint8_t header[kHeaderBytes + 1] = {};
    uint32_t length = std::min(unit, kHeaderBytes);
    if (m_Reader->Read(header, length) != CFileStreamRead::kDone) return false;
    const bool found = length == kHeaderBytes && FindDataChunk(header, kHeaderBytes, info);
    // The whole walk finds what the first bytes do not, and the chunks that describe the
    // music (the sampler loop, cue points and their labels) wherever they lie. Where the
    // first bytes found the data, the walk changes nothing of what plays.
    HeaderInfo walked;
    Extras extras;
    const Walk walk = WalkChunks(walked, extras);
    out.loop = extras.loop;
    extras.MakeMarkers(out.markers);
    if (found) return true;
    switch (walk) {
        case Walk::Found:
            info = walked;
            return true;
        case Walk::NotWave:
            DebugPrint(msg::kWaveNotRiff);
            return false;
        case Walk::NoFormat:
            DebugPrint(msg::kWaveNoFormat);
            return false;
        case Walk::NoData:
            DebugPrint(msg::kWaveNoData);
            return false;
        case Walk::PastEnd:
            DebugPrint(msg::kWaveChunkPastEnd, m_Overrun, m_OverrunSize, unit);
            return false;
        case Walk::Unreadable:
            return false;  // the reader has left its line
    }
    return false;
}

bool CWaveDecoder::ReadFormat(const HeaderInfo& info, FormatRecord& out) {
    const uint32_t unit = m_Reader->UnitSize();
    // A data chunk whose header ends the image holds no audio (the source says so).
    if (info.dataBody > unit) {
        DebugPrint(msg::kWaveDataPastEnd, unit);
        return false;
    }
    // The record is read only inside its chunk (and the range): a body shorter than the
    // 16 bytes every PCM record has is refused, not completed from the next chunk.
    if (info.formatSize < 16 || static_cast<uint64_t>(info.formatBody) + 16 > unit) {
        DebugPrint(msg::kWaveFormatTooShort, info.formatSize);
        return false;
    }
    out.bytes = static_cast<uint32_t>(
        std::min<uint64_t>({info.formatSize, sizeof out.record, unit - info.formatBody}));
    if (!ReadAt(info.formatBody, out.record, out.bytes)) return false;
    const uint16_t tag = Le16(out.record);
    out.channels = Le16(out.record + 2);
    out.rate = Le32(out.record + 4);
    out.bits = Le16(out.record + 14);
    out.kind = tag;
    if (tag == kTagExtensible) {
        out.kind = out.bytes >= 40 && std::memcmp(out.record + 26, kSubFormatTail, 14) == 0
                       ? Le16(out.record + 24)
                       : 0;
    }
    // The channel count first: an extensible record of 6 channels is refused for them.
    if (out.channels == 0 || out.channels > 2) {
        DebugPrint(msg::kWaveChannels, out.channels);
        return false;
    }
    if (out.kind != kTagPcm && out.kind != kTagFloat) {
        DebugPrint(msg::kWaveFormatTag, out.kind == 0 ? tag : out.kind);
        return false;
    }
    if ((out.kind == kTagPcm && out.bits != 8 && out.bits != 16 && out.bits != 24 &&
         out.bits != 32) ||
        (out.kind == kTagFloat && out.bits != 32)) {
        DebugPrint(msg::kWaveBits, out.bits);
        return false;
    }
    if (out.rate < kMinSampleRate || out.rate > kMaxSampleRate) {
        DebugPrint(msg::kSampleRate, out.rate, kMinSampleRate, kMaxSampleRate);
        return false;
    }
    return true;
}

void CWaveDecoder::SetUpOutput(const FormatRecord& r, ds::WAVEFORMATEX& format) {
    if (r.kind == kTagPcm && r.bits <= 16) {
        // Played as stored: the record as the file has it (as far as its chunk goes).
        m_Sample = Sample::Pcm;
        std::memcpy(&format, r.record, std::min<uint32_t>(r.bytes, sizeof format));
    } else {
        m_Sample = r.kind == kTagFloat ? Sample::Float32
                   : r.bits == 24      ? Sample::Int24
                                       : Sample::Int32;
        format = ds::WAVEFORMATEX{};
        format.wFormatTag = ds::WAVE_FORMAT_PCM;
        format.nChannels = r.channels;
        format.nSamplesPerSec = r.rate;
        format.nBlockAlign = static_cast<uint16_t>(r.channels * 2);
        format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
        format.wBitsPerSample = 16;
    }
    m_SourceFrame = r.bits / 8u * r.channels;
    m_OutputFrame = m_Sample == Sample::Pcm ? m_SourceFrame : r.channels * 2u;
}

bool CWaveDecoder::Open(CFileStreamRead& reader, DecodedLayout& out) {
    m_Reader = &reader;
    HeaderInfo info;
    FormatRecord record;
    if (!LocateChunks(info, out) || !ReadFormat(info, record)) return false;
    SetUpOutput(record, out.format);
    out.stored = {record.rate, record.channels, record.bits, record.kind == kTagFloat};
    out.container = "RIFF/WAVE";
    out.codec = record.kind == kTagFloat ? "IEEE float" : "PCM";

    // Whole frames only: a trailing part frame is never read, so every pass and every
    // loop wrap keeps the frames aligned. A data chunk claiming more than the image holds
    // is played up to the image end.
    m_DataOffset = info.dataBody;
    const uint32_t available = std::min(info.dataSize, reader.UnitSize() - m_DataOffset);
    const uint32_t frames = available / m_SourceFrame;
    m_DataEnd = m_DataOffset + frames * m_SourceFrame;
    out.frames = frames;
    out.loopAlwaysOn = false;
    if (frames == 0) return true;  // refused by the source as no audio
    reader.SetReadLimit(m_DataEnd);
    // A failure leaves the reader either past the data (empty data) or positioned at the
    // data with nothing buffered, so that the first read retries it.
    reader.Seek(m_DataOffset);

    if (m_Sample != Sample::Pcm) {
        ReserveStaging(kStagedFrames * m_OutputFrame);
        m_Raw.assign(kStagedFrames * m_SourceFrame, 0);
        m_RawCarry = 0;
        RestartStaging(0);
    }
    return true;
}

int CWaveDecoder::Read(uint8_t* destination, uint32_t& length) {
    if (m_DataEnd == m_DataOffset) {
        // No whole frame: the seek to the data was refused, so the reader still stands
        // where the header reading left it, before the data.
        length = 0;
        return CFileStreamRead::kNoMoreData;
    }
    if (m_Sample == Sample::Pcm) return m_Reader->Read(destination, length);
    return ReadStaged(destination, length);
}

uint64_t CWaveDecoder::OutputEnd() const {
    const uint32_t limit = m_Reader->ReadLimit();
    if (limit <= m_DataOffset) return 0;
    if (m_Sample == Sample::Pcm) return limit - m_DataOffset;
    return static_cast<uint64_t>((limit - m_DataOffset) / m_SourceFrame) * m_OutputFrame;
}

int CWaveDecoder::Produce(uint8_t* destination, uint32_t capacity, uint32_t& produced) {
    const uint32_t sampleBytes = m_Sample == Sample::Int24 ? 3 : 4;
    const uint32_t samples =
        std::min<uint32_t>(capacity / 2, static_cast<uint32_t>(m_Raw.size()) / sampleBytes);
    uint32_t got = samples * sampleBytes - m_RawCarry;
    const int r = m_Reader->Read(m_Raw.data() + m_RawCarry, got);
    const uint32_t total = m_RawCarry + got;
    const uint32_t whole = total / sampleBytes;
    for (uint32_t i = 0; i < whole; ++i) {
        const uint8_t* in = m_Raw.data() + i * sampleBytes;
        const int16_t s = m_Sample == Sample::Int24   ? FromInt24(in)
                          : m_Sample == Sample::Int32 ? FromInt32(in)
                                                      : FromFloat32(in);
        destination[2 * i] = static_cast<uint8_t>(s & 0xFF);
        destination[2 * i + 1] = static_cast<uint8_t>((s >> 8) & 0xFF);
    }
    // A read that failed inside a sample keeps its first bytes for the retry.
    m_RawCarry = total - whole * sampleBytes;
    std::memmove(m_Raw.data(), m_Raw.data() + whole * sampleBytes, m_RawCarry);
    produced = whole * 2;
    return r;
}

bool CWaveDecoder::Seek(uint64_t offset) {
    return SeekTo(offset, false);
}

bool CWaveDecoder::WrapTo(uint64_t offset) {
    return SeekTo(offset, true);
}

bool CWaveDecoder::SeekTo(uint64_t offset, bool inBlock) {
    const auto seek = [&](uint64_t at) {
        return inBlock ? m_Reader->SeekNear(Saturate(at)) : m_Reader->Seek(Saturate(at));
    };
    if (m_Sample == Sample::Pcm) return seek(m_DataOffset + offset);
    const uint64_t frame = offset / m_OutputFrame;
    if (!seek(m_DataOffset + frame * m_SourceFrame)) return false;
    m_RawCarry = 0;
    RestartStaging(frame * m_OutputFrame);
    return true;
}

bool CWaveDecoder::SetLoopEnd(uint32_t frame) {
    const uint64_t end = m_DataOffset + static_cast<uint64_t>(frame) * m_SourceFrame;
    if (end > m_Reader->UnitSize()) return false;
    // Bytes after the data chunk (other chunks, a part frame) are not PCM.
    return m_Reader->SetReadLimit(std::min(static_cast<uint32_t>(end), m_DataEnd));
}

}  // namespace sonaflux
