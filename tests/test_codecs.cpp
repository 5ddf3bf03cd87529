// The codec images (Ogg Vorbis, Ogg Opus, FLAC native and in Ogg): files encoded here with
// each library's own encoder, checked byte for byte against a decode made here with the
// library directly, at the source and through the software device's manual clock across
// every loop wrap; and the loop tags every codec shares.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/messages.h"
#include "config/module_settings.h"
#include "softds/softds.h"
#include "sound/sound_stream.h"
#include "source/loop_tags.h"
#include "source/music_source.h"
#include "support/codec_files.h"
#include "support/report_capture.h"
#include "support/test_files.h"
#include "support/wave_image.h"

namespace sonaflux {
namespace {

using test::Bytes;
using test::ReportCapture;
using test::TempFile;

Bytes Slice(const Bytes& b, size_t from, size_t to) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to));
}

// data[0, end), then data[loop, end) for every further pass, cut at `limit` bytes.
Bytes Looped(const Bytes& data, size_t end, size_t loop, int passes, size_t limit) {
    Bytes out = Slice(data, 0, end);
    for (int pass = 2; out.size() < limit && (passes <= 0 || pass <= passes); ++pass) {
        out.insert(out.end(), data.begin() + static_cast<long>(loop),
                   data.begin() + static_cast<long>(end));
    }
    if (out.size() > limit) out.resize(limit);
    return out;
}

// An Ogg file inside a larger one, as in an archive.
struct Archived {
    explicit Archived(const Bytes& ogg) : image(ogg), file(Wrap(ogg)) {}
    static Bytes Wrap(const Bytes& ogg) {
        Bytes b(777 + ogg.size() + 333, 0xDD);
        std::fill(b.begin(), b.begin() + 777, 0xEE);
        std::copy(ogg.begin(), ogg.end(), b.begin() + 777);
        return b;
    }
    bool Open(CMusicSource& s) {
        return s.Open(file.c_str(), 777, static_cast<uint32_t>(image.size()));
    }
    Bytes image;
    TempFile file;
};

enum class Codec { Vorbis, Opus, Flac16, Flac24, Flac8, OggFlac };

const char* NameOf(Codec c) {
    const char* names[] = {"Vorbis", "Opus", "FLAC 16", "FLAC 24", "FLAC 8", "Ogg FLAC"};
    return names[static_cast<int>(c)];
}

// A file and the PCM the module must hand out for it.
struct Encoded {
    Bytes file;
    Bytes pcm;
    uint16_t bits = 16;
    uint32_t rate = 0;
    bool opus = false;
    // Frames [start, end) as a loop wrap plays them: for Opus decoded after a seek there
    // (the decoder state after its pre-roll differs from the first pass's).
    Bytes Wrap(uint32_t start, uint32_t end, uint32_t frameSize) const {
        if (opus) return test::DecodeOpus(file, start, end);
        return Slice(pcm, size_t{start} * frameSize, size_t{end} * frameSize);
    }
};

// The first pass [0, end), then `wrap` for every further pass, cut at `limit` bytes.
Bytes Looped(const Bytes& first, const Bytes& wrap, int passes, size_t limit) {
    Bytes out = first;
    for (int pass = 2; out.size() < limit && (passes <= 0 || pass <= passes); ++pass) {
        out.insert(out.end(), wrap.begin(), wrap.end());
    }
    if (out.size() > limit) out.resize(limit);
    return out;
}

// FLAC samples as the buffer takes them: 8-bit ones unsigned as WAVE stores them, 24-bit
// ones rounded to nearest (halves up) and clamped to 16 bits.
Bytes FlacPcm(const std::vector<int32_t>& samples, uint16_t bits) {
    Bytes out;
    for (int32_t v : samples) {
        if (bits == 8) {
            out.push_back(static_cast<uint8_t>(v + 128));
        } else {
            const int64_t narrowed = bits == 24 ? (static_cast<int64_t>(v) + 128) >> 8 : v;
            test::PutLe16(out, static_cast<uint16_t>(std::clamp<int64_t>(narrowed, -32768, 32767)));
        }
    }
    return out;
}

