// The RIFF/WAVE stream reader: the PCM source of every stream.
//
// Open, SeekFrame, SetLoopStart, SetEndFrame and GetFormat run on the host's thread.
// Gets runs on the host's thread during the first fill and on the stream worker during
// refills, never on both at once. m_LoopCount (written by the host's thread) and
// m_DataPosition (read by the host's thread) cross threads without a lock; so may the
// loop start and the loop end when the host moves them during playback.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "sonaflux/directsound.h"
#include "source/file_reader.h"

namespace sonaflux {

class CWaveFileStream {
public:
    // Only the first bytes of an image are searched for the format and data chunks.
    static constexpr uint32_t kHeaderBytes = 127;

    // Where the chunk walk found the two chunks, as offsets from the image start.
    struct HeaderInfo {
        uint32_t formatBody = 0;
        uint32_t dataBody = 0;
        uint32_t dataSize = 0;
    };
    // Walks the chunks of `header` ("RIFF", size, "WAVE", then chunks without padding)
    // up to the first "data" chunk. The identifier "fmt" with any fourth byte is a
    // format chunk; a later one replaces an earlier one. Fails unless a format chunk
    // precedes the data chunk and the data chunk's header plus one byte lie inside
    // `length`.
    static bool FindDataChunk(const uint8_t* header, uint32_t length, HeaderInfo& out);

    CWaveFileStream() = default;
    // Reads the image through `file` (tests, the fuzzer); null keeps the disk file.
    explicit CWaveFileStream(std::unique_ptr<CReadOnlyFile> file);
    virtual ~CWaveFileStream() = default;
    CWaveFileStream(const CWaveFileStream&) = delete;
    CWaveFileStream& operator=(const CWaveFileStream&) = delete;

    // Opens the image [imageOffset, imageOffset + imageSize) of `name` and positions at
    // its first PCM byte. Resets the loop count to 1 when an image was open.
    bool Open(const char* name, uint32_t imageOffset, uint32_t imageSize);
    // Delivers exactly `size` bytes of PCM data, wrapping to the loop start while passes
    // remain. False at the end of the last pass and on the failures that Gets shows.
    // Whatever part of `destination` it could not fill holds silence; `delivered`, when
    // given, receives the number of data bytes placed before it. True with fewer bytes
    // delivered: a read failed, and the next call goes on from the first byte missed.
    // False also when the data can no longer be read at all (the reader's kGone).
    bool Gets(void* destination, int32_t size, uint32_t* delivered = nullptr);
    // Continues at sample frame `frame`; fails at or past the readable end.
    bool SeekFrame(uint32_t frame);
    // Where a wrap resumes, as a sample frame of the data. Not checked here.
    void SetLoopStart(uint32_t frame);
    // Ends the readable data at sample frame `frame` (a loop end); ends beyond the data
    // are taken as the end of the data. False when nothing is open or the end lies
    // beyond the image.
    bool SetEndFrame(uint32_t frame);
    bool GetFormat(ds::WAVEFORMATEX& out) const;

    // Bytes per sample frame: (bits per sample / 8) × channels.
    uint32_t FrameSize() const;
    uint32_t DataOffset() const { return m_DataOffset; }
    // The loop start as a data offset in bytes.
    uint32_t LoopStartBytes() const { return m_LoopStart.load(); }
    // The loop end (the end of the readable data) as a data offset in bytes.
    uint32_t LoopEndBytes() const { return m_Reader.ReadLimit() - m_DataOffset; }
    // The last read failed for good: the file shrank below the data or vanished.
    bool DataGone() const { return m_Reader.Gone(); }
    bool IsOpen() const { return m_IsOpen; }

    // Read and written directly by the stream engine.
    std::atomic<uint32_t> m_DataPosition{0};  // data offset of the byte after those delivered
    uint32_t m_DataSize = 0;                  // bytes of PCM data the image holds
    uint32_t m_FrameCount = 0;                // whole sample frames in the data
    std::atomic<int32_t> m_LoopCount{1};      // passes left: 1 last, 0 (or less) endless

private:
    // Consumes one pass for a wrap; false when the current pass is the last.
    bool TakePass();
    void FillSilence(uint8_t* destination, uint32_t bytes) const;

    CFileStreamRead m_Reader;
    ds::WAVEFORMATEX m_Format{};
    uint32_t m_DataOffset = 0;             // first PCM byte, from the image start
    std::atomic<uint32_t> m_LoopStart{0};  // bytes from the first PCM byte
    bool m_IsOpen = false;
};

}  // namespace sonaflux
