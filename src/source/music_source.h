// The source a stream pulls its PCM from: one music image (a RIFF/WAVE image or an Ogg
// Vorbis stream) in a byte range of a file, handed out as 16-bit or 8-bit PCM with looping.
//
// CMusicSource holds what every kind shares (the file reader, the passes left, the loop
// start, the data position and the wrap) and a decoder for the kind of image it found.
//
// Open, SeekFrame, SetLoopStart, SetLoopEnd and GetFormat run on the host's thread.
// Gets runs on the host's thread during the first fill and on the stream worker during
// refills, never on both at once. m_PassesLeft (written by the host's thread) and
// m_DataPosition (read by the host's thread) cross threads without a lock; so may the
// loop start and the loop end when the host moves them during playback.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sonaflux/directsound.h"
#include "source/file_reader.h"

namespace sonaflux {

// Loop points a file carries, in sample frames: every pass after the first starts at
// `start`, every pass ends before `end`.
struct FileLoopPoints {
    bool present = false;
    uint32_t start = 0;
    uint32_t end = 0;
};

// A named place in the music: a WAVE cue point (its label from LIST/adtl), or a chapter
// of the Vorbis comments (CHAPTERnnn, CHAPTERnnnNAME).
struct Marker {
    uint32_t frame = 0;
    std::string label;
};

// The sample rates a sound buffer takes (DirectSound's DSBFREQUENCY_MIN and _MAX); music
// at any other rate is refused when it opens.
inline constexpr uint32_t kMinSampleRate = 100;
inline constexpr uint32_t kMaxSampleRate = 200000;

// The samples as the file stores them (before any conversion to the buffer's format).
struct StoredFormat {
    uint32_t rate = 0;
    uint16_t channels = 0;
    uint16_t bits = 0;  // 0 for a codec that stores no fixed sample size (Vorbis, Opus)
    bool isFloat = false;
};

// What a decoder tells its source after opening an image.
struct DecodedLayout {
    const char* container = "";  // "RIFF/WAVE", "Ogg", "FLAC"
    const char* codec = "";      // "PCM", "IEEE float", "Vorbis", "Opus", "FLAC"
    ds::WAVEFORMATEX format{};   // the format handed out (what GetFormat reports)
    StoredFormat stored;
    std::vector<Marker> markers;  // by frame, inside the data
    uint32_t frames = 0;          // whole sample frames of the data
    FileLoopPoints loop;          // loop points stored in the file (WAVE's sampler chunk)
    // The comments ("KEY=value") of a codec that carries them; the loop tags among them
    // (source/loop_tags.h) become `loop` when the source opens.
    std::vector<std::string> comments;
    bool loopAlwaysOn = false;  // they apply whatever FILE_LOOP_POINTS says
};

// What the source read from the open image, for hosts (MusicSourceInfo).
struct SourceDescription {
    const char* container = "";  // "" while nothing is open
    const char* codec = "";
    StoredFormat stored;
    FileLoopPoints loop;       // the loop stored in the file (present only when readable)
    bool loopApplied = false;  // it became the loop at open
    std::vector<Marker> markers;
};

// One kind of image. Offsets and counts are in bytes of the PCM handed out (frames of
// the reported format), counted from the first frame of the data.
class CPcmDecoder {
public:
    virtual ~CPcmDecoder() = default;
    // Parses the image the reader has open (its unit) and positions at frame 0. False,
    // with a debugger line saying why, when the image cannot be played.
    virtual bool Open(CFileStreamRead& reader, DecodedLayout& out) = 0;
    // Copies up to `length` bytes, never past the readable end, with the answers of
    // CFileStreamRead::Read: kDone, kFailed (a read or decode failure: the bytes not
    // delivered are retried by the next call), kGone (the file can no longer be read) or
    // kNoMoreData; `length` then holds the
    // bytes delivered.
    virtual int Read(uint8_t* destination, uint32_t& length) = 0;
    // Continues at `offset`; refused (with the reader's debugger line) at or past the
    // readable end.
    virtual bool Seek(uint64_t offset) = 0;
    // Seek for the wrap of a short loop (music_source.cpp, kShortLoopBytes). A kind may go
    // round a loop that lies in the bytes it read last without reading them again: a loop
    // of a few frames wraps thousands of times in one refill.
    virtual bool WrapTo(uint64_t offset) { return Seek(offset); }
    // Ends the readable data at `frame` (at most the data's end). False where the
    // kind refuses the end (see CMusicSource::SetLoopEnd).
    virtual bool SetLoopEnd(uint32_t frame) = 0;
    // The end of the readable data (the loop end), in bytes handed out.
    virtual uint64_t EndBytes() const = 0;
    // The first data byte's offset in the image (WAVE); 0 where that means nothing.
    virtual uint32_t DataOffset() const { return 0; }
};

// What a codec decoder answers when its library ends the stream at frame `at` of the
// `frames` its headers promised: the end of the data (kNoMoreData), or before it a file
// that no longer holds what it held at open (rewritten in place, or damaged past its
// headers): a debugger line saying so and kGone, which stops the music as a file that
// shrank does.
int EndOfStream(uint64_t at, uint32_t frames);

class CMusicSource {
public:
    // The kinds of image Open accepts.
    enum class Kinds { WaveOnly, Any };

