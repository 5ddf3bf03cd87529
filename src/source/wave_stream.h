// The RIFF/WAVE image: its header reader and the decoder that hands out its PCM.
//
// Every image that opened under the first bytes' reading (format and data chunks within
// the first 127 bytes, no pad bytes) still opens with the same data offset, size and
// format. Other images are read by walking all chunks of the image, honouring the pad
// byte after an odd-sized chunk. 24-bit and 32-bit integer PCM and 32-bit float are
// converted to 16-bit as they are read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "source/pcm_staging.h"
#include "source/music_source.h"

namespace sonaflux {

class CWaveDecoder final : public CPcmDecoder, private CPcmStaging {
public:
    // The first bytes searched by the reading every image opened with before the walk.
    static constexpr uint32_t kHeaderBytes = 127;

    // Where the chunk walk found the two chunks, as offsets from the image start.
    struct HeaderInfo {
        uint32_t formatBody = 0;
        uint32_t formatSize = 0;
        uint32_t dataBody = 0;
        uint32_t dataSize = 0;
    };
    // The reading of the first bytes: walks the chunks of `header` ("RIFF", size, "WAVE",
    // then chunks without padding) up to the first "data" chunk. The identifier "fmt"
    // with any fourth byte is a format chunk; the first one counts, later ones are
    // skipped (a second record describes nothing that is stored). Fails
    // unless a format chunk precedes the data chunk and the data chunk's header plus one
    // byte lie inside `length`.
    static bool FindDataChunk(const uint8_t* header, uint32_t length, HeaderInfo& out);

    bool Open(CFileStreamRead& reader, DecodedLayout& out) override;
    int Read(uint8_t* destination, uint32_t& length) override;
    bool Seek(uint64_t offset) override;
    bool WrapTo(uint64_t offset) override;
    bool SetLoopEnd(uint32_t frame) override;
    uint64_t EndBytes() const override { return OutputEnd(); }
    uint32_t DataOffset() const override { return m_DataOffset; }

private:
    enum class Sample { Pcm, Int24, Int32, Float32 };
    // Seek through the reader's SeekNear when `inBlock`, else its Seek.
    bool SeekTo(uint64_t offset, bool inBlock);

    enum class Walk { Found, NotWave, NoFormat, NoData, PastEnd, Unreadable };
    // The format record as stored, and what it says.
    struct FormatRecord {
        uint8_t record[40] = {};
        uint32_t bytes = 0;  // of `record` read from the chunk
        uint16_t kind = 0;   // PCM or float (the sub-format of an extensible record), else 0
        uint16_t channels = 0;
        uint16_t bits = 0;
        uint32_t rate = 0;
    };
    // What the chunks besides format and data say about the music.
    struct Extras {
        FileLoopPoints loop;                                   // the first loop of a sampler chunk
        std::vector<std::pair<uint32_t, uint32_t>> cues;       // cue point id, frame
        std::vector<std::pair<uint32_t, std::string>> labels;  // cue point id, its label
        // The cue points with their labels, by frame.
        void MakeMarkers(std::vector<Marker>& out) const;
    };
    // The most of a sampler, cue or LIST chunk read.
    static constexpr uint64_t kExtrasBytes = 1u << 20;

    // Walks every chunk of the image from its start to its end, honouring pad bytes:
    // the first format chunk before the first data chunk, that data chunk, and the
    // extras anywhere. A chunk before the data that runs past the image end is kept in
    // m_Overrun.
    Walk WalkChunks(HeaderInfo& info, Extras& extras);
    // Reads chunk `id` into `extras` when it is a sampler, cue or LIST/adtl chunk; false
    // when its bytes cannot be read.
    bool ReadExtras(const uint8_t* id, uint64_t body, uint32_t size, Extras& extras);
    // Finds the format and data chunks, the file's loop and markers; false with a line.
    bool LocateChunks(HeaderInfo& info, DecodedLayout& out);
    // Reads and checks the format record; false with a line naming what cannot play.
    bool ReadFormat(const HeaderInfo& info, FormatRecord& out);
    // The conversion, the frame sizes and the format handed out.
    void SetUpOutput(const FormatRecord& record, ds::WAVEFORMATEX& format);
    bool ReadAt(uint32_t offset, uint8_t* destination, uint32_t length);
    int Produce(uint8_t* destination, uint32_t capacity, uint32_t& produced) override;
    uint64_t OutputEnd() const override;

    CFileStreamRead* m_Reader = nullptr;
    uint32_t m_DataOffset = 0;   // first PCM byte, from the image start
    uint32_t m_DataEnd = 0;      // end of the whole frames of the data chunk
    uint32_t m_SourceFrame = 0;  // bytes per frame in the file
    uint32_t m_OutputFrame = 0;  // bytes per frame handed out
    Sample m_Sample = Sample::Pcm;
    std::vector<uint8_t> m_Raw;  // file bytes read for conversion
    uint32_t m_RawCarry = 0;     // bytes of a partly read sample kept at the start of m_Raw
    char m_Overrun[5] = {};      // the identifier of a chunk that runs past the image end
    uint32_t m_OverrunSize = 0;  // and its declared size
};

}  // namespace sonaflux
