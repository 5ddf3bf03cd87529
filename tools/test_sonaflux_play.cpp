// sonaflux-play: its command line, the WAVE header check, the demo tune, and whole
// sessions rendered through the module and softds's manual clock, compared sample for
// sample with what the music holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "check_loop.h"
#include "demo_tune.h"
#include "module_messages.h"
#include "sonaflux/sonaflux.h"
#include "play_info.h"
#include "play_options.h"
#include "play_session.h"
#include "support/codec_files.h"
#include "support/wave_image.h"
#include "wave_file.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace sfplay {
namespace {

namespace fs = std::filesystem;

// ---- command line ----

struct Parsed {
    ParseResult result;
    PlayOptions options;
    std::string error;
};

Parsed Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "sonaflux-play");
    Parsed p;
    p.result = ParseArguments(static_cast<int>(args.size()), args.data(), &p.options, &p.error);
    return p;
}

TEST(Options, DefaultsWithoutArguments) {
    const Parsed p = Parse({});
    ASSERT_EQ(p.result, ParseResult::Run);
    EXPECT_TRUE(p.options.file.empty());
    EXPECT_FALSE(p.options.loops.has_value());
    EXPECT_EQ(p.options.volume, 100);
    EXPECT_EQ(p.options.master, 100);
    EXPECT_EQ(p.options.fadeInMs, 0u);
    EXPECT_FALSE(p.options.seconds.has_value());
    EXPECT_TRUE(p.options.renderPath.empty());
    EXPECT_EQ(p.options.fallbackPath, "sonaflux-play.wav");
}

TEST(Options, EveryOptionInBothForms) {
    const Parsed p = Parse({"--offset",
                            "1000",
                            "--size=5000",
                            "--loops",
                            "3",
                            "--loop-start=10",
                            "--loop-end",
                            "900",
                            "--start",
                            "5",
                            "--volume=80",
                            "--master",
                            "50",
                            "--fade-in",
                            "250",
                            "--fade-out=750",
                            "--seconds",
                            "2.5",
                            "--render",
                            "out.wav",
                            "--fallback-wav=fb.wav",
                            "--quiet",
                            "music.pak"});
    ASSERT_EQ(p.result, ParseResult::Run) << p.error;
    const PlayOptions& o = p.options;
    EXPECT_EQ(o.file, "music.pak");
    EXPECT_EQ(o.offset, 1000u);
    EXPECT_EQ(o.size, 5000u);
    EXPECT_EQ(o.loops, 3);
    EXPECT_EQ(o.loopStart, 10u);
    EXPECT_EQ(o.loopEnd, 900u);
    EXPECT_EQ(o.start, 5u);
    EXPECT_EQ(o.volume, 80);
    EXPECT_EQ(o.master, 50);
    EXPECT_EQ(o.fadeInMs, 250u);
    EXPECT_EQ(o.fadeOutMs, 750u);
    EXPECT_DOUBLE_EQ(*o.seconds, 2.5);
    EXPECT_EQ(o.renderPath, "out.wav");
    EXPECT_EQ(o.fallbackPath, "fb.wav");
    EXPECT_TRUE(o.quiet);
}

TEST(Options, HelpAndEndOfOptions) {
    EXPECT_EQ(Parse({"--help"}).result, ParseResult::Help);
    EXPECT_EQ(Parse({"-h"}).result, ParseResult::Help);
    const Parsed p = Parse({"--", "-odd-name.wav"});
    ASSERT_EQ(p.result, ParseResult::Run);
    EXPECT_EQ(p.options.file, "-odd-name.wav");
    EXPECT_NE(std::string(UsageText()).find("--loop-start F"), std::string::npos);
}

TEST(Options, BadArgumentsAreRefusedWithAReason) {
    const struct {
        std::vector<const char*> args;
        const char* says;
    } cases[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"-x"}, "unknown option -x"},
        {{"--loops"}, "--loops needs a value"},
        {{"--loops", "many"}, "--loops wants a pass count"},
        {{"--loops", "-1"}, "--loops wants a pass count"},
        {{"--volume", "101"}, "--volume wants a percentage"},
        {{"--master", "-5"}, "--master wants a percentage"},
        {{"--volume", "50%"}, "--volume wants a percentage"},
        {{"--fade-in", "0"}, "--fade-in wants milliseconds"},
        {{"--seconds", "0"}, "--seconds wants a positive number"},
        {{"--seconds", "soon"}, "--seconds wants a positive number"},
        {{"--seconds", "nan"}, "--seconds wants a positive number"},
        {{"--start", "99999999999"}, "--start wants a sample frame"},
        {{"--render="}, "--render needs a file name"},
        {{"a.wav", "b.wav"}, "more than one file"},
        {{"--offset", "10"}, "--offset and --size need a FILE"},
        {{"--offset", "4294967296", "pack"}, "the module's offsets are 32-bit"},
        {{"--loop-start", "50", "--loop-end", "50", "x.wav"}, "--loop-start must come before"},
        {{"--loop-end", "0", "x.wav"}, "--loop-end must be after frame 0"},
        {{"--then="}, "--then wants FILE or FILE@PASSES"},
        {{"--switch", "b.wav"}, "--switch wants FILE[@PASSES]@WHEN"},
        {{"--switch", "b.wav@soon"}, "--switch wants FILE[@PASSES]@WHEN"},
        {{"--switch", "b.wav@grid:0"}, "--switch wants FILE[@PASSES]@WHEN"},
        {{"--switch", "b.wav@grid:100:x"}, "--switch wants FILE[@PASSES]@WHEN"},
        {{"--switch", "b.wav@frame:-1"}, "--switch wants FILE[@PASSES]@WHEN"},
        {{"--switch", "@now"}, "--switch wants FILE[@PASSES]@WHEN"},
        {{"--switch-after", "-1", "--switch", "b.wav@now"}, "--switch-after wants seconds"},
        {{"--switch-after", "1"}, "--switch-after needs --switch"},
        {{"--crossfade", "60001", "--switch", "b.wav@now"}, "--crossfade wants milliseconds"},
    };
    for (const auto& c : cases) {
        const Parsed p = Parse(c.args);
        EXPECT_EQ(p.result, ParseResult::Error) << c.says;
        EXPECT_NE(p.error.find(c.says), std::string::npos) << "got: " << p.error;
    }
}

