// Ogg Vorbis images: files encoded here with libvorbisenc, checked byte for byte against a
// decode made here with libvorbisfile directly, at the source and through the software
// device's manual clock across every loop wrap.
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
#include "source/stream_source.h"
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
    bool Open(CStreamSource& s) {
        return s.Open(file.c_str(), 777, static_cast<uint32_t>(image.size()));
    }
    Bytes image;
    TempFile file;
};

struct VorbisCase {
    uint16_t channels;
    uint32_t rate;
    std::vector<std::string> comments;
    uint32_t loopStart, loopEnd;  // expected; loopEnd 0: the end of the data
};

class VorbisSource : public ::testing::Test {
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

TEST_F(VorbisSource, EveryLayoutDecodesAndLoopsExactlyAsTheDecoderItself) {
    const VorbisCase cases[] = {
        {2, 44100, {}, 0, 0},
        {1, 44100, {"LOOPSTART=12345", "LOOPLENGTH=20000"}, 12345, 32345},
        {2, 48000, {"loopstart=7001", "LOOPEND=40000"}, 7001, 40000},
        {1, 48000, {"LOOPSTART=100"}, 100, 0},
        {2, 44100, {"Loop_Start=300", "LOOP_END=30001"}, 300, 30001},
        // Loop points past the data, or that wrap past 32 bits, are not used (a debugger
        // line says so).
        {2, 44100, {"LOOPSTART=5", "LOOPLENGTH=999999"}, 0, 0},
        {1, 44100, {"LOOPSTART=4294967396", "LOOPEND=20000"}, 0, 0},
    };
    for (const VorbisCase& c : cases) {
        const std::string name = std::to_string(c.channels) + "ch " + std::to_string(c.rate);
        Archived a(test::EncodeOggVorbis(c.channels, c.rate, 50000, c.comments));
        const Bytes ref = test::DecodeOggVorbis(a.image);
        const uint32_t fs = c.channels * 2u;
        ASSERT_EQ(ref.size() % fs, 0u) << name;
        CStreamSource s;
        ReportCapture reports;
        ASSERT_TRUE(a.Open(s)) << name;
        ds::WAVEFORMATEX f{};
        ASSERT_TRUE(s.GetFormat(f));
        EXPECT_EQ(f.wFormatTag, ds::WAVE_FORMAT_PCM) << name;
        EXPECT_EQ(f.nChannels, c.channels) << name;
        EXPECT_EQ(f.nSamplesPerSec, c.rate) << name;
        EXPECT_EQ(f.wBitsPerSample, 16) << name;
        EXPECT_EQ(f.nBlockAlign, fs) << name;
        EXPECT_EQ(s.m_FrameCount, ref.size() / fs) << name;
        EXPECT_EQ(s.m_DataSize, ref.size()) << name;
        EXPECT_EQ(reports.DebugLines().size(), !c.comments.empty() && c.loopStart == 0 ? 1u : 0u)
            << name;
        const size_t end = c.loopEnd ? c.loopEnd * fs : ref.size();
        EXPECT_EQ(s.LoopStartBytes(), c.loopStart * fs) << name;

        s.m_LoopCount = 4;
        const Bytes want = Looped(ref, end, c.loopStart * fs, 4, 1u << 22);
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

TEST_F(VorbisSource, SeeksAreSampleExactAndTheHostsLoopPointsOverrideTheFiles) {
    Archived a(test::EncodeOggVorbis(2, 44100, 60000, {"LOOPSTART=30000", "LOOPLENGTH=10000"}));
    const Bytes ref = test::DecodeOggVorbis(a.image);
    CStreamSource s;
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
    s.m_LoopCount = 2;
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

TEST_F(VorbisSource, DamagedStreamsGiveALineAndSilenceNeverACrash) {
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
        CStreamSource s;
        ReportCapture reports;
        ASSERT_EQ(a.Open(s), decodable) << name;
        if (!decodable) {
            ASSERT_EQ(reports.DebugLines().size(), 1u) << name;
            continue;
        }
        s.m_LoopCount = 2;
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
    CStreamSource s;
    ReportCapture reports;
    EXPECT_FALSE(other.Open(s));
    EXPECT_EQ(reports.CountDebug(msg::kUnknownImage), 1);
}

// Headers without music: refused for that reason, not opened as a piece of no frames.
TEST_F(VorbisSource, AStreamWithoutSamplesIsRefusedAsNoAudio) {
    Archived a(test::EncodeOggVorbis(2, 44100, 0, {"LOOPSTART=0"}));
    CStreamSource s;
    ReportCapture reports;
    EXPECT_FALSE(a.Open(s));
    EXPECT_EQ(reports.DebugLines(), std::vector<std::string>{msg::kNoAudio});
}

// ---------------------------------------------------------------------------------------

class VorbisStream : public ::testing::Test {
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

TEST_F(VorbisStream, TheBufferPlaysTheDecodersOwnOutputAcrossEveryWrap) {
    for (uint16_t channels : {1, 2}) {
        const Bytes ogg =
            test::EncodeOggVorbis(channels, 48000, 40000, {"LOOPSTART=9000", "LOOPLENGTH=21111"});
        const Bytes ref = test::DecodeOggVorbis(ogg);
        const uint32_t fs = channels * 2u;
        TempFile file(ogg, "ogg");
        stream = std::make_unique<SoundStream>();
        ASSERT_TRUE(
            stream->Load(device->Interface(), file.c_str(), 0, static_cast<uint32_t>(ogg.size())));
        auto record = device->Buffer(device->BufferCount() - 1);
        EXPECT_EQ(record->Format().wBitsPerSample, 16);
        EXPECT_EQ(record->Format().nChannels, channels);
        ASSERT_TRUE(stream->Play(0));
        // Five wraps of the loop, in steps that cut segments anywhere.
        const uint32_t frames = 9000 + 5 * 21111 + 1234;
        for (uint32_t done = 0; done < frames; done += 997) {
            ASSERT_TRUE(device->Advance(std::min(997u, frames - done)));
        }
        const Bytes want = Looped(ref, (9000 + 21111) * fs, 9000 * fs, 0, frames * fs);
        const Bytes played = record->Played();
        ASSERT_EQ(played.size(), want.size());
        EXPECT_TRUE(played == want) << channels;
        EXPECT_EQ(record->Underruns(), 0u);
        uint32_t position = 0;
        ASSERT_TRUE(stream->GetPosition(position));
        EXPECT_EQ(position, 9000u + 1234u);
        EXPECT_EQ(stream->Source().m_FrameCount, ref.size() / fs);
        stream.reset();
    }
}

TEST_F(VorbisStream, OnePassWithAPauseEndsWithTheLastFrameThenSilenceAndStops) {
    const Bytes ogg = test::EncodeOggVorbis(2, 48000, 30000);  // no loop comments
    const Bytes ref = test::DecodeOggVorbis(ogg);
    TempFile file(ogg, "ogg");
    stream = std::make_unique<SoundStream>();
    ASSERT_TRUE(
        stream->Load(device->Interface(), file.c_str(), 0, static_cast<uint32_t>(ogg.size())));
    auto record = device->Buffer(device->BufferCount() - 1);
    ASSERT_TRUE(stream->Play(1));
    ASSERT_TRUE(device->Advance(10000));
    ASSERT_TRUE(stream->Buffer().StopLocked());  // a pause: the ring keeps its place
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
