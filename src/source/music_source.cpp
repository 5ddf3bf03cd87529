#include "source/music_source.h"

#include <algorithm>
#include <cstring>

#include "base/diagnostics.h"
#include "base/messages.h"
#include "config/module_settings.h"
#include "source/flac_stream.h"
#include "source/image_kind.h"
#include "source/loop_tags.h"
#include "source/opus_stream.h"
#include "source/vorbis_stream.h"
#include "source/wave_stream.h"

namespace sonaflux {
namespace {

constexpr int kLoopAttempts = 10;
// A loop region shorter than this wraps in the bytes in memory where it lies in them
// (CPcmDecoder::WrapTo): a loop of a few frames would otherwise read the disk at every
// wrap, thousands of times a second. Longer loops read again at each wrap, at most about
// ten times a second, which also notices a file that shrank meanwhile.
constexpr uint64_t kShortLoopBytes = 16384;

// An offset past 32 bits lies past every readable end; the decoders refuse it.
uint32_t Saturate(uint64_t value) {
    return static_cast<uint32_t>(std::min<uint64_t>(value, 0xFFFFFFFFu));
}

}  // namespace

int EndOfStream(uint64_t at, uint32_t frames) {
    if (at >= frames) return CFileStreamRead::kNoMoreData;
    DebugPrint(msg::kStreamEndedEarly, static_cast<unsigned>(at), frames);
    return CFileStreamRead::kGone;
}

CMusicSource::CMusicSource(std::unique_ptr<CReadOnlyFile> file, Kinds kinds)
    : m_Reader(std::move(file)), m_Kinds(kinds) {}

CMusicSource::~CMusicSource() = default;

uint32_t CMusicSource::FrameSize() const {
    return static_cast<uint32_t>(m_Format.wBitsPerSample / 8u) * m_Format.nChannels;
}

bool CMusicSource::Open(const char* name, uint32_t imageOffset, uint32_t imageSize) {
    if (m_IsOpen) {
        m_Reader.Close();
        m_IsOpen = false;
        m_PassesLeft.store(1);
    }
    m_Decoder.reset();
    m_Description = SourceDescription{};
    DecodedLayout layout;
    if (!OpenDecoder(name, imageOffset, imageSize, layout)) {
        m_Decoder.reset();
        return false;
    }
    m_Format = layout.format;
    m_FrameCount = layout.frames;
    m_DataSize = layout.frames * FrameSize();  // the decoders keep this below 2^31
    m_IsOpen = true;
    m_DataPosition.store(0);
    m_LoopStart.store(0);
    Describe(layout, name);
    return true;
}

bool CMusicSource::OpenDecoder(const char* name, uint32_t imageOffset, uint32_t imageSize,
                               DecodedLayout& layout) {
    const int32_t blockSize = Settings().STREAM_BUFFER_SIZE.load();
    m_Reader.SetBlockSize(blockSize > 0 ? static_cast<uint32_t>(blockSize) : 0);
    if (!m_Reader.Open(name, imageOffset, imageSize) || !m_Reader.Seek(0)) return false;
    m_Decoder = MakeDecoder();
    if (!m_Decoder || !m_Reader.SeekNear(0) || !m_Decoder->Open(m_Reader, layout)) return false;
    if (layout.frames == 0) {
        // Headers without music (an empty data chunk, an Ogg stream of no samples).
        DebugPrint(msg::kNoAudio);
        return false;
    }
    return true;
}

void CMusicSource::Describe(DecodedLayout& layout, const char* name) {
    if (!layout.comments.empty()) {
        layout.loop = ReadLoopTags(layout.comments, m_FrameCount, name);
        ReadChapterMarkers(layout.comments, m_Format.nSamplesPerSec, layout.markers);
    }
    SourceDescription& d = m_Description;
    d.container = layout.container;
    d.codec = layout.codec;
    d.stored = layout.stored;
    d.loop = layout.loop;
    // Markers past the data mark nothing that plays.
    for (Marker& m : layout.markers) {
        if (m.frame < m_FrameCount) d.markers.push_back(std::move(m));
    }
    if (layout.loop.present && (layout.loopAlwaysOn || Settings().FILE_LOOP_POINTS.load())) {
        // As if the host had set them right after the load; its own later calls override.
        const FileLoopPoints& p = layout.loop;
        if (p.start < p.end && p.end <= m_FrameCount) {
            SetLoopStart(p.start);
            SetLoopEnd(p.end);
            d.loopApplied = true;
        } else {
            DebugPrint(msg::kFileLoopIgnored, p.start, p.end, m_FrameCount);
        }
    }
}

std::unique_ptr<CPcmDecoder> CMusicSource::MakeDecoder() {
    // The signature tells the kind; the decoder reads the image again from its start,
    // which is still in the block.
    uint8_t head[kProbeBytes] = {};
    uint32_t length = std::min(kProbeBytes, m_Reader.UnitSize());
    const int r = m_Reader.Read(head, length);
    if (r == CFileStreamRead::kFailed) return nullptr;  // the reader has left its line
    const ImageProbe probe = ProbeImage(head, length);
    if (m_Kinds == Kinds::WaveOnly && probe.kind != ImageKind::Wave) {
        DebugPrint(msg::kUnknownImage);
        return nullptr;
    }
    switch (probe.kind) {
        case ImageKind::Wave:
            return std::make_unique<CWaveDecoder>();
        case ImageKind::OggVorbis:
            return std::make_unique<CVorbisDecoder>();
        case ImageKind::OggOpus:
            return std::make_unique<COpusDecoder>();
        case ImageKind::OggFlac:
        case ImageKind::Flac:
            return std::make_unique<CFlacDecoder>(probe.kind == ImageKind::OggFlac);
        case ImageKind::Unsupported:
            DebugPrint(msg::kUnsupportedKind, probe.name);
            return nullptr;
        case ImageKind::Unknown:
            break;
    }
    DebugPrint(msg::kUnknownImage);
    return nullptr;
}

bool CMusicSource::TakePass() {
    int32_t current = m_PassesLeft.load();
    for (;;) {
        if (current == 1) return false;
        const int32_t next = current > 1 ? current - 1 : 0;  // 0 and below: endless
        if (m_PassesLeft.compare_exchange_weak(current, next)) return true;
    }
}

void CMusicSource::FillSilence(uint8_t* destination, uint32_t bytes) const {
    if (bytes == 0) return;
    std::memset(destination, m_Format.wBitsPerSample == 8 ? 0x80 : 0x00, bytes);
}

bool CMusicSource::Gets(void* destination, int32_t size, uint32_t* delivered) {
    uint32_t ignored = 0;
    uint32_t& count = delivered ? *delivered : ignored;
    count = 0;
    if (size < 0) {
        ErrorBox(msg::kRequestTooLarge);
        return false;
    }
    auto* out = static_cast<uint8_t*>(destination);
    const auto want = static_cast<uint32_t>(size);
    if (want == 0) return true;
    if (!m_Decoder) {
        FillSilence(out, want);
        return false;
    }
    uint32_t got = want;
    const int r = m_Decoder->Read(out, got);
    if (r != CFileStreamRead::kNoMoreData) {
        // A failed read is not the caller's concern (the reader has left its line and
        // retries at the next call); what it missed plays as silence.
        if (r != CFileStreamRead::kDone) FillSilence(out + got, want - got);
        m_DataPosition.store(m_DataPosition.load() + got);
        count = got;
        return r != CFileStreamRead::kGone;
    }

    count = got;
    return ReadAcrossWraps(out, want, count);
}

bool CMusicSource::ReadAcrossWraps(uint8_t* out, uint32_t want, uint32_t& done) {
    for (;;) {
        // The end of the readable data: wrap while passes remain.
        if (!TakePass()) {
            FillSilence(out + done, want - done);
            return false;
        }
        const uint32_t loopStart = m_LoopStart.load();
        SeekLoopStart(loopStart);
        switch (ReadAfterWrap(out, want, done, loopStart)) {
            case WrapRead::Filled:
                return true;
            case WrapRead::Failed:
                return false;
            case WrapRead::EndedAgain:
                break;  // the loop region ended inside this request: another wrap
        }
    }
}

void CMusicSource::SeekLoopStart(uint32_t loopStart) {
    for (int i = 0; i < kLoopAttempts; ++i) {
        const bool positioned = m_Decoder->EndBytes() - loopStart < kShortLoopBytes
                                    ? m_Decoder->WrapTo(loopStart)
                                    : m_Decoder->Seek(loopStart);
        if (positioned) return;
    }
    ErrorBox(msg::kLoopSeekFailed);
}

CMusicSource::WrapRead CMusicSource::ReadAfterWrap(uint8_t* out, uint32_t want, uint32_t& done,
                                                   uint32_t loopStart) {
    uint32_t fromLoop = 0;
    for (int attempt = 1;; ++attempt) {
        uint32_t part = want - done;
        const int r = m_Decoder->Read(out + done, part);
        done += part;
        fromLoop += part;
        if (r == CFileStreamRead::kDone) {
            m_DataPosition.store(loopStart + fromLoop);
            return WrapRead::Filled;
        }
        if (r == CFileStreamRead::kNoMoreData && part > 0) return WrapRead::EndedAgain;
        if (attempt == kLoopAttempts || r == CFileStreamRead::kGone) {
            ErrorBox(msg::kReadErrorAfterWrap);
            FillSilence(out + done, want - done);
            return WrapRead::Failed;
        }
        Sleep(0);
    }
}

bool CMusicSource::SeekFrame(uint32_t frame) {
    const uint64_t bytes = static_cast<uint64_t>(frame) * FrameSize();
    // With no image the reader says why (no file is open).
    if (!m_Decoder) return m_Reader.Seek(Saturate(bytes));
    if (!m_Decoder->Seek(bytes)) return false;
    m_DataPosition.store(static_cast<uint32_t>(bytes));  // below the limit, so below 2^31
    return true;
}

void CMusicSource::SetLoopStart(uint32_t frame) {
    m_LoopStart.store(Saturate(static_cast<uint64_t>(frame) * FrameSize()));
}

bool CMusicSource::SetLoopEnd(uint32_t frame) {
    if (!m_IsOpen || !m_Decoder) return false;
    return m_Decoder->SetLoopEnd(frame);
}

uint32_t CMusicSource::LoopEndBytes() const {
    return m_Decoder ? static_cast<uint32_t>(m_Decoder->EndBytes()) : 0;
}

bool CMusicSource::DataGone() const {
    return m_Reader.Gone();
}

bool CMusicSource::GetFormat(ds::WAVEFORMATEX& out) const {
    if (!m_IsOpen) return false;
    out = m_Format;
    return true;
}

}  // namespace sonaflux