    // Reads the image through `file` (tests, the fuzzer); null keeps the disk file.
    explicit CMusicSource(std::unique_ptr<CReadOnlyFile> file = nullptr, Kinds kinds = Kinds::Any);
    virtual ~CMusicSource();
    CMusicSource(const CMusicSource&) = delete;
    CMusicSource& operator=(const CMusicSource&) = delete;

    // Opens the image [imageOffset, imageOffset + imageSize) of `name`, tells its kind by
    // its signature ("RIFF" or "OggS") and positions at its first frame. Resets the passes
    // left to 1 when an image was open. Loop points stored in the file become the loop
    // start and end (Ogg Vorbis always, WAVE when FILE_LOOP_POINTS is on).
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
    // are taken as the end of the data. False when nothing is open or (WAVE) the end lies
    // beyond the image.
    bool SetLoopEnd(uint32_t frame);
    // The format handed out: the file's own record for 8/16-bit PCM, a 16-bit PCM record
    // for what is converted or decoded.
    bool GetFormat(ds::WAVEFORMATEX& out) const;

    // Bytes per sample frame of the PCM handed out: (bits per sample / 8) × channels.
    uint32_t FrameSize() const;
    // The first data byte's offset in the image (WAVE).
    uint32_t DataOffset() const { return m_Decoder ? m_Decoder->DataOffset() : 0; }
    // The loop start as a data offset in bytes.
    uint32_t LoopStartBytes() const { return m_LoopStart.load(); }
    // The loop end (the end of the readable data) as a data offset in bytes.
    uint32_t LoopEndBytes() const;
    // The last read failed for good: the file shrank below the data or vanished.
    bool DataGone() const;
    bool IsOpen() const { return m_IsOpen; }
    // The loop points the file carries, whether or not they were applied.
    const FileLoopPoints& StoredLoopPoints() const { return m_Description.loop; }
    // What was read from the open image; empty while none is open.
    const SourceDescription& Description() const { return m_Description; }

    // Read and written directly by the stream engine.
    std::atomic<uint32_t> m_DataPosition{0};  // data offset of the byte after those delivered
    uint32_t m_DataSize = 0;                  // bytes of PCM the data holds (whole frames)
    uint32_t m_FrameCount = 0;                // whole sample frames in the data
    std::atomic<int32_t> m_PassesLeft{1};     // passes left: 1 last, 0 (or less) endless

private:
    // Opens the reader and the decoder for the image; false (a line says why) when it
    // cannot be played.
    bool OpenDecoder(const char* name, uint32_t imageOffset, uint32_t imageSize,
                     DecodedLayout& layout);
    // Reads the loop tags and markers, applies the file's loop, fills m_Description.
    void Describe(DecodedLayout& layout, const char* name);
    // The decoder for the kind the image's signature tells; null, with a line, for an
    // image of no kind the source plays.
    std::unique_ptr<CPcmDecoder> MakeDecoder();
    // From the end of the readable data (`done` bytes of `want` delivered): wraps to the
    // loop start while passes remain, as often as the request needs. Answers as Gets.
    bool ReadAcrossWraps(uint8_t* out, uint32_t want, uint32_t& done);
    // Positions at the loop start, retrying; a box when it cannot.
    void SeekLoopStart(uint32_t loopStart);
    enum class WrapRead { Filled, EndedAgain, Failed };
    // Reads from the loop start on: the request filled, the loop region ended again inside
    // it, or reads kept failing (a box, silence for the rest).
    WrapRead ReadAfterWrap(uint8_t* out, uint32_t want, uint32_t& done, uint32_t loopStart);
    // Consumes one pass for a wrap; false when the current pass is the last.
    bool TakePass();
    void FillSilence(uint8_t* destination, uint32_t bytes) const;

    CFileStreamRead m_Reader;
    std::unique_ptr<CPcmDecoder> m_Decoder;
    Kinds m_Kinds;
    ds::WAVEFORMATEX m_Format{};
    SourceDescription m_Description;
    std::atomic<uint32_t> m_LoopStart{0};  // bytes from the first PCM byte
    bool m_IsOpen = false;
};

}  // namespace sonaflux