TEST(Options, PiecesAndSwitches) {
    const Parsed p =
        Parse({"--then", "intro@x.wav", "--then=loop.wav@0", "--then", "end.wav@3", "--switch",
               "battle.wav@2@grid:22050:441", "--switch-after", "1.5", "--events"});
    ASSERT_EQ(p.result, ParseResult::Run) << p.error;
    const SequenceOptions& s = p.options.sequence;
    ASSERT_EQ(s.then.size(), 3u);
    EXPECT_EQ(s.then[0].file, "intro@x.wav");  // an '@' not followed by a count is the name's
    EXPECT_EQ(s.then[0].loops, 1);
    EXPECT_EQ(s.then[1].file, "loop.wav");
    EXPECT_EQ(s.then[1].loops, 0);
    EXPECT_EQ(s.then[2].loops, 3);
    ASSERT_TRUE(s.switchTo.has_value());
    EXPECT_EQ(s.switchTo->piece.file, "battle.wav");
    EXPECT_EQ(s.switchTo->piece.loops, 2);
    EXPECT_EQ(s.switchTo->when, MusicSequence::kSwitchOnGrid);
    EXPECT_EQ(s.switchTo->grid, 22050u);
    EXPECT_EQ(s.switchTo->frame, 441u);
    EXPECT_DOUBLE_EQ(s.switchAfter, 1.5);
    EXPECT_TRUE(s.events);
    const struct {
        const char* arg;
        int32_t when;
        uint32_t frame, grid;
    } points[] = {{"b.wav@now", MusicSequence::kSwitchNow, 0, 0},
                  {"b.wav@loop", MusicSequence::kSwitchAtLoop, 0, 0},
                  {"b.wav@frame:1234", MusicSequence::kSwitchAtFrame, 1234, 0},
                  {"b.wav@grid:100", MusicSequence::kSwitchOnGrid, 0, 100}};
    for (const auto& c : points) {
        const Parsed q = Parse({"--switch", c.arg});
        ASSERT_EQ(q.result, ParseResult::Run) << c.arg << ": " << q.error;
        EXPECT_EQ(q.options.sequence.switchTo->piece.file, "b.wav");
        EXPECT_EQ(q.options.sequence.switchTo->piece.loops, 1);
        EXPECT_EQ(q.options.sequence.switchTo->when, c.when) << c.arg;
        EXPECT_EQ(q.options.sequence.switchTo->frame, c.frame) << c.arg;
        EXPECT_EQ(q.options.sequence.switchTo->grid, c.grid) << c.arg;
    }
}

// ---- WAVE headers ----

std::vector<uint8_t> Pattern(uint32_t frames) {  // 16-bit stereo, every frame different
    std::vector<uint8_t> pcm;
    for (uint32_t i = 0; i < frames; ++i) {
        Put16(pcm, static_cast<uint16_t>(i * 3 + 7));
        Put16(pcm, static_cast<uint16_t>(0x8000u + i));
    }
    return pcm;
}

// ---- the demo tune ----

std::vector<int16_t> Samples(const std::vector<uint8_t>& bytes, size_t from) {
    std::vector<int16_t> s;
    for (size_t i = from; i + 1 < bytes.size(); i += 2)
        s.push_back(static_cast<int16_t>(Get16(&bytes[i])));
    return s;
}

TEST(DemoTune, FormatLengthAndLoopPoints) {
    const DemoTune tune = MakeDemoTune();
    ASSERT_EQ(tune.image.size(), 44u + tune.frames * 4u);
    EXPECT_EQ(Get32(&tune.image[24]), 44100u);
    EXPECT_EQ(Get16(&tune.image[22]), 2u);
    EXPECT_EQ(Get16(&tune.image[34]), 16u);
    EXPECT_EQ(tune.frames, 6u * 44100u);  // a one-bar pickup and a two-bar loop at 120 bpm
    EXPECT_EQ(tune.loopStart, 2u * 44100u);
    EXPECT_EQ(tune.loopEnd, tune.frames);
    EXPECT_EQ(MakeDemoTune().image, tune.image) << "the tune is made the same every time";
}

TEST(DemoTune, LoopsWithoutAClickAndNeverFallsSilent) {
    const DemoTune tune = MakeDemoTune();
    const std::vector<int16_t> s = Samples(tune.image, 44);
    int peak = 0;
    for (int16_t v : s) peak = std::max(peak, std::abs(static_cast<int>(v)));
    EXPECT_NEAR(peak, 0.7 * 32767, 2.0) << "about -3 dBFS at the loudest, no clipping";
    // Across the loop seam (the last frames of the loop, then its first ones) the signal
    // stays near zero: every note has faded out by the end of its slot.
    const size_t loopStart = tune.loopStart * 2u, loopEnd = tune.loopEnd * 2u;
    for (size_t i = 0; i < 40; ++i) {
        EXPECT_LT(std::abs(s[loopEnd - 1 - i]), 200) << "before the seam, " << i;
    }
    for (size_t c = 0; c < 2; ++c) {
        EXPECT_LT(std::abs(s[loopStart + c]), 20) << "the loop starts from silence";
        EXPECT_LT(std::abs(s[loopStart + c] - s[loopEnd - 2 + c]), 40) << "no jump at the seam";
    }
    // Every beat holds music.
    const size_t beat = 22050u * 2u;
    for (size_t b = 0; b < s.size() / beat; ++b) {
        double energy = 0;
        for (size_t i = b * beat; i < (b + 1) * beat; ++i) energy += double(s[i]) * s[i];
        EXPECT_GT(std::sqrt(energy / beat), 1000.0) << "beat " << b << " is too quiet";
    }
}

// ---- whole sessions, rendered ----

class Render : public ::testing::Test {
protected:
    void SetUp() override {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        m_Dir = fs::temp_directory_path() / ("sonaflux-play-test-" + std::to_string(stamp));
        fs::create_directories(m_Dir);
        // A 60000-frame pattern embedded at offset 1000 of a larger file, junk around it.
        m_Image = MakeWaveImage(PcmFormat{}, Pattern(kFrames));
        std::vector<uint8_t> pak(1000 + m_Image.size() + 777, 0xDD);
        std::fill(pak.begin(), pak.begin() + 1000, uint8_t{0xEE});
        std::copy(m_Image.begin(), m_Image.end(), pak.begin() + 1000);
        std::string error;
        ASSERT_TRUE(WriteFileBytes(Path("music.pak"), pak, &error)) << error;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(m_Dir, ignored);
    }
    std::string Path(const char* name) const { return (m_Dir / name).string(); }

