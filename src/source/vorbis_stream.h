// The Ogg Vorbis image: decoded with libvorbisfile, which reads the image through the
// stream's own file reader (and so under the process-wide read lock), one segment's worth
// of frames each time the stream pulls. Hands out 16-bit little-endian PCM.
//
// Its comments go to the source, which reads the loop tags among them (source/loop_tags.h);
// such loop points always apply.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "source/pcm_staging.h"
#include "source/reader_cursor.h"
#include "source/music_source.h"

struct OggVorbis_File;

namespace sonaflux {

class CVorbisDecoder final : public CPcmDecoder, private CPcmStaging {
public:
    CVorbisDecoder();
    ~CVorbisDecoder() override;

    bool Open(CFileStreamRead& reader, DecodedLayout& out) override;
    int Read(uint8_t* destination, uint32_t& length) override;
    bool Seek(uint64_t offset) override;
    bool SetLoopEnd(uint32_t frame) override;
    uint64_t EndBytes() const override { return OutputEnd(); }

private:
    friend struct VorbisIo;  // libvorbisfile's callbacks over the reader

    int Produce(uint8_t* destination, uint32_t capacity, uint32_t& produced) override;
    uint64_t OutputEnd() const override;

    std::unique_ptr<OggVorbis_File> m_File;
    bool m_FileOpen = false;
    CFileStreamRead* m_Reader = nullptr;
    ReaderCursor m_Cursor;  // libvorbisfile's position in the image
    uint32_t m_FrameBytes = 0;
    uint32_t m_Frames = 0;
    uint64_t m_NextFrame = 0;  // the frame libvorbisfile decodes next
    std::atomic<uint32_t> m_EndFrame{0};
};

}  // namespace sonaflux