Encoded Encode(Codec codec, uint16_t channels, uint32_t rate, uint32_t frames,
               const std::vector<std::string>& comments) {
    Encoded e;
    e.rate = rate;
    switch (codec) {
        case Codec::Vorbis:
            e.file = test::EncodeOggVorbis(channels, rate, frames, comments);
            e.pcm = test::DecodeOggVorbis(e.file);
            break;
        case Codec::Opus:
            e.file = test::EncodeOpus(channels, rate, frames, comments);
            e.pcm = test::DecodeOpus(e.file);
            e.rate = 48000;
            e.opus = true;
            break;
        default: {
            const bool ogg = codec == Codec::OggFlac;
            e.bits = codec == Codec::Flac24 ? 24 : codec == Codec::Flac8 ? 8 : 16;
            e.file = test::EncodeFlac(channels, rate, e.bits, frames, comments, ogg);
            e.pcm = FlacPcm(test::DecodeFlac(e.file, ogg), e.bits);
            e.bits = e.bits == 8 ? 8 : 16;
        }
    }
    return e;
}

struct CodecCase {
    Codec codec;
    uint16_t channels;
    uint32_t rate;
    std::vector<std::string> comments;
    uint32_t loopStart, loopEnd;  // expected; loopEnd 0: the end of the data
};

class CodecSource : public ::testing::Test {
protected:
    void SetUp() override { Settings().ResetToDefaults(); }
    void TearDown() override { Settings().ResetToDefaults(); }
};