    // Runs a session on the given arguments; the rendered output lands in `m_Out`.
    int Run(std::vector<const char*> args, int interrupts = 0,
            std::function<void(double)> onStep = nullptr) {
        return RunInto(Path("out.wav"), std::move(args), interrupts, std::move(onStep));
    }
    int RunInto(const std::string& out, std::vector<const char*> args, int interrupts = 0,
                std::function<void(double)> onStep = nullptr) {
        args.insert(args.begin(), {"--quiet", "--render", out.c_str()});
        const Parsed p = Parse(args);
        EXPECT_EQ(p.result, ParseResult::Run) << p.error;
        std::ostringstream text, errors;
        std::atomic<int> irq{interrupts};
        const int status =
            RunSession(p.options, SessionIo{text, errors, false, &irq, std::move(onStep)});
        m_Text = text.str();
        m_Errors = errors.str();
        m_Out.clear();
        std::vector<uint8_t> bytes;
        std::string error;
        const bool wrote = status == kExitOk || status == kExitInterrupted;
        if (wrote && ReadFileBytes(out, 0, 1u << 26, &bytes, &error) && bytes.size() >= 44) {
            // The sink's canonical header: 16-bit stereo at the render's rate, sizes mixed.
            std::vector<uint8_t> want = MakeWaveImage(PcmFormat{2, 16, p.options.rate},
                                                      std::vector<uint8_t>(bytes.size() - 44));
            want.resize(44);
            EXPECT_TRUE(std::equal(want.begin(), want.end(), bytes.begin()))
                << "the header tells the mix's format and size";
            m_Out = Samples(bytes, 44);
        }
        return status;
    }
    // The stereo samples of source frames [from, to).
    std::vector<int16_t> Source(uint32_t from, uint32_t to) const {
        std::vector<int16_t> all = Samples(m_Image, 44);
        return std::vector<int16_t>(all.begin() + from * 2, all.begin() + to * 2);
    }
    std::vector<int16_t> Out(size_t fromFrame, size_t toFrame) const {
        toFrame = std::min(toFrame, m_Out.size() / 2);
        fromFrame = std::min(fromFrame, toFrame);
        return std::vector<int16_t>(m_Out.begin() + static_cast<long>(fromFrame * 2),
                                    m_Out.begin() + static_cast<long>(toFrame * 2));
    }

    static constexpr uint32_t kFrames = 60000;
    fs::path m_Dir;
    std::vector<uint8_t> m_Image;
    std::vector<int16_t> m_Out;  // rendered samples, interleaved stereo
    std::string m_Text, m_Errors;
};

TEST_F(Render, LoopsAndLoopPointsOfAByteRangeSampleForSample) {
    const std::string pak = Path("music.pak");
    const std::string size = std::to_string(m_Image.size());
    ASSERT_EQ(Run({"--offset", "1000", "--size", size.c_str(), "--loops", "2", "--loop-start",
                   "10000", "--loop-end", "40000", pak.c_str()}),
              kExitOk)
        << m_Errors;
    // Pass one plays frames 0..39999, pass two 10000..39999, then silence until it stops.
    std::vector<int16_t> expected = Source(0, 40000);
    const std::vector<int16_t> second = Source(10000, 40000);
    expected.insert(expected.end(), second.begin(), second.end());
    ASSERT_GE(m_Out.size(), expected.size());
    EXPECT_TRUE(Out(0, 70000) == expected) << "the music as played differs from the file";
    const std::vector<int16_t> tail = Out(70000, m_Out.size() / 2);
    EXPECT_LT(tail.size(), 2u * 44100u) << "stops within a second of the end";
    for (size_t i = 0; i < tail.size(); ++i) ASSERT_EQ(tail[i], 0) << "after the end, " << i;
    EXPECT_NE(m_Text.find("finished, pass 2"), std::string::npos) << m_Text;
    EXPECT_TRUE(m_Errors.empty()) << m_Errors;
}

TEST_F(Render, StartsAtTheSoughtFrame) {
    const std::string pak = Path("music.pak");
    ASSERT_EQ(Run({"--offset", "1000", "--start", "25000", pak.c_str()}), kExitOk) << m_Errors;
    EXPECT_TRUE(Out(0, kFrames - 25000) == Source(25000, kFrames));
}

TEST_F(Render, VolumeAndMasterAttenuateByWholeDecibels) {
    const std::string pak = Path("music.pak");
    // (0.5 x 0.5)^2 under the default curve: -24.08 dB, applied as -2400.
    ASSERT_EQ(Run({"--offset", "1000", "--volume", "50", "--master", "50", "--seconds", "1",
                   pak.c_str()}),
              kExitOk)
        << m_Errors;
    const std::vector<int16_t> src = Source(0, 44100), out = Out(0, 44100);
    ASSERT_EQ(out.size(), src.size());
    const double gain = std::pow(10.0, -2400 / 2000.0);
    for (size_t i = 0; i < src.size(); ++i) {
        ASSERT_NEAR(out[i], src[i] * gain, 1.0) << "sample " << i;
    }
    EXPECT_NE(m_Text.find("time is up"), std::string::npos) << m_Text;
}

TEST_F(Render, SecondsCutAnEndlessLoopExactly) {
    const std::string pak = Path("music.pak");
    ASSERT_EQ(Run({"--offset", "1000", "--loops", "0", "--seconds", "3.5", pak.c_str()}), kExitOk);
    ASSERT_EQ(m_Out.size(), 2u * 154350u);
    // 3.5 s = 154350 frames: two whole passes of 60000 frames and 34350 of the third.
    EXPECT_TRUE(Out(120000, 154350) == Source(0, 34350));
}

// Mean absolute level of output frames [from, to), relative to the source's.
double Level(const std::vector<int16_t>& out, const std::vector<int16_t>& src) {
    double a = 0, b = 0;
    for (size_t i = 0; i < out.size() && i < src.size(); ++i) {
        a += std::abs(out[i]);
        b += std::abs(src[i]);
    }
    return b > 0 ? a / b : 0;
}

