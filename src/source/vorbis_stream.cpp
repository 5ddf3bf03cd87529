#include "source/vorbis_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#define OV_EXCLUDE_STATIC_CALLBACKS
#include <vorbis/vorbisfile.h>

#include "base/diagnostics.h"
#include "base/messages.h"

namespace sonaflux {

constexpr uint32_t kStagedFrames = 4096;
constexpr uint64_t kMaxDataBytes = 0x7FFFFFFFu;

// libvorbisfile reads the image through the decoder's cursor over the stream's reader.
struct VorbisIo {
    static size_t Read(void* ptr, size_t size, size_t count, void* source) {
        auto* self = static_cast<CVorbisDecoder*>(source);
        errno = 0;
        if (size == 0 || count == 0) return 0;
        bool failed = false;
        const size_t got = self->m_Cursor.Read(ptr, size * count, failed);
        // A failed disk read is an error to libvorbisfile, not the end of the stream.
        errno = failed ? EIO : 0;
        return got / size;
    }
    static int Seek(void* source, ogg_int64_t offset, int whence) {
        ReaderCursor& cursor = static_cast<CVorbisDecoder*>(source)->m_Cursor;
        const int64_t base = whence == SEEK_CUR   ? cursor.Tell()
                             : whence == SEEK_END ? cursor.Size()
                                                  : 0;
        return cursor.Seek(base + offset) ? 0 : -1;
    }
    static long Tell(void* source) {
        return static_cast<long>(static_cast<CVorbisDecoder*>(source)->m_Cursor.Tell());
    }
};

CVorbisDecoder::CVorbisDecoder() : m_File(std::make_unique<OggVorbis_File>()) {}

CVorbisDecoder::~CVorbisDecoder() {
    if (m_FileOpen) ov_clear(m_File.get());
}

bool CVorbisDecoder::Open(CFileStreamRead& reader, DecodedLayout& out) {
    m_Reader = &reader;
    m_Cursor.Attach(reader);
    const ov_callbacks io = {&VorbisIo::Read, &VorbisIo::Seek, nullptr, &VorbisIo::Tell};
    const int opened = ov_open_callbacks(this, m_File.get(), nullptr, 0, io);
    if (opened != 0) {
        DebugPrint(msg::kVorbisOpenFailed, opened);
        return false;
    }
    m_FileOpen = true;
    // Every link of a chained stream must share the first one's layout, so that the
    // stream's one buffer format fits all of it.
    const vorbis_info* first = ov_info(m_File.get(), 0);
    const long links = ov_streams(m_File.get());
    if (first == nullptr || first->channels < 1 || first->channels > 2 || first->rate <= 0) {
        DebugPrint(msg::kVorbisFormat, first ? static_cast<unsigned>(first->channels) : 0u,
                   first ? static_cast<unsigned>(first->rate) : 0u);
        return false;
    }
    if (static_cast<uint32_t>(first->rate) < kMinSampleRate ||
        static_cast<unsigned long>(first->rate) > kMaxSampleRate) {
        DebugPrint(msg::kSampleRate, static_cast<unsigned>(first->rate), kMinSampleRate,
                   kMaxSampleRate);
        return false;
    }
    for (long i = 1; i < links; ++i) {
        const vorbis_info* link = ov_info(m_File.get(), static_cast<int>(i));
        if (link == nullptr || link->channels != first->channels || link->rate != first->rate) {
            DebugPrint(msg::kVorbisFormat, link ? static_cast<unsigned>(link->channels) : 0u,
                       link ? static_cast<unsigned>(link->rate) : 0u);
            return false;
        }
    }
    const auto channels = static_cast<uint16_t>(first->channels);
    m_FrameBytes = channels * 2u;
    const ogg_int64_t total = ov_pcm_total(m_File.get(), -1);
    if (total < 0 || static_cast<uint64_t>(total) * m_FrameBytes > kMaxDataBytes) {
        DebugPrint(msg::kVorbisFormat, channels, static_cast<unsigned>(first->rate));
        return false;
    }
    m_Frames = static_cast<uint32_t>(total);
    m_EndFrame = m_Frames;
    m_NextFrame = 0;
    ReserveStaging(kStagedFrames * m_FrameBytes);
    RestartStaging(0);

    ds::WAVEFORMATEX& f = out.format;
    f = ds::WAVEFORMATEX{};
    f.wFormatTag = ds::WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = static_cast<uint32_t>(first->rate);
    f.nBlockAlign = static_cast<uint16_t>(m_FrameBytes);
    f.nAvgBytesPerSec = f.nSamplesPerSec * m_FrameBytes;
    f.wBitsPerSample = 16;
    out.frames = m_Frames;
    out.stored = {f.nSamplesPerSec, channels, 0, false};
    out.container = "Ogg";
    out.codec = "Vorbis";

    // The first link's comments carry the loop tags.
    if (const vorbis_comment* vc = ov_comment(m_File.get(), 0)) {
        for (int i = 0; i < vc->comments; ++i) {
            if (vc->user_comments[i] == nullptr || vc->comment_lengths[i] < 0) continue;
            out.comments.emplace_back(vc->user_comments[i],
                                      static_cast<size_t>(vc->comment_lengths[i]));
        }
    }
    out.loopAlwaysOn = true;
    return true;
}

int CVorbisDecoder::Produce(uint8_t* destination, uint32_t capacity, uint32_t& produced) {
    produced = 0;
    bool reported = false;
    while (produced + m_FrameBytes <= capacity) {
        int link = 0;
        const long n = ov_read(m_File.get(), reinterpret_cast<char*>(destination + produced),
                               static_cast<int>(capacity - produced), 0, 2, 1, &link);
        if (n > 0) {
            produced += static_cast<uint32_t>(n);
            m_NextFrame += static_cast<uint64_t>(n) / m_FrameBytes;
            continue;
        }
        if (n == 0) return EndOfStream(m_NextFrame, m_Frames);
        if (!reported) {
            DebugPrint(msg::kVorbisDecodeError, static_cast<int>(n),
                       static_cast<unsigned>(m_NextFrame));
            reported = true;
        }
        // A hole (a lost or damaged page) is skipped; decoding goes on after it.
        if (n != OV_HOLE)
            return m_Reader->Gone() ? CFileStreamRead::kGone : CFileStreamRead::kFailed;
    }
    return CFileStreamRead::kDone;
}

bool CVorbisDecoder::Seek(uint64_t offset) {
    uint64_t frame = 0;
    if (!FrameToSeek(offset, frame)) return false;
    const int r = ov_pcm_seek(m_File.get(), static_cast<ogg_int64_t>(frame));
    if (r != 0) {
        DebugPrint(msg::kVorbisDecodeError, r, static_cast<unsigned>(frame));
        return false;
    }
    m_NextFrame = frame;
    RestartStaging(frame * m_FrameBytes);
    return true;
}

}  // namespace sonaflux
