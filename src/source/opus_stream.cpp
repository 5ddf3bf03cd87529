#include "source/opus_stream.h"

#include <opusfile.h>

#include <algorithm>
#include <cstdio>

#include "base/diagnostics.h"
#include "base/messages.h"
#include "source/pcm_convert.h"

namespace sonaflux {
namespace {

constexpr uint32_t kStagedFrames = 5760;  // 120 ms, the longest Opus packet
constexpr uint64_t kMaxDataBytes = 0x7FFFFFFFu;
constexpr uint32_t kOpusRate = 48000;

}  // namespace

// libopusfile reads the image through the decoder's cursor over the stream's reader.
struct OpusIo {
    static ReaderCursor& Cursor(void* stream) {
        return static_cast<COpusDecoder*>(stream)->m_Cursor;
    }
    static int Read(void* stream, unsigned char* ptr, int bytes) {
        if (bytes <= 0) return 0;
        bool failed = false;
        const size_t got = Cursor(stream).Read(ptr, static_cast<size_t>(bytes), failed);
        return failed ? -1 : static_cast<int>(got);
    }
    static int Seek(void* stream, opus_int64 offset, int whence) {
        ReaderCursor& cursor = Cursor(stream);
        const int64_t base = whence == SEEK_CUR   ? cursor.Tell()
                             : whence == SEEK_END ? cursor.Size()
                                                  : 0;
        return cursor.Seek(base + offset) ? 0 : -1;
    }
    static opus_int64 Tell(void* stream) { return Cursor(stream).Tell(); }
};

COpusDecoder::~COpusDecoder() {
    if (m_File) op_free(m_File);
}

bool COpusDecoder::CheckLinks() {
    // Every link must share the first one's channel count, so that the stream's one
    // buffer format fits all of it.
    const int links = op_link_count(m_File);
    const int channels = op_channel_count(m_File, 0);
    for (int i = 0; i < links; ++i) {
        const int c = op_channel_count(m_File, i);
        if (c < 1 || c > 2 || c != channels) {
            DebugPrint(msg::kOpusFormat, static_cast<unsigned>(c));
            return false;
        }
    }
    m_Channels = static_cast<uint32_t>(channels);
    m_FrameBytes = m_Channels * 2u;
    const ogg_int64_t total = op_pcm_total(m_File, -1);
    if (total < 0 || static_cast<uint64_t>(total) * m_FrameBytes > kMaxDataBytes) {
        DebugPrint(msg::kOpusFormat, m_Channels);
        return false;
    }
    m_Frames = static_cast<uint32_t>(total);
    return true;
}

bool COpusDecoder::Open(CFileStreamRead& reader, DecodedLayout& out) {
    m_Cursor.Attach(reader);
    static const OpusFileCallbacks io = {&OpusIo::Read, &OpusIo::Seek, &OpusIo::Tell, nullptr};
    int error = 0;
    m_File = op_open_callbacks(this, &io, nullptr, 0, &error);
    if (m_File == nullptr) {
        DebugPrint(msg::kOpusOpenFailed, error);
        return false;
    }
    if (!CheckLinks()) return false;
    m_EndFrame = m_Frames;
    m_NextFrame = 0;
    ReserveStaging(kStagedFrames * m_FrameBytes);
    RestartStaging(0);
    m_Float.assign(kStagedFrames * m_Channels, 0.0f);

    ds::WAVEFORMATEX& f = out.format;
    f = ds::WAVEFORMATEX{};
    f.wFormatTag = ds::WAVE_FORMAT_PCM;
    f.nChannels = static_cast<uint16_t>(m_Channels);
    f.nSamplesPerSec = kOpusRate;
    f.nBlockAlign = static_cast<uint16_t>(m_FrameBytes);
    f.nAvgBytesPerSec = kOpusRate * m_FrameBytes;
    f.wBitsPerSample = 16;
    out.frames = m_Frames;
    // The rate the encoder was given is kept in the header; Opus itself stores 48 kHz.
    const OpusHead* head = op_head(m_File, 0);
    out.stored = {head && head->input_sample_rate ? head->input_sample_rate : kOpusRate,
                  static_cast<uint16_t>(m_Channels), 0, false};
    if (const OpusTags* tags = op_tags(m_File, 0)) {
        for (int i = 0; i < tags->comments; ++i) {
            if (tags->user_comments[i] == nullptr || tags->comment_lengths[i] < 0) continue;
            out.comments.emplace_back(tags->user_comments[i],
                                      static_cast<size_t>(tags->comment_lengths[i]));
        }
    }
    out.container = "Ogg";
    out.codec = "Opus";
    out.loopAlwaysOn = true;
    return true;
}

int COpusDecoder::Produce(uint8_t* destination, uint32_t capacity, uint32_t& produced) {
    produced = 0;
    bool reported = false;
    while (produced + m_FrameBytes <= capacity) {
        const uint32_t frames = std::min((capacity - produced) / m_FrameBytes, kStagedFrames);
        // op_read_float keeps the link's own channels (op_read_stereo would mix mono up).
        const int n =
            op_read_float(m_File, m_Float.data(), static_cast<int>(frames * m_Channels), nullptr);
        if (n > 0) {
            uint8_t* out = destination + produced;
            for (uint32_t i = 0; i < static_cast<uint32_t>(n) * m_Channels; ++i) {
                const int16_t s = FloatTo16(m_Float[i]);
                out[2 * i] = static_cast<uint8_t>(s & 0xFF);
                out[2 * i + 1] = static_cast<uint8_t>((s >> 8) & 0xFF);
            }
            produced += static_cast<uint32_t>(n) * m_FrameBytes;
            m_NextFrame += static_cast<uint64_t>(n);
            continue;
        }
        if (n == 0) return EndOfStream(m_NextFrame, m_Frames);
        if (!reported) {
            DebugPrint(msg::kOpusDecodeError, n, static_cast<unsigned>(m_NextFrame));
            reported = true;
        }
        // A hole (a lost or damaged page) is skipped; decoding goes on after it.
        if (n != OP_HOLE) {
            return m_Cursor.Reader().Gone() ? CFileStreamRead::kGone : CFileStreamRead::kFailed;
        }
    }
    return CFileStreamRead::kDone;
}

bool COpusDecoder::Seek(uint64_t offset) {
    uint64_t frame = 0;
    if (!FrameToSeek(offset, frame)) return false;
    const int r = op_pcm_seek(m_File, static_cast<ogg_int64_t>(frame));
    if (r != 0) {
        DebugPrint(msg::kOpusDecodeError, r, static_cast<unsigned>(frame));
        return false;
    }
    m_NextFrame = frame;
    RestartStaging(frame * m_FrameBytes);
    return true;
}

}  // namespace sonaflux