TEST_F(Render, FadeOutFollowsTheRenderedClockAndStops) {
    const std::string pak = Path("music.pak");
    ASSERT_EQ(Run({"--offset", "1000", "--loops", "0", "--seconds", "1", "--fade-out", "400",
                   pak.c_str()}),
              kExitOk)
        << m_Errors;
    // Full level until 0.6 s, then falling to silence by 1.0 s, where the fade stops it.
    EXPECT_TRUE(Out(0, 26000) == Source(0, 26000));
    const double mid = Level(Out(34000, 35500), Source(34000, 35500));   // 0.30 s in
    const double late = Level(Out(41500, 43000), Source(41500, 43000));  // 0.85 s in
    EXPECT_GT(mid, 0.2) << "the fade is a curve, not a cut";
    EXPECT_LT(mid, 0.75);
    EXPECT_LT(late, mid);
    EXPECT_LT(late, 0.2);
    EXPECT_LE(m_Out.size() / 2, 44100u + 4410u);
    for (int16_t v : Out(44100 + 200, m_Out.size() / 2)) ASSERT_EQ(v, 0);
    EXPECT_NE(m_Text.find("faded out"), std::string::npos) << m_Text;
}

TEST_F(Render, FadeInRisesToTheVolume) {
    const std::string pak = Path("music.pak");
    ASSERT_EQ(Run({"--offset", "1000", "--fade-in", "500", "--seconds", "1", pak.c_str()}), kExitOk)
        << m_Errors;
    EXPECT_LT(Level(Out(0, 2000), Source(0, 2000)), 0.05) << "starts from silence";
    const double mid = Level(Out(11000, 12000), Source(11000, 12000));
    EXPECT_GT(mid, 0.1);
    EXPECT_LT(mid, 0.8);
    EXPECT_TRUE(Out(24000, 44100) == Source(24000, 44100)) << "full level after the fade";
}

TEST_F(Render, DemoTuneLoopsBackToItsLoopStart) {
    ASSERT_EQ(Run({"--seconds", "8"}), kExitOk) << m_Errors;
    const DemoTune tune = MakeDemoTune();
    const std::vector<int16_t> src = Samples(tune.image, 44);
    ASSERT_EQ(m_Out.size(), 2u * 8u * 44100u);
    // 0..6 s: the whole tune; 6..8 s: the loop again from its start (2 s).
    EXPECT_TRUE(Out(0, tune.frames) == src);
    const std::vector<int16_t> again(src.begin() + tune.loopStart * 2,
                                     src.begin() + (tune.loopStart + 2 * 44100) * 2);
    EXPECT_TRUE(Out(tune.frames, tune.frames + 2 * 44100) == again);
    EXPECT_NE(m_Text.find("the built-in demo tune"), std::string::npos) << m_Text;
}

TEST_F(Render, EndlessRenderWithoutSecondsIsCapped) {
    const std::string pak = Path("music.pak");
    ASSERT_EQ(Run({"--offset", "1000", "--loops", "0", pak.c_str()}), kExitOk);
    EXPECT_EQ(m_Out.size(), 2u * 30u * 44100u);
    EXPECT_NE(m_Text.find("rendering 30 seconds"), std::string::npos) << m_Text;
}

TEST_F(Render, CtrlCStopsCleanly) {
    const std::string pak = Path("music.pak");
    EXPECT_EQ(Run({"--offset", "1000", "--loops", "0", pak.c_str()}, 1), kExitInterrupted);
    EXPECT_NE(m_Text.find("stopped"), std::string::npos) << m_Text;
    EXPECT_LT(m_Out.size(), 2u * 44100u);
    // With a fade-out the first Ctrl-C fades out before stopping.
    EXPECT_EQ(Run({"--offset", "1000", "--loops", "0", "--fade-out", "200", pak.c_str()}, 1),
              kExitInterrupted);
    EXPECT_GE(m_Out.size() / 2, 8820u - 441u);
    EXPECT_LT(Level(Out(8000, 8800), Source(8000, 8800)), 0.1);
    // The module is usable again afterwards: the next session plays normally.
    EXPECT_EQ(Run({"--offset", "1000", "--seconds", "0.5", pak.c_str()}), kExitOk);
    EXPECT_TRUE(Out(0, 22050) == Source(0, 22050));
    // A Ctrl-C makes the exit status 130 whatever the session was doing when it came,
    // also when what it waited on then failed.
    const std::string missing = Path("missing.wav");
    EXPECT_EQ(Run({missing.c_str()}, 1), kExitInterrupted);
    EXPECT_NE(m_Errors.find("cannot open"), std::string::npos) << m_Errors;
}

TEST_F(Render, OggVorbisPlaysItsStoredLoopUnlessToldNot) {
    const std::vector<uint8_t> ogg =
        sonaflux::test::EncodeOggVorbis(2, 44100, 30000, {"LOOPSTART=5000", "LOOPLENGTH=10000"});
    const std::vector<int16_t> ref = Samples(sonaflux::test::DecodeOggVorbis(ogg), 0);
    auto frames = [&ref](size_t from, size_t to) {
        return std::vector<int16_t>(ref.begin() + static_cast<long>(from * 2),
                                    ref.begin() + static_cast<long>(to * 2));
    };
    std::string error;
    ASSERT_TRUE(WriteFileBytes(Path("music.ogg"), ogg, &error)) << error;
    const std::string path = Path("music.ogg");

    ASSERT_EQ(Run({"--loops", "3", path.c_str()}), kExitOk) << m_Errors;
    EXPECT_NE(m_Text.find("file loop points: frames 5000 to 15000\n"), std::string::npos) << m_Text;
    std::vector<int16_t> expected = frames(0, 15000);
    for (int pass = 2; pass <= 3; ++pass) {
        const std::vector<int16_t> loop = frames(5000, 15000);
        expected.insert(expected.end(), loop.begin(), loop.end());
    }
    EXPECT_TRUE(Out(0, 35000) == expected) << "the stored loop as played differs";

    ASSERT_EQ(Run({"--loops", "2", "--no-file-loops", path.c_str()}), kExitOk) << m_Errors;
    EXPECT_NE(m_Text.find("(not used: --no-file-loops)"), std::string::npos) << m_Text;
    const size_t all = ref.size() / 2;
    expected = frames(0, all);
    expected.insert(expected.end(), ref.begin(), ref.end());
    EXPECT_TRUE(Out(0, 2 * all) == expected) << "the whole piece twice";
}