template <typename... Args>
std::string Line(const char* format, Args... args) {
    char text[512];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

struct TagCase {
    std::vector<std::string> comments;
    bool present;
    uint32_t start, end;
    std::string line;  // the refusal expected, "" for none
};

// Every spelling, in any case, for a piece of 1000 frames; the end is exclusive for all.
TEST(LoopTags, EverySpellingIsReadAndEveryImpossibleValueRefusedWithItsReason) {
    const char* f = "tune.ogg";
    const TagCase cases[] = {
        {{"TITLE=x", "LOOPSTART=10", "LOOPLENGTH=90"}, true, 10, 100, ""},
        {{"loopstart=10", "LoopEnd=100"}, true, 10, 100, ""},
        {{"LOOP_START=10", "loop_end=100"}, true, 10, 100, ""},
        {{"LOOPSTART= 44 ", "LOOPEND=\t1000"}, true, 44, 1000, ""},
        {{"LOOPSTART=5"}, true, 5, 1000, ""},
        {{"LOOPSTART=0", "LOOPLENGTH=1000"}, true, 0, 1000, ""},
        // Agreeing duplicates and spellings are one tag.
        {{"LOOPSTART=7", "LOOP_START=7", "LOOPEND=20", "LOOPLENGTH=13"}, true, 7, 20, ""},
        {{"TITLE=LOOPSTART=5", "COMMENT"}, false, 0, 0, ""},
        {{"LOOPSTART=1e3"}, false, 0, 0, Line(msg::kLoopTagNotNumber, f, "LOOPSTART", "1e3")},
        {{"LOOPSTART=100abc"}, false, 0, 0, Line(msg::kLoopTagNotNumber, f, "LOOPSTART", "100abc")},
        {{"LOOPSTART="}, false, 0, 0, Line(msg::kLoopTagNotNumber, f, "LOOPSTART", "")},
        {{"LOOPSTART=+5"}, false, 0, 0, Line(msg::kLoopTagNotNumber, f, "LOOPSTART", "+5")},
        {{"LOOPSTART=-5"}, false, 0, 0, Line(msg::kLoopTagNegative, f, "LOOPSTART", "-5")},
        // 2^32 + 100 is out of range, never frame 100.
        {{"LOOPSTART=4294967396"},
         false,
         0,
         0,
         Line(msg::kLoopTagOutOfRange, f, "LOOPSTART", "4294967396", 1000u)},
        {{"LOOPSTART=1", "LOOPEND=99999999999999999999999"},
         false,
         0,
         0,
         Line(msg::kLoopTagOutOfRange, f, "LOOPEND", "99999999999999999999999", 1000u)},
        {{"LOOPSTART=1000"},
         false,
         0,
         0,
         Line(msg::kLoopTagOutOfRange, f, "LOOPSTART", "1000", 1000u)},
        {{"LOOPSTART=5", "LOOPLENGTH=996"},
         false,
         0,
         0,
         Line(msg::kLoopTagOutOfRange, f, "LOOPLENGTH", "996", 1000u)},
        {{"LOOPSTART=5", "LOOP_END=1001"},
         false,
         0,
         0,
         Line(msg::kLoopTagOutOfRange, f, "LOOP_END", "1001", 1000u)},
        {{"LOOPSTART=50", "LOOPEND=50"}, false, 0, 0, Line(msg::kLoopTagOrder, f, 50u, 50u)},
        {{"LOOPSTART=50", "LOOPLENGTH=0"}, false, 0, 0, Line(msg::kLoopTagOrder, f, 50u, 50u)},
        {{"LOOPSTART=5", "LOOPSTART=6"},
         false,
         0,
         0,
         Line(msg::kLoopTagConflict, f, "LOOPSTART", "LOOPSTART")},
        {{"LOOPSTART=5", "loop_start=6"},
         false,
         0,
         0,
         Line(msg::kLoopTagConflict, f, "LOOPSTART", "loop_start")},
        {{"LOOPSTART=5", "LOOPLENGTH=10", "LOOPEND=16"},
         false,
         0,
         0,
         Line(msg::kLoopTagConflict, f, "LOOPLENGTH", "LOOPEND")},
        {{"LOOPEND=500"}, false, 0, 0, Line(msg::kLoopTagNoStart, f, "LOOPEND")},
    };
    for (const TagCase& c : cases) {
        const std::string name = c.comments.back();
        ReportCapture reports;
        const FileLoopPoints loop = ReadLoopTags(c.comments, 1000, f);
        EXPECT_EQ(loop.present, c.present) << name;
        EXPECT_EQ(loop.start, c.start) << name;
        EXPECT_EQ(loop.end, c.end) << name;
        const auto lines = reports.DebugLines();
        if (c.line.empty()) {
            EXPECT_TRUE(lines.empty()) << name;
        } else {
            ASSERT_EQ(lines.size(), 1u) << name;
            EXPECT_EQ(lines[0], c.line) << name;
        }
    }
}

TEST_F(CodecSource, EveryLayoutDecodesAndLoopsExactlyAsTheDecoderItself) {
    const CodecCase cases[] = {
        {Codec::Vorbis, 2, 44100, {}, 0, 0},
        {Codec::Vorbis, 1, 44100, {"LOOPSTART=12345", "LOOPLENGTH=20000"}, 12345, 32345},
        {Codec::Vorbis, 2, 48000, {"loopstart=7001", "LOOPEND=40000"}, 7001, 40000},
        {Codec::Vorbis, 1, 48000, {"LOOPSTART=100"}, 100, 0},
        {Codec::Vorbis, 2, 44100, {"Loop_Start=300", "LOOP_END=30001"}, 300, 30001},
        // Loop points past the data, or that wrap past 32 bits, are not used (a debugger
        // line says so).
        {Codec::Vorbis, 2, 44100, {"LOOPSTART=5", "LOOPLENGTH=999999"}, 0, 0},
        {Codec::Vorbis, 1, 44100, {"LOOPSTART=4294967396", "LOOPEND=20000"}, 0, 0},
        // Opus: 48 kHz whatever the input rate, the tags in 48 kHz frames.
        {Codec::Opus, 2, 48000, {}, 0, 0},
        {Codec::Opus, 1, 44100, {"LOOPSTART=12345", "LOOPLENGTH=20000"}, 12345, 32345},
        {Codec::Opus, 2, 48000, {"LOOP_START=7001", "loop_end=40000"}, 7001, 40000},
        {Codec::Opus, 1, 48000, {"LOOPSTART=5", "LOOPEND=60000"}, 0, 0},
        // FLAC of every depth, native and in Ogg.
        {Codec::Flac16, 2, 44100, {"LOOPSTART=12345", "LOOPEND=40000"}, 12345, 40000},
        {Codec::Flac16, 1, 48000, {}, 0, 0},
        {Codec::Flac24, 1, 48000, {"LOOPSTART=100"}, 100, 0},
        {Codec::Flac24, 2, 44100, {"LoopStart=300", "LoopLength=20000"}, 300, 20300},
        {Codec::Flac8, 2, 44100, {"LOOPSTART=1", "LOOPEND=49999"}, 1, 49999},
        {Codec::OggFlac, 1, 44100, {"LOOP_START=5", "LOOP_END=50000"}, 5, 50000},
        {Codec::OggFlac, 2, 48000, {"LOOPSTART=-5"}, 0, 0},
    };
    for (const CodecCase& c : cases) {
        const std::string name = std::string(NameOf(c.codec)) + " " + std::to_string(c.channels) +
                                 "ch " + std::to_string(c.rate);
        const Encoded e = Encode(c.codec, c.channels, c.rate, 50000, c.comments);
        Archived a(e.file);
        const Bytes& ref = e.pcm;
        const uint32_t fs = c.channels * e.bits / 8u;
        ASSERT_EQ(ref.size() % fs, 0u) << name;
        CMusicSource s;
        ReportCapture reports;
        ASSERT_TRUE(a.Open(s)) << name;
        ds::WAVEFORMATEX f{};
        ASSERT_TRUE(s.GetFormat(f));
        EXPECT_EQ(f.wFormatTag, ds::WAVE_FORMAT_PCM) << name;
        EXPECT_EQ(f.nChannels, c.channels) << name;
        EXPECT_EQ(f.nSamplesPerSec, e.rate) << name;
        EXPECT_EQ(f.wBitsPerSample, e.bits) << name;
        EXPECT_EQ(f.nBlockAlign, fs) << name;
        EXPECT_EQ(s.m_FrameCount, ref.size() / fs) << name;
        EXPECT_EQ(s.m_DataSize, ref.size()) << name;
        EXPECT_EQ(reports.DebugLines().size(), !c.comments.empty() && c.loopStart == 0 ? 1u : 0u)
            << name;
        const size_t end = c.loopEnd ? c.loopEnd * fs : ref.size();
        EXPECT_EQ(s.LoopStartBytes(), c.loopStart * fs) << name;

        s.m_PassesLeft = 4;
        const uint32_t endFrame = static_cast<uint32_t>(end / fs);
        const Bytes want =
            Looped(Slice(ref, 0, end), e.Wrap(c.loopStart, endFrame, fs), 4, 1u << 22);
        Bytes got;
        const int32_t requests[] = {3001, 44100, 7, 65536};  // sizes that cut frames
        for (size_t i = 0; got.size() <= want.size(); ++i) {
            const int32_t request = requests[i % 4];
            Bytes part(static_cast<size_t>(request), 0xAA);
            uint32_t delivered = 0;
            const bool more = s.Gets(part.data(), request, &delivered);
            got.insert(got.end(), part.begin(), part.begin() + delivered);
            if (!more) break;
        }
        EXPECT_TRUE(got == want) << name << ": " << got.size() << " of " << want.size();
    }
}

TEST_F(CodecSource, SeeksAreSampleExactAndTheHostsLoopPointsOverrideTheFiles) {
    Archived a(test::EncodeOggVorbis(2, 44100, 60000, {"LOOPSTART=30000", "LOOPLENGTH=10000"}));
    const Bytes ref = test::DecodeOggVorbis(a.image);
    CMusicSource s;
    ASSERT_TRUE(a.Open(s));
    for (uint32_t frame : {0u, 1u, 1023u, 29999u, 39990u, 17777u}) {
        ASSERT_TRUE(s.SeekFrame(frame)) << frame;
        EXPECT_EQ(s.m_DataPosition.load(), frame * 4) << frame;
        Bytes got(40, 0);
        ASSERT_TRUE(s.Gets(got.data(), 40)) << frame;
        EXPECT_EQ(got, Slice(ref, frame * 4u, frame * 4u + 40)) << frame;
    }
    ReportCapture reports;
    EXPECT_FALSE(s.SeekFrame(40000));  // the file's loop end ends the readable data
    EXPECT_EQ(reports.CountDebug(msg::kSeekReadFailed), 1);
    // The host's own points: the whole piece, looping from frame 5.
    s.SetLoopStart(5);
    ASSERT_TRUE(s.SetLoopEnd(s.m_FrameCount));
    ASSERT_TRUE(s.SeekFrame(0));
    s.m_PassesLeft = 2;
    Bytes got(ref.size() * 2, 0xAA);
    uint32_t delivered = 0;
    EXPECT_FALSE(s.Gets(got.data(), static_cast<int32_t>(got.size()), &delivered));
    got.resize(delivered);
    const Bytes want = Looped(ref, ref.size(), 20, 2, ref.size() * 2);
    ASSERT_EQ(got.size(), want.size());
    size_t first = 0;
    while (first < got.size() && got[first] == want[first]) ++first;
    EXPECT_EQ(first, got.size()) << "first difference, of " << ref.size();
}

TEST_F(CodecSource, DamagedStreamsGiveALineAndSilenceNeverACrash) {
    const Bytes good = test::EncodeOggVorbis(2, 44100, 30000);
    Bytes cut = good;
    cut.resize(good.size() / 2);
    Bytes holed = good;
    for (size_t i = holed.size() / 3; i < holed.size() / 3 + 300; ++i) holed[i] ^= 0x5A;
    const Bytes damages[] = {cut, holed, Bytes(good.begin(), good.begin() + 60),
                             Bytes{'O', 'g', 'g', 'S', 1, 2, 3}};
    for (const Bytes& damaged : damages) {
        // The module opens what libvorbisfile itself opens, and refuses the rest with one
        // debugger line.
        bool decodable = true;
        try {
            test::DecodeOggVorbis(damaged);
        } catch (const std::exception&) {
            decodable = false;
        }
        const std::string name = std::to_string(damaged.size()) + " bytes";
        Archived a(damaged);
        CMusicSource s;
        ReportCapture reports;
        ASSERT_EQ(a.Open(s), decodable) << name;
        if (!decodable) {
            ASSERT_EQ(reports.DebugLines().size(), 1u) << name;
            continue;
        }
        s.m_PassesLeft = 2;
        // Everything the stream hands out is silence or the decoder's own output, and it
        // comes to an end.
        Bytes got(8192);
        int calls = 0;
        while (s.Gets(got.data(), 8192) && ++calls < 1000) {
        }
        EXPECT_LT(calls, 1000) << name;
    }
    // A file that is neither kind.
    Archived other(Bytes(200, 'x'));
    CMusicSource s;
    ReportCapture reports;
    EXPECT_FALSE(other.Open(s));
    EXPECT_EQ(reports.CountDebug(msg::kUnknownImage), 1);
}

// The signature decides (the module never sees an extension), and a kind the module does
// not play is named in the refusal rather than blamed on the WAVE reader.
TEST_F(CodecSource, UnsupportedKindsAreNamedAndCodecsFoundByTheirSignature) {
    auto image = [](std::string head) {
        Bytes b(head.begin(), head.end());
        b.resize(400, 0x11);
        return b;
    };
    Bytes oggSpeex = test::EncodeOggVorbis(1, 44100, 100);
    const char speex[] = "Speex   ";
    std::copy(speex, speex + 8, oggSpeex.begin() + 27 + oggSpeex[26]);
    const std::pair<Bytes, const char*> refused[] = {
        {image("ID3\x04"), "MP3"},
        {image("\xFF\xFB\x90\x00"), "MP3"},
        {image("\xFF\xF1\x50\x80"), "AAC (ADTS)"},
        {image(std::string("FORM\0\0\1\0AIFF", 12)), "AIFF"},
        {image("MThd"), "MIDI"},
        {image(std::string("\0\0\0\x20"
                           "ftypM4A ",
                           12)),
         "MP4/M4A"},
        {oggSpeex, "Ogg Speex"},
    };
    for (const auto& [bytes, kind] : refused) {
        Archived a(bytes);
        CMusicSource s;
        ReportCapture reports;
        EXPECT_FALSE(a.Open(s)) << kind;
        EXPECT_EQ(reports.DebugLines(),
                  std::vector<std::string>{Line(msg::kUnsupportedKind, kind)});
    }
    // A FLAC file named .wav plays as FLAC; the WAVE-only source refuses it.
    const Encoded flac = Encode(Codec::Flac16, 1, 44100, 3000, {});
    TempFile named(flac.file, "tune.wav");
    CMusicSource s;
    ASSERT_TRUE(s.Open(named.c_str(), 0, static_cast<uint32_t>(flac.file.size())));
    EXPECT_EQ(s.m_FrameCount, 3000u);
    CMusicSource waveOnly(nullptr, CMusicSource::Kinds::WaveOnly);
    ReportCapture reports;
    EXPECT_FALSE(waveOnly.Open(named.c_str(), 0, static_cast<uint32_t>(flac.file.size())));
    EXPECT_EQ(reports.CountDebug(msg::kUnknownImage), 1);
}

// A disk file rewritten in place while it plays: once `rewritten` is set, reads return the
// bytes of another file of the same size.
class RewrittenFile : public CReadOnlyFile {
public:
    RewrittenFile(const Bytes& other, const bool& rewritten)
        : m_Other(other), m_Rewritten(rewritten) {}
    bool Read(void* buffer, uint32_t count) override {
        if (!m_Rewritten) return CReadOnlyFile::Read(buffer, count);
        if (m_Position + uint64_t{count} > m_Other.size()) return false;
        std::copy_n(m_Other.begin() + m_Position, count, static_cast<uint8_t*>(buffer));
        m_Position += count;
        return true;
    }

private:
    const Bytes& m_Other;
    const bool& m_Rewritten;
};

// Another file of the same size in place of the one playing: the music stops, and a line
// says why, for every codec (it ended silently mid-piece before).
TEST_F(CodecSource, AFileRewrittenWhilePlayingStopsWithALineSayingSo) {
    Settings().STREAM_BUFFER_SIZE = 1024;  // later reads come from the disk, not the block
    for (Codec codec : {Codec::Vorbis, Codec::Opus, Codec::Flac16, Codec::OggFlac}) {
        const Encoded playing = Encode(codec, 2, 48000, 60000, {});
        Bytes other = Encode(codec, 1, 44100, 90000, {}).file;
        other.resize(playing.file.size(), 0);
        TempFile file(playing.file, "music");
        bool rewritten = false;
        CMusicSource s(std::make_unique<RewrittenFile>(other, rewritten));
        ReportCapture reports;
        ASSERT_TRUE(s.Open(file.c_str(), 0, static_cast<uint32_t>(playing.file.size())));
        Bytes got(40000);
        ASSERT_TRUE(s.Gets(got.data(), 4000)) << NameOf(codec);
        rewritten = true;
        int calls = 0;
        while (s.Gets(got.data(), 40000) && ++calls < 100) {
        }
        EXPECT_LT(calls, 100) << NameOf(codec);
        EXPECT_LT(s.m_DataPosition.load(), s.m_DataSize) << NameOf(codec);
        EXPECT_FALSE(reports.DebugLines().empty()) << NameOf(codec);
    }
}

// Headers without music: refused for that reason, not opened as a piece of no frames.
TEST_F(CodecSource, AStreamWithoutSamplesIsRefusedAsNoAudio) {
    Archived a(test::EncodeOggVorbis(2, 44100, 0, {"LOOPSTART=0"}));
    CMusicSource s;
    ReportCapture reports;
    EXPECT_FALSE(a.Open(s));
    EXPECT_EQ(reports.DebugLines(), std::vector<std::string>{msg::kNoAudio});
}

// ---------------------------------------------------------------------------------------

class CodecStream : public ::testing::Test {
protected:
    void SetUp() override {
        Settings().ResetToDefaults();
        Settings().NOTIFY_MAX = 8;
        Settings().RING_BUFFER_BLOCK_SIZE = 8192;
        Settings().STREAM_BUFFER_SIZE = 5000;  // reader blocks that align with nothing
        softds::DeviceOptions options;
        options.outputRate = 48000;
        device = softds::Device::Create(options);
    }
    void TearDown() override {
        stream.reset();
        if (device) device->Release();
        Settings().ResetToDefaults();
    }
    softds::Device* device = nullptr;
    std::unique_ptr<SoundStream> stream;
};

// Each codec's seam, five wraps on the manual clock: mono and stereo, 44.1 and 48 kHz,
// with the loop from the file's tags or from the host.
TEST_F(CodecStream, TheBufferPlaysTheDecodersOwnOutputAcrossEveryWrap) {
    struct SeamCase {
        Codec codec;
        uint16_t channels;
        uint32_t rate;
        bool tagged;
    };
    const SeamCase cases[] = {
        {Codec::Vorbis, 1, 48000, true},  {Codec::Vorbis, 2, 48000, true},
        {Codec::Opus, 1, 48000, true},    {Codec::Opus, 2, 44100, false},
        {Codec::Flac16, 2, 44100, true},  {Codec::Flac24, 1, 48000, false},
        {Codec::OggFlac, 2, 48000, true}, {Codec::Flac8, 1, 44100, true},
    };
    const uint32_t loopStart = 9000, loopLength = 21111;
    for (const SeamCase& c : cases) {
        const std::string name = std::string(NameOf(c.codec)) + " " + std::to_string(c.channels) +
                                 "ch " + std::to_string(c.rate);
        std::vector<std::string> tags;
        if (c.tagged) tags = {"LOOPSTART=9000", "LOOPLENGTH=21111"};
        const Encoded e = Encode(c.codec, c.channels, c.rate, 40000, tags);
        const uint32_t fs = c.channels * e.bits / 8u;
        TempFile file(e.file, "music");
        stream = std::make_unique<SoundStream>();
        ASSERT_TRUE(stream->Load(device->Interface(), file.c_str(), 0,
                                 static_cast<uint32_t>(e.file.size())))
            << name;
        auto record = device->Buffer(device->BufferCount() - 1);
        EXPECT_EQ(record->Format().wBitsPerSample, e.bits) << name;
        EXPECT_EQ(record->Format().nChannels, c.channels) << name;
        EXPECT_EQ(record->Format().nSamplesPerSec, e.rate) << name;
        if (!c.tagged) {
            ASSERT_TRUE(stream->SetLoopStart(loopStart)) << name;
            ASSERT_TRUE(stream->SetLoopEnd(loopStart + loopLength)) << name;
        }
        ASSERT_TRUE(stream->Play(0)) << name;
        // Five wraps of the loop, in steps that cut segments anywhere.
        const size_t wanted = (loopStart + 5 * loopLength + 1234) * size_t{fs};
        while (record->Played().size() < wanted) ASSERT_TRUE(device->Advance(997)) << name;
        const Bytes played = record->Played();
        const Bytes want = Looped(Slice(e.pcm, 0, (loopStart + loopLength) * fs),
                                  e.Wrap(loopStart, loopStart + loopLength, fs), 0, played.size());
        ASSERT_EQ(played.size(), want.size()) << name;
        EXPECT_TRUE(played == want) << name;
        EXPECT_EQ(record->Underruns(), 0u) << name;
        uint32_t position = 0;
        ASSERT_TRUE(stream->GetPosition(position)) << name;
        const uint32_t playedFrames = static_cast<uint32_t>(played.size() / fs);
        EXPECT_EQ(position, loopStart + (playedFrames - loopStart) % loopLength) << name;
        EXPECT_EQ(stream->Source().m_FrameCount, e.pcm.size() / fs) << name;
        stream.reset();
    }
}

TEST_F(CodecStream, OnePassWithAPauseEndsWithTheLastFrameThenSilenceAndStops) {
    const Bytes ogg = test::EncodeOggVorbis(2, 48000, 30000);  // no loop comments
    const Bytes ref = test::DecodeOggVorbis(ogg);
    TempFile file(ogg, "ogg");
    stream = std::make_unique<SoundStream>();
    ASSERT_TRUE(
        stream->Load(device->Interface(), file.c_str(), 0, static_cast<uint32_t>(ogg.size())));
    auto record = device->Buffer(device->BufferCount() - 1);
    ASSERT_TRUE(stream->Play(1));
    ASSERT_TRUE(device->Advance(10000));
    ASSERT_TRUE(stream->Buffer().StopGuarded());  // a pause: the ring keeps its place
    ASSERT_TRUE(device->Advance(5000));
    ASSERT_TRUE(stream->Buffer().Resume());
    for (int i = 0; i < 100 && stream->Buffer().IsPlaying(); ++i) {
        ASSERT_TRUE(device->Advance(1000));
    }
    EXPECT_FALSE(stream->Buffer().IsPlaying());
    const Bytes played = record->Played();
    ASSERT_GE(played.size(), ref.size());
    EXPECT_TRUE(Slice(played, 0, ref.size()) == ref);
    for (size_t i = ref.size(); i < played.size(); ++i) ASSERT_EQ(played[i], 0) << i;
    EXPECT_EQ(record->Underruns(), 0u);
}

}  // namespace
}  // namespace sonaflux
