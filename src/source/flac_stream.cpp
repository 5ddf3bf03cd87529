#include "source/flac_stream.h"

#include <algorithm>
#include <cstring>

#include "base/diagnostics.h"
#include "base/messages.h"
#include "source/pcm_convert.h"

namespace sonaflux {
namespace {

constexpr uint32_t kStagedFrames = 4096;
constexpr uint64_t kMaxDataBytes = 0x7FFFFFFFu;

}  // namespace

// libFLAC reads the image through the decoder's cursor over the stream's reader.
struct FlacIo {
    static CFlacDecoder& Self(void* client) { return *static_cast<CFlacDecoder*>(client); }

    static FLAC__StreamDecoderReadStatus Read(const FLAC__StreamDecoder*, FLAC__byte buffer[],
                                              size_t* bytes, void* client) {
        bool failed = false;
        *bytes = Self(client).m_Cursor.Read(buffer, *bytes, failed);
        Self(client).m_ReadFailed = Self(client).m_ReadFailed || failed;
        if (failed) return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
        return *bytes == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM
                           : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
    }
    static FLAC__StreamDecoderSeekStatus Seek(const FLAC__StreamDecoder*, FLAC__uint64 offset,
                                              void* client) {
        return offset <= kMaxUnitSize && Self(client).m_Cursor.Seek(static_cast<int64_t>(offset))
                   ? FLAC__STREAM_DECODER_SEEK_STATUS_OK
                   : FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
    }
    static FLAC__StreamDecoderTellStatus Tell(const FLAC__StreamDecoder*, FLAC__uint64* offset,
                                              void* client) {
        *offset = static_cast<FLAC__uint64>(Self(client).m_Cursor.Tell());
        return FLAC__STREAM_DECODER_TELL_STATUS_OK;
    }
    static FLAC__StreamDecoderLengthStatus Length(const FLAC__StreamDecoder*, FLAC__uint64* length,
                                                  void* client) {
        *length = static_cast<FLAC__uint64>(Self(client).m_Cursor.Size());
        return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
    }
    static FLAC__bool Eof(const FLAC__StreamDecoder*, void* client) {
        return Self(client).m_Cursor.AtEnd();
    }
    static FLAC__StreamDecoderWriteStatus Write(const FLAC__StreamDecoder*,
                                                const FLAC__Frame* frame,
                                                const FLAC__int32* const buffer[], void* client) {
        Self(client).TakeBlock(frame, buffer);
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    }
    static void Metadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata,
                         void* client) {
        Self(client).TakeMetadata(metadata);
    }
    static void Error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status,
                      void* client) {
        CFlacDecoder& self = Self(client);
        if (self.m_Reported) return;
        self.m_Reported = true;
        DebugPrint(msg::kFlacDecodeError, static_cast<int>(status),
                   static_cast<unsigned>(self.m_NextFrame));
    }
};

CFlacDecoder::CFlacDecoder(bool inOgg) : m_InOgg(inOgg) {}

CFlacDecoder::~CFlacDecoder() {
    if (m_Decoder) FLAC__stream_decoder_delete(m_Decoder);  // finishes it first
}

void CFlacDecoder::TakeMetadata(const FLAC__StreamMetadata* metadata) {
    if (metadata->type == FLAC__METADATA_TYPE_STREAMINFO && !m_HaveInfo) {
        const FLAC__StreamMetadata_StreamInfo& info = metadata->data.stream_info;
        m_HaveInfo = true;
        m_Channels = info.channels;
        m_Bits = info.bits_per_sample;
        m_Layout->stored = {info.sample_rate, static_cast<uint16_t>(info.channels),
                            static_cast<uint16_t>(info.bits_per_sample), false};
        if (info.total_samples * (m_Channels * 2u) <= kMaxDataBytes) {
            m_Frames = static_cast<uint32_t>(info.total_samples);
        } else {
            m_Frames = 0xFFFFFFFFu;  // refused by CheckStreamInfo
        }
        m_Block.reserve(static_cast<size_t>(std::max(info.max_blocksize, 16u)) * m_Channels * 2u);
    } else if (metadata->type == FLAC__METADATA_TYPE_VORBIS_COMMENT && m_Layout) {
        const FLAC__StreamMetadata_VorbisComment& vc = metadata->data.vorbis_comment;
        for (FLAC__uint32 i = 0; i < vc.num_comments; ++i) {
            const FLAC__StreamMetadata_VorbisComment_Entry& e = vc.comments[i];
            if (e.entry)
                m_Layout->comments.emplace_back(reinterpret_cast<const char*>(e.entry), e.length);
        }
    }
}