// Every format the module plays, the tool plays, describing it by the module's reading.
TEST_F(Render, EveryFormatTheModulePlaysPlays) {
    namespace t = sonaflux::test;
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* says;
    } cases[] = {
        {"a.flac", t::EncodeFlac(2, 48000, 24, 9600), "(FLAC FLAC, 48000 Hz, 16-bit, stereo"},
        {"b.oga", t::EncodeFlac(1, 44100, 8, 4410, {}, true), "(Ogg FLAC, 44100 Hz, 8-bit, mono"},
        {"c.opus", t::EncodeOpus(2, 48000, 9600), "(Ogg Opus, 48000 Hz, 16-bit, stereo"},
        {"d.ogg", t::EncodeOggVorbis(1, 22050, 4410), "(Ogg Vorbis, 22050 Hz, 16-bit, mono"},
    };
    for (const auto& c : cases) {
        std::string error;
        ASSERT_TRUE(WriteFileBytes(Path(c.name), c.bytes, &error)) << error;
        EXPECT_EQ(Run({Path(c.name).c_str()}), kExitOk) << c.name << ": " << m_Errors;
        EXPECT_NE(m_Text.find(c.says), std::string::npos) << m_Text;
    }
}

// --info prints the module's reading of the file; --rate renders at the music's own rate.
TEST_F(Render, InfoShowsWhatTheModuleReadAndRateSetsTheRender) {
    namespace t = sonaflux::test;
    std::string error;
    const std::string flac = Path("tagged.flac");
    ASSERT_TRUE(WriteFileBytes(flac,
                               t::EncodeFlac(2, 48000, 24, 48000,
                                             {"loopstart= 4800", "LOOPEND=24000",
                                              "CHAPTER001=00:00:00.500", "CHAPTER001NAME=Bridge"}),
                               &error));
    ASSERT_EQ(Run({"--info", flac.c_str()}), kExitOk) << m_Errors;
    EXPECT_EQ(m_Text, flac +
                          ": FLAC, FLAC\n"
                          "  stored: 48000 Hz, 2 channel(s), 24-bit integer\n"
                          "  buffer: 48000 Hz, 2 channel(s), 16-bit integer\n"
                          "  length: 48000 frames (0:01.00)\n"
                          "  file loop: frames 4800 to 24000 (end exclusive), applies\n"
                          "  markers: 1\n"
                          "    frame 24000  Bridge\n");
    EXPECT_FALSE(fs::exists(Path("out.wav"))) << "--info plays nothing";

    const std::string opus = Path("tone.opus");
    ASSERT_TRUE(WriteFileBytes(opus, t::EncodeOpus(1, 48000, 4800), &error));
    ASSERT_EQ(Run({"--rate", "48000", "--no-file-loops", opus.c_str()}), kExitOk) << m_Errors;
    EXPECT_NE(m_Text.find(" frames at 48000 Hz, 16-bit stereo)"), std::string::npos) << m_Text;
}

// Each pass of a loop far shorter than the session's steps is counted; a render target
// with a name at the system's limit works (its temporary name stays short).
TEST_F(Render, ShortLoopPassesAndLongRenderNames) {
    const std::string pak = Path("music.pak");
    ASSERT_EQ(Run({"--offset", "1000", "--loops", "40", "--loop-start", "1000", "--loop-end",
                   "1441", pak.c_str()}),
              kExitOk)
        << m_Errors;
    EXPECT_NE(m_Text.find("(finished, pass 40)"), std::string::npos) << m_Text;
    ASSERT_EQ(Run({"--offset", "1000", "--loops", "0", "--loop-end", "441", "--seconds", "0.5",
                   pak.c_str()}),
              kExitOk);
    // 22050 frames played: the first pass and 49 more.
    EXPECT_NE(m_Text.find("(time is up, pass 50)"), std::string::npos) << m_Text;

#ifndef _WIN32  // Windows' ANSI calls stop at 260 bytes of the whole path
    const std::string longName = Path(std::string(250, 'n').c_str());
    EXPECT_EQ(RunInto(longName, {"--offset", "1000", "--seconds", "0.1", pak.c_str()}), kExitOk)
        << m_Errors;
    EXPECT_TRUE(fs::exists(longName));
#endif
    const std::string noDir = Path("no-such-dir/out.wav");
    EXPECT_EQ(RunInto(noDir, {"--offset", "1000", pak.c_str()}), kExitFailure);
    EXPECT_NE(m_Errors.find(std::error_code(ENOENT, std::generic_category()).message()),
              std::string::npos)
        << m_Errors;
}

std::vector<uint8_t> FileBytes(const std::string& path);

// A loop of whole periods of a sine joins cleanly; the same loop one frame long clicks,
// and --check-loop says so by its status, its score and its drawing.
TEST_F(Render, CheckLoopTellsACleanSeamFromAClick) {
    std::vector<uint8_t> pcm;
    for (int i = 0; i < 8000; ++i) {
        const auto v =
            static_cast<uint16_t>(std::lround(16000 * std::sin(2 * 3.14159265358979 * i / 100)));
        Put16(pcm, v);
        Put16(pcm, v);
    }
    std::string error;
    const std::string wav = Path("sine.wav"), svg = Path("seam.svg");
    ASSERT_TRUE(WriteFileBytes(wav, MakeWaveImage(PcmFormat{}, pcm), &error));
    const struct {
        const char* end;
        int status;
        const char* says;
    } cases[] = {
        {"5000", kExitOk, "sample-continuous\n  waveform: "},
        {"5001", kExitFailure, "NOT sample-continuous"},  // one frame too long
        {"4999", kExitFailure, "NOT sample-continuous"},  // one frame too short
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Run({"--check-loop", "--svg", svg.c_str(), "--loop-start", "1000", "--loop-end",
                       c.end, wav.c_str()}),
                  c.status)
            << c.end << ": " << m_Errors;
        EXPECT_NE(m_Text.find(c.says), std::string::npos) << m_Text;
        const std::vector<uint8_t> drawn = FileBytes(svg);
        const std::string text(drawn.begin(), drawn.end());
        EXPECT_EQ(text.rfind("<svg", 0), 0u);
        EXPECT_NE(text.find("<polyline"), std::string::npos);
        EXPECT_NE(text.find("stroke=\"red\""), std::string::npos) << "the seam is marked";
    }
    // Silence has no click, whatever the window.
    const SeamMeasure flat = MeasureSeam(std::vector<int16_t>(20, 0), 2, 5);
    EXPECT_EQ(flat.score, 0.0);
    EXPECT_TRUE(flat.continuous);
}

