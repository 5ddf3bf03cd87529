// The FLAC image, native or in Ogg: decoded with libFLAC, which reads the image through the
// stream's own file reader. Samples of 16 bits play as stored, 8-bit ones as WAVE's
// unsigned 8-bit PCM, every other depth (4..32 bits) as 16 bits by WAVE's rule
// (source/pcm_convert.h). Seeks are sample-exact (libFLAC's own); its Vorbis comments
// go to the source for the loop tags.
#pragma once

#include <FLAC/stream_decoder.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "source/frame_decoder.h"
#include "source/reader_cursor.h"
#include "source/music_source.h"

namespace sonaflux {

class CFlacDecoder final : public CFrameDecoder {
public:
    explicit CFlacDecoder(bool inOgg);
    ~CFlacDecoder() override;

    bool Open(CFileStreamRead& reader, DecodedLayout& out) override;
    bool Seek(uint64_t offset) override;

private:
    friend struct FlacIo;  // libFLAC's callbacks

    bool CheckStreamInfo();
    void TakeBlock(const FLAC__Frame* frame, const int32_t* const* samples);
    void TakeMetadata(const FLAC__StreamMetadata* metadata);
    int Produce(uint8_t* destination, uint32_t capacity, uint32_t& produced) override;
    // After a failed read: positions libFLAC at the next frame to hand out again.
    bool Recover();
    // What a decode that libFLAC could not go on with answers: kFailed (retried) after a
    // failed disk read, else the early end of the data.
    int Failure();

    FLAC__StreamDecoder* m_Decoder = nullptr;
    bool m_InOgg;
    ReaderCursor m_Cursor;
    DecodedLayout* m_Layout = nullptr;  // filled by the metadata callback during Open
    bool m_HaveInfo = false;
    uint32_t m_Bits = 0;
    uint32_t m_Channels = 0;
    std::vector<uint8_t> m_Block;  // one decoded FLAC block, converted
    size_t m_BlockUsed = 0;        // bytes of m_Block handed to the staging
    bool m_Broken = false;         // a read failed: Recover before decoding on
    bool m_Reported = false;       // a decode error was reported since the last seek
    bool m_Foreign = false;        // a frame not of this stream came (see TakeBlock)
    bool m_ReadFailed = false;     // a disk read failed during this Produce
};

}  // namespace sonaflux