void CFlacDecoder::TakeBlock(const FLAC__Frame* frame, const int32_t* const* samples) {
    const uint32_t n = frame->header.blocksize;
    m_Block.resize(static_cast<size_t>(n) * m_FrameBytes);
    m_BlockUsed = 0;
    // A frame of another layout, or out of place, is not of this stream (the file was
    // rewritten or damaged): it plays as silence of its length, and decoding stops.
    const bool fits = frame->header.channels == m_Channels &&
                      frame->header.bits_per_sample == m_Bits &&
                      frame->header.number.sample_number == m_NextFrame;
    m_Foreign = m_Foreign || !fits;
    m_NextFrame += n;
    uint8_t* out = m_Block.data();
    for (uint32_t i = 0; i < n; ++i) {
        for (uint32_t c = 0; c < m_Channels; ++c) {
            const int32_t v = fits ? samples[c][i] : 0;
            if (m_Bits == 8) {
                *out++ = ToUnsigned8(v);
                continue;
            }
            const int16_t s = m_Bits == 16 ? static_cast<int16_t>(v) : NarrowTo16(v, m_Bits);
            *out++ = static_cast<uint8_t>(s & 0xFF);
            *out++ = static_cast<uint8_t>((s >> 8) & 0xFF);
        }
    }
}

bool CFlacDecoder::CheckStreamInfo() {
    if (!m_HaveInfo) {
        DebugPrint(msg::kFlacOpenFailed, "STREAMINFO");
        return false;
    }
    const StoredFormat& stored = m_Layout->stored;
    if (m_Channels < 1 || m_Channels > 2 || m_Bits < 4 || m_Bits > 32 || m_Frames == 0xFFFFFFFFu) {
        DebugPrint(msg::kFlacFormat, m_Channels, m_Bits);
        return false;
    }
    if (stored.rate < kMinSampleRate || stored.rate > kMaxSampleRate) {
        DebugPrint(msg::kSampleRate, stored.rate, kMinSampleRate, kMaxSampleRate);
        return false;
    }
    return true;
}

bool CFlacDecoder::Open(CFileStreamRead& reader, DecodedLayout& out) {
    m_Cursor.Attach(reader);
    m_Layout = &out;
    m_Decoder = FLAC__stream_decoder_new();
    if (m_Decoder == nullptr) return false;
    FLAC__stream_decoder_set_metadata_respond(m_Decoder, FLAC__METADATA_TYPE_VORBIS_COMMENT);
    const auto init =
        m_InOgg ? &FLAC__stream_decoder_init_ogg_stream : &FLAC__stream_decoder_init_stream;
    const FLAC__StreamDecoderInitStatus status =
        init(m_Decoder, &FlacIo::Read, &FlacIo::Seek, &FlacIo::Tell, &FlacIo::Length, &FlacIo::Eof,
             &FlacIo::Write, &FlacIo::Metadata, &FlacIo::Error, this);
    if (status != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        DebugPrint(msg::kFlacOpenFailed, FLAC__StreamDecoderInitStatusString[status]);
        return false;
    }
    if (!FLAC__stream_decoder_process_until_end_of_metadata(m_Decoder)) {
        DebugPrint(msg::kFlacOpenFailed,
                   FLAC__StreamDecoderStateString[FLAC__stream_decoder_get_state(m_Decoder)]);
        return false;
    }
    const bool ok = CheckStreamInfo();
    m_Layout = nullptr;
    if (!ok) return false;

    const uint16_t bits = m_Bits == 8 ? 8 : 16;
    m_FrameBytes = m_Channels * (bits / 8u);
    m_EndFrame = m_Frames;
    ReserveStaging(kStagedFrames * m_FrameBytes);
    RestartStaging(0);
    ds::WAVEFORMATEX& f = out.format;
    f = ds::WAVEFORMATEX{};
    f.wFormatTag = ds::WAVE_FORMAT_PCM;
    f.nChannels = static_cast<uint16_t>(m_Channels);
    f.nSamplesPerSec = out.stored.rate;
    f.nBlockAlign = static_cast<uint16_t>(m_FrameBytes);
    f.nAvgBytesPerSec = f.nSamplesPerSec * m_FrameBytes;
    f.wBitsPerSample = bits;
    out.frames = m_Frames;
    out.container = m_InOgg ? "Ogg" : "FLAC";
    out.codec = "FLAC";
    out.loopAlwaysOn = true;
    return true;
}