// Music without a single frame is refused as such, not as a bad loop (no loop was asked).
TEST_F(Render, MusicWithoutAudioSaysSo) {
    namespace t = sonaflux::test;
    std::vector<uint8_t> empty = MakeWaveImage(PcmFormat{}, {});
    std::vector<uint8_t> three = MakeWaveImage(PcmFormat{}, {1, 2, 3});
    std::vector<uint8_t> slow = MakeWaveImage(PcmFormat{2, 16, 99}, Pattern(100));
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"empty.wav", empty},
        {"three.wav", three},
        {"empty.flac", t::EncodeFlac(2, 44100, 16, 0)},
        // Not silent, but a rate no buffer takes: the module's cause, not the buffer's failure.
        {"slow.wav", slow},
    };
    for (const auto& c : cases) {
        std::string error;
        ASSERT_TRUE(WriteFileBytes(Path(c.name), c.bytes, &error)) << error;
        EXPECT_EQ(Run({Path(c.name).c_str()}), kExitFailure) << c.name;
        const std::string says = std::string(c.name) == "slow.wav"
                                     ? ": A sample rate the module cannot play (99 Hz"
                                     : ": no audio";
        EXPECT_NE(m_Errors.find(Path(c.name) + says), std::string::npos) << m_Errors;
        EXPECT_EQ(m_Errors.find("loop"), std::string::npos) << m_Errors;
    }
}

TEST_F(Render, UnplayableInputsFailWithAClearMessage) {
    const std::string pak = Path("music.pak");
    std::string error;
    ASSERT_TRUE(WriteFileBytes(Path("text.wav"), std::vector<uint8_t>(500, 'a'), &error));
    ASSERT_TRUE(WriteFileBytes(Path("empty.wav"), {}, &error));
    const std::string text = Path("text.wav"), missing = Path("missing.wav");
    const std::string dir = m_Dir.string(), empty = Path("empty.wav");
#ifndef _WIN32
    const std::string fifo = Path("fifo.wav");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
#endif
    const struct {
        std::vector<const char*> args;
        int status;
        std::string says;
    } cases[] = {
        {{missing.c_str()},
         kExitFailure,
         "cannot open " + missing + ": " +
             std::error_code(ENOENT, std::generic_category()).message()},
        {{dir.c_str()}, kExitFailure, "is a directory"},
        {{empty.c_str()}, kExitFailure, empty + " is empty"},
#ifndef _WIN32
        {{fifo.c_str()}, kExitFailure, fifo + " is a FIFO, not a regular file"},
        {{"/dev/null"}, kExitFailure, "/dev/null is a device, not a regular file"},
        {{"/dev/zero"}, kExitFailure, "/dev/zero is a device, not a regular file"},
#endif
        {{text.c_str()}, kExitFailure, text + ": Neither RIFF/WAVE, FLAC nor Ogg"},
        {{pak.c_str()}, kExitFailure, pak + ": Neither RIFF/WAVE"},  // the junk before the image
        {{"--offset", "999999", pak.c_str()}, kExitFailure, "lies at or past the end"},
        {{"--offset", "1000", "--size", "999999", pak.c_str()}, kExitFailure, "runs past the end"},
        {{"--offset", "1000", "--loop-end", "60001", pak.c_str()}, kExitUsage, "past the last"},
        {{"--offset", "1000", "--start", "60000", pak.c_str()}, kExitUsage, "--start 60000"},
        {{"--offset", "1000", "--loop-start", "60000", pak.c_str()}, kExitUsage, "loop start"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Run(c.args), c.status) << c.says;
        EXPECT_NE(m_Errors.find(c.says), std::string::npos) << "got: " << m_Errors;
    }
}

// Runs the enclosing scope in `dir` with a settings file of `content` there. The module
// keeps the values a file set, so the defaults are read back in at the end.
class SettingsFile {
public:
    SettingsFile(const fs::path& dir, const std::string& content) : m_Previous(fs::current_path()) {
        fs::current_path(dir);
        Write(content);
    }
    ~SettingsFile() {
        Write("NOTIFY_MAX=16 RING_BUFFER_BLOCK_SIZE=32768 STREAM_BUFFER_SIZE=262144");
        CreateInterface(&IID_MusicModule);
        std::error_code ignored;
        fs::remove(kName, ignored);
        fs::current_path(m_Previous);
    }

private:
    static constexpr const char* kName = "Sonaflux.ini";
    static void Write(const std::string& content) {
        std::string error;
        WriteFileBytes(kName, std::vector<uint8_t>(content.begin(), content.end()), &error);
    }
    fs::path m_Previous;
};

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::string error;
    ReadFileBytes(path, 0, 1u << 26, &bytes, &error);
    return bytes;
}

// Names in the folder that a render left behind besides the ones expected.
std::vector<std::string> Leftovers(const fs::path& dir, std::vector<std::string> expected) {
    std::vector<std::string> extra;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (std::find(expected.begin(), expected.end(), name) == expected.end()) {
            extra.push_back(name);
        }
    }
    return extra;
}

TEST_F(Render, ARenderNeverDestroysTheFileItWouldReplace) {
    const std::string pak = Path("music.pak"), out = Path("out.wav");
    const std::vector<uint8_t> precious(5000, 0x5A);
    std::string error;
    ASSERT_TRUE(WriteFileBytes(out, precious, &error));
    {
        // The module refuses the load: the existing output stays as it was.
        SettingsFile settings(m_Dir, "NOTIFY_MAX=64");
        EXPECT_EQ(Run({"--offset", "1000", pak.c_str()}), kExitFailure);
        EXPECT_NE(m_Errors.find("NOTIFY_MAX is invalid"), std::string::npos) << m_Errors;
    }
    EXPECT_EQ(FileBytes(out), precious);
    // The input as output, under its own name or another one, is refused untouched.
    const std::string image = Path("image.wav"), alias = Path("alias.wav");
    ASSERT_TRUE(WriteFileBytes(image, m_Image, &error));
    std::vector<std::string> names = {image};
#ifndef _WIN32
    fs::create_hard_link(image, alias);
    names.push_back(alias);
#endif
    for (const std::string& name : names) {
        EXPECT_EQ(RunInto(name, {image.c_str()}), kExitFailure) << name;
        EXPECT_NE(m_Errors.find("is the input file"), std::string::npos) << m_Errors;
        EXPECT_EQ(FileBytes(image), m_Image);
    }
    // An output that exists but is not a regular file is not replaced.
    EXPECT_EQ(RunInto(m_Dir.string(), {image.c_str()}), kExitFailure);
    EXPECT_NE(m_Errors.find("is not a regular file"), std::string::npos) << m_Errors;
    EXPECT_TRUE(fs::is_directory(m_Dir));
    // A render that succeeds replaces the output whole and leaves nothing beside it.
    EXPECT_EQ(Run({"--offset", "1000", "--seconds", "0.25", pak.c_str()}), kExitOk) << m_Errors;
    EXPECT_TRUE(Out(0, 11025) == Source(0, 11025));
    EXPECT_EQ(Leftovers(m_Dir, {"music.pak", "out.wav", "image.wav", "alias.wav"}),
              std::vector<std::string>{});
}

