// The Ogg Opus image: decoded with libopusfile at 48 kHz, which reads the image through
// the stream's own file reader. libopusfile drops the pre-skip, so frame 0 is the first
// frame of music, and decodes the pre-roll before every seek, so seeks and loop wraps
// are sample-exact. The tags go to the source for the loop tags; in Opus they count
// 48 kHz frames, the frames handed out. Hands out 16-bit little-endian PCM, converted from
// libopusfile's float output by WAVE's float rule (source/pcm_convert.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "source/pcm_staging.h"
#include "source/reader_cursor.h"
#include "source/music_source.h"

struct OggOpusFile;

namespace sonaflux {

class COpusDecoder final : public CPcmDecoder, private CPcmStaging {
public:
    COpusDecoder() = default;
    ~COpusDecoder() override;

    bool Open(CFileStreamRead& reader, DecodedLayout& out) override;
    int Read(uint8_t* destination, uint32_t& length) override;
    bool Seek(uint64_t offset) override;
    bool SetLoopEnd(uint32_t frame) override;
    uint64_t EndBytes() const override { return OutputEnd(); }

private:
    friend struct OpusIo;  // libopusfile's callbacks

    bool CheckLinks();
    int Produce(uint8_t* destination, uint32_t capacity, uint32_t& produced) override;
    uint64_t OutputEnd() const override;

    OggOpusFile* m_File = nullptr;
    ReaderCursor m_Cursor;
    uint32_t m_Channels = 0;
    uint32_t m_FrameBytes = 0;
    uint32_t m_Frames = 0;
    uint64_t m_NextFrame = 0;  // the frame libopusfile decodes next
    std::atomic<uint32_t> m_EndFrame{0};
    std::vector<float> m_Float;  // decoded samples before their conversion to 16 bits
};

}  // namespace sonaflux