bool CFlacDecoder::Recover() {
    const uint64_t frame = m_NextFrame - (m_Block.size() - m_BlockUsed) / m_FrameBytes;
    FLAC__stream_decoder_flush(m_Decoder);
    m_Block.clear();
    m_BlockUsed = 0;
    m_NextFrame = frame;
    if (frame < m_Frames && !FLAC__stream_decoder_seek_absolute(m_Decoder, frame)) {
        FLAC__stream_decoder_flush(m_Decoder);
        m_NextFrame = frame;
        return false;
    }
    m_Broken = false;
    return true;
}

int CFlacDecoder::Failure() {
    if (m_Cursor.Reader().Gone()) return CFileStreamRead::kGone;
    // A failed disk read may succeed when retried; anything else libFLAC cannot get past
    // with every byte read (a frame it cannot find or a seek it cannot make) never will.
    if (m_ReadFailed) return CFileStreamRead::kFailed;
    const uint64_t at = m_NextFrame - (m_Block.size() - m_BlockUsed) / m_FrameBytes;
    return EndOfStream(std::min<uint64_t>(at, m_Frames - 1u), m_Frames);
}

int CFlacDecoder::Produce(uint8_t* destination, uint32_t capacity, uint32_t& produced) {
    produced = 0;
    m_ReadFailed = false;
    if (m_Broken && !Recover()) return Failure();
    while (produced + m_FrameBytes <= capacity) {
        const size_t left = m_Block.size() - m_BlockUsed;
        if (left > 0) {
            const size_t room = (capacity - produced) / m_FrameBytes * m_FrameBytes;
            const size_t n = std::min(left, room);
            std::memcpy(destination + produced, m_Block.data() + m_BlockUsed, n);
            produced += static_cast<uint32_t>(n);
            m_BlockUsed += n;
            continue;
        }
        if (FLAC__stream_decoder_get_state(m_Decoder) == FLAC__STREAM_DECODER_END_OF_STREAM) {
            return EndOfStream(m_NextFrame, m_Frames);
        }
        if (!FLAC__stream_decoder_process_single(m_Decoder)) {
            // The image ended inside a frame (cut short): the end, not a failed read.
            if (FLAC__stream_decoder_get_state(m_Decoder) == FLAC__STREAM_DECODER_END_OF_STREAM) {
                return EndOfStream(m_NextFrame, m_Frames);
            }
            m_Broken = true;
            return Failure();
        }
        if (m_Foreign) return EndOfStream(m_NextFrame - m_Block.size() / m_FrameBytes, m_Frames);
    }
    return CFileStreamRead::kDone;
}

bool CFlacDecoder::Seek(uint64_t offset) {
    uint64_t frame = 0;
    if (!FrameToSeek(offset, frame)) return false;
    m_Block.clear();
    m_BlockUsed = 0;
    m_NextFrame = frame;
    m_Reported = false;
    m_Foreign = false;
    RestartStaging(frame * m_FrameBytes);
    if (FLAC__stream_decoder_get_state(m_Decoder) == FLAC__STREAM_DECODER_ABORTED) {
        FLAC__stream_decoder_flush(m_Decoder);
    }
    if (!FLAC__stream_decoder_seek_absolute(m_Decoder, frame)) {
        DebugPrint(msg::kFlacDecodeError,
                   static_cast<int>(FLAC__stream_decoder_get_state(m_Decoder)),
                   static_cast<unsigned>(frame));
        FLAC__stream_decoder_flush(m_Decoder);
        m_Block.clear();
        m_NextFrame = frame;
        m_Broken = true;  // the next read seeks again
        return false;
    }
    m_Broken = false;
    return true;
}

}  // namespace sonaflux