// Pieces joined by --then and --switch: the render holds each file's frames back to back,
// and --events prints what was heard, in order.
class Pieces : public Render {
protected:
    void SetUp() override {
        Render::SetUp();
        std::string error;
        ASSERT_TRUE(WriteFileBytes(Path("a.wav"), m_Image, &error)) << error;
        std::vector<uint8_t> other;  // 20000 frames, unlike the first file's anywhere
        for (uint32_t i = 0; i < 20000; ++i) {
            Put16(other, static_cast<uint16_t>(0x4000u + i * 5));
            Put16(other, static_cast<uint16_t>(i * 11 + 1));
        }
        m_Other = MakeWaveImage(PcmFormat{}, other);
        ASSERT_TRUE(WriteFileBytes(Path("b.wav"), m_Other, &error)) << error;
        ASSERT_TRUE(WriteFileBytes(Path("mono.wav"), MakeWaveImage(PcmFormat{1, 16, 44100}, other),
                                   &error));
    }
    std::vector<int16_t> Other(uint32_t from, uint32_t to) const {
        const std::vector<int16_t> all = Samples(m_Other, 44);
        return std::vector<int16_t>(all.begin() + from * 2, all.begin() + to * 2);
    }
    static std::vector<int16_t> Join(std::vector<int16_t> a, const std::vector<int16_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    // The lines of the output that start with "event".
    std::string Events() const {
        std::istringstream in(m_Text);
        std::string line, events;
        while (std::getline(in, line)) {
            if (line.rfind("event", 0) == 0) events += line + "\n";
        }
        return events;
    }
    std::vector<uint8_t> m_Other;
};

TEST_F(Pieces, ThenJoinsTheFilesBackToBackAndReportsEachEvent) {
    const std::string a = Path("a.wav"), b = Path("b.wav");
    ASSERT_EQ(Run({"--events", "--then", b.c_str(), "--then", (a + "@2").c_str(), a.c_str()}),
              kExitOk)
        << m_Errors;
    // a, then b, then a twice; then silence until the session sees the end.
    const std::vector<int16_t> expected = Join(
        Join(Join(Source(0, kFrames), Other(0, 20000)), Source(0, kFrames)), Source(0, kFrames));
    const size_t all = expected.size() / 2;
    ASSERT_GE(m_Out.size(), expected.size());
    EXPECT_TRUE(Out(0, all) == expected) << "the joined pieces as played differ from the files";
    for (int16_t v : Out(all, m_Out.size() / 2)) ASSERT_EQ(v, 0) << "after the end";
    EXPECT_LT(m_Out.size() / 2 - all, 44100u / 5) << "the end is seen within a step";
    EXPECT_EQ(Events(),
              "event piece-end music 0 frame 60000 (0:01.36)\n"
              "event piece-start music 1 frame 0 (0:00.00)\n"
              "event piece-end music 1 frame 20000 (0:00.45)\n"
              "event piece-start music 2 frame 0 (0:00.00)\n"
              "event loop-wrap music 2 frame 0 (0:00.00)\n"
              "event piece-end music 2 frame 60000 (0:01.36)\n")
        << m_Text;
    EXPECT_NE(m_Text.find("then " + b + " (music 1), 1 pass(es)"), std::string::npos) << m_Text;
    EXPECT_NE(m_Text.find("finished"), std::string::npos) << m_Text;
}

TEST_F(Pieces, SwitchLeavesTheMusicAtTheFrameAsked) {
    const std::string a = Path("a.wav"), b = Path("b.wav");
    // Asked at once for frame 25000; asked 0.2 s in (frame 8820) for the next line of a grid
    // through frames 5000, 25000, 45000, ...: both leave the first file at frame 25000.
    for (const char* when : {"@frame:25000", "@grid:20000:5000"}) {
        const std::string to = b + when;
        ASSERT_EQ(Run({"--events", "--loops", "0", "--switch-after", "0.2", "--switch", to.c_str(),
                       a.c_str()}),
                  kExitOk)
            << m_Errors;
        const std::vector<int16_t> expected = Join(Source(0, 25000), Other(0, 20000));
        ASSERT_GE(m_Out.size(), expected.size()) << when;
        EXPECT_TRUE(Out(0, 45000) == expected) << when;
        EXPECT_NE(Events().find("event piece-start music 1 frame 0 (0:00.00)\n"), std::string::npos)
            << when << ": " << m_Text;
        EXPECT_EQ(Events().find("loop-wrap"), std::string::npos) << when << ": " << m_Text;
    }
    // At the next loop wrap, asked half a second in: the first pass, then the other file.
    const std::string toLoop = b + "@loop";
    ASSERT_EQ(Run({"--loops", "0", "--switch-after", "0.5", "--switch", toLoop.c_str(), a.c_str()}),
              kExitOk)
        << m_Errors;
    EXPECT_TRUE(Out(0, kFrames + 20000) == Join(Source(0, kFrames), Other(0, 20000)));
}

TEST_F(Pieces, APieceOfAnotherFormatIsRefusedWithTheModulesMessage) {
    const std::string a = Path("a.wav"), mono = Path("mono.wav"), missing = Path("missing.wav");
    EXPECT_EQ(Run({"--then", mono.c_str(), a.c_str()}), kExitFailure);
    EXPECT_NE(m_Errors.find("The piece to join has another format (44100 Hz, 1 channels, 16 "
                            "bits) than the one playing (44100 Hz, 2 channels, 16 bits)"),
              std::string::npos)
        << m_Errors;
    EXPECT_NE(m_Errors.find("the module refused to queue " + mono), std::string::npos) << m_Errors;
    EXPECT_EQ(Run({"--loops", "0", "--switch", (mono + "@now").c_str(), a.c_str()}), kExitFailure);
    EXPECT_NE(m_Errors.find("the module refused the switch to " + mono), std::string::npos)
        << m_Errors;
    EXPECT_EQ(Run({"--then", missing.c_str(), a.c_str()}), kExitFailure);
    EXPECT_NE(m_Errors.find("cannot open " + missing), std::string::npos) << m_Errors;
}

TEST(Report, TimesThatAreNoTimesShowAsZero) {
    EXPECT_EQ(FormatTime(62.5), "1:02.50");
    EXPECT_EQ(FormatTime(std::nan("")), "0:00.00");
    EXPECT_EQ(FormatTime(1.0 / 0.0), "0:00.00");
    EXPECT_EQ(FormatTime(-3), "0:00.00");
}

TEST(Glosses, EveryModuleMessageGetsItsEnglishGloss) {
    const struct {
        const char* message;
        const char* gloss;
    } cases[] = {
        {"m_FileStream.Open失敗", "Opening the file stream failed."},
        {"NOTIFY_MAXの値が不正です（1～63の範囲で指定してください）：64",
         "NOTIFY_MAX is invalid (give 1 to 63): 64."},
        {"ストリームバッファーのサイズが大きすぎます（4000000 × 63 バイト）",
         "The stream buffer is too large (4000000 × 63 bytes)."},
        {"#,12,は無効なトークン", "# (on line 12) is an invalid token."},
        {"dmvol = -10000, doubleVol=0.000000",
         "DirectSound refused volume -10000 (hundredths of a dB) for level 0.000000."},
        {"読み取り可能サイズがデーターサイズを超えた。CFileStreamRead::OnBufferMemory ",
         "The readable size exceeded the data size."},
        {"IDirectSoundNotify::SetNotificationPositions()が失敗しました",
         "SetNotificationPositions failed."},
        {"Sonaflux.ini "
         "は通常のファイルではありません（ディレクトリ、デバイス、パイプからは読み込めま"
         "せん）",
         "Sonaflux.ini is not a regular file (a directory, device or pipe cannot be read)."},
        {"not a module message", ""},
        {"m_FileStream.Open失敗 and more", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(GlossOf(c.message), c.gloss) << c.message;
    EXPECT_TRUE(IsReadFailure("ファイル読み取り失敗"));
    EXPECT_FALSE(IsReadFailure("seekで読み取り失敗"));
}

#ifdef SONAFLUX_MESSAGES_FILE
TEST(Glosses, TheGlossaryCoversEveryMessageOfTheModule) {
    std::ifstream in(SONAFLUX_MESSAGES_FILE);
    ASSERT_TRUE(in) << SONAFLUX_MESSAGES_FILE;
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos || line.compare(0, tab, "kCaption") == 0 ||
            line.compare(0, tab, "kInvalidToken") == 0 ||
            line.compare(0, tab, "kInvalidTokenFormat") == 0) {
            continue;  // the caption, and the parts of the invalid-token message
        }
        ++count;
        // Each placeholder shown as a sample value, as the module would print it.
        std::string text = line.substr(tab + 1);
        for (size_t at; (at = text.find('%')) != std::string::npos;) {
            text.replace(at, 2, text[at + 1] == 's' ? "x" : "7");
        }
        if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\\n") == 0)
            text.resize(text.size() - 2);
        EXPECT_NE(GlossOf(text), "") << line;
    }
    EXPECT_GT(count, 30);
}
#endif

#ifndef _WIN32
// On Linux the module's messages come through sonaflux-play, each followed by its gloss.
TEST_F(Render, ModuleMessagesAreRelayedWithTheirGloss) {
    ASSERT_TRUE(MessageRelay::Available());
    const std::string pak = Path("music.pak");
    SettingsFile settings(m_Dir, "# @");
    EXPECT_EQ(Run({"--offset", "1000", "--seconds", "0.1", pak.c_str()}), kExitOk);
    const std::string box =
        "Sonaflux.dll: #,1,は無効なトークン\n"
        "  (in English: # (on line 1) is an invalid token.)\n";
    EXPECT_EQ(m_Errors, box) << "one box per read; debugger lines only with SONAFLUX_DEBUG";
}

// With SONAFLUX_DEBUG the module writes each debugger line to stderr itself: the program
// adds its gloss only, so no line shows twice. The program reads a file before it loads it
// to play; the lines of that first read are the load's, written once.
TEST_F(Render, DebugLinesAreNotRepeated) {
    std::string error;
    const std::string flac = Path("bad-tag.flac");
    ASSERT_TRUE(WriteFileBytes(
        flac, sonaflux::test::EncodeFlac(1, 44100, 16, 4410, {"LOOPSTART=abc"}), &error));
    const std::string line = "ループタグ LOOPSTART の値「abc」は数ではありません";
    const std::string gloss =
        "(in English: " + flac + ": the loop tag LOOPSTART has the value \"abc\"";
    const auto count = [](const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    };
    for (const char* option : {"--quiet", "--info", "--check-loop"}) {
        m_Errors.clear();
        setenv("SONAFLUX_DEBUG", "1", 1);
        testing::internal::CaptureStderr();
        const int status = Run({option, flac.c_str()});
        const std::string own = testing::internal::GetCapturedStderr();
        unsetenv("SONAFLUX_DEBUG");
        EXPECT_NE(status, kExitUsage) << option << m_Errors;
        EXPECT_EQ(count(m_Errors, gloss), 1u) << option << m_Errors;
        EXPECT_EQ(count(own, line), 1u) << option << own;
        EXPECT_EQ(m_Errors.find("Sonaflux.dll (debug): "), std::string::npos) << m_Errors;
    }
}

// A file cut to nothing while it plays: the session fails with the cause, and the render
// that holds silence instead of music does not become the output.
TEST_F(Render, AFileThatShrinksDuringPlayFailsTheSession) {
    const std::string pak = Path("music.pak");
    bool cut = false;
    const int status = Run({"--offset", "1000", "--loops", "0", "--seconds", "3", pak.c_str()}, 0,
                           [&](double now) {
                               if (now >= 0.5 && !cut) {
                                   fs::resize_file(pak, 0);
                                   cut = true;
                               }
                           });
    EXPECT_EQ(status, kExitFailure);
    EXPECT_NE(m_Errors.find(pak + " shrank to 0 bytes during playback"), std::string::npos)
        << m_Errors;
    EXPECT_NE(m_Text.find("read error"), std::string::npos) << m_Text;
    EXPECT_FALSE(fs::exists(Path("out.wav")));
    EXPECT_EQ(Leftovers(m_Dir, {"music.pak"}), std::vector<std::string>{});
}
#endif

}  // namespace
}  // namespace sfplay
