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

#include "source/frame_decoder.h"
#include "source/reader_cursor.h"
#include "source/music_source.h"

struct OggOpusFile;

namespace sonaflux {

class COpusDecoder final : public CFrameDecoder {
public:
    COpusDecoder() = default;
    ~COpusDecoder() override;

    bool Open(CFileStreamRead& reader, DecodedLayout& out) override;
    bool Seek(uint64_t offset) override;

private:
    friend struct OpusIo;  // libopusfile's callbacks

    bool CheckLinks();
    int Produce(uint8_t* destination, uint32_t capacity, uint32_t& produced) override;

    OggOpusFile* m_File = nullptr;
    ReaderCursor m_Cursor;
    uint32_t m_Channels = 0;
    std::vector<float> m_Float;  // decoded samples before their conversion to 16 bits
};

}  // namespace sonaflux
