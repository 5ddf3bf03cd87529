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

#include "source/frame_decoder.h"
#include "source/reader_cursor.h"
#include "source/music_source.h"

struct OggVorbis_File;

namespace sonaflux {

class CVorbisDecoder final : public CFrameDecoder {
public:
    CVorbisDecoder();
    ~CVorbisDecoder() override;

    bool Open(CFileStreamRead& reader, DecodedLayout& out) override;
    bool Seek(uint64_t offset) override;

private:
    friend struct VorbisIo;  // libvorbisfile's callbacks over the reader

    int Produce(uint8_t* destination, uint32_t capacity, uint32_t& produced) override;

    std::unique_ptr<OggVorbis_File> m_File;
    bool m_FileOpen = false;
    CFileStreamRead* m_Reader = nullptr;
    ReaderCursor m_Cursor;  // libvorbisfile's position in the image
};

}  // namespace sonaflux
