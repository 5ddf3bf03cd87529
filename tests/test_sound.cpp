// The streaming engine on the software device's manual clock: what the buffer played is
// compared byte for byte with the WAVE data, for every way a piece can play.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <future>
#include <thread>

#include "base/faults.h"
#include "base/messages.h"
#include "base/sync.h"
#include "source/file_reader.h"
#include "config/module_options.h"
#include "config/module_settings.h"
#include "softds/softds.h"
#include "sound/sound_stream.h"
#include "support/host_timer.h"
#include "support/report_capture.h"
#include "support/test_files.h"
#include "support/wave_image.h"

namespace sonaflux {
namespace {

using test::Bytes;
using test::PatternPcm;
using test::ReportCapture;
using test::TempFile;

class SoundTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings().ResetToDefaults();
        Options().ResetToDefaults();
        DisarmFaults();
    }
    void TearDown() override {
        stream.reset();
        pieceFiles.clear();
        if (device) device->Release();
        Settings().ResetToDefaults();
        Options().ResetToDefaults();
        DisarmFaults();
    }

    // Small rings keep the tests quick: n segments of `segment` bytes.
    void Geometry(int32_t segments, int32_t segment) {
        Settings().NOTIFY_MAX = segments;
        Settings().RING_BUFFER_BLOCK_SIZE = segment;
        Settings().STREAM_BUFFER_SIZE = 3000;  // reader blocks that do not align with anything
    }

    bool Load(const Bytes& pcm, uint16_t channels = 2, uint16_t bits = 16, uint32_t rate = 8000) {
        data = pcm;
        frameBytes = channels * (bits / 8);
        if (!device) {
            softds::DeviceOptions options;
            options.outputRate = rate;
            device = softds::Device::Create(options);
        }
        file = std::make_unique<TempFile>(test::MakeWave(channels, rate, bits, pcm), "wave");
        stream = std::make_unique<SoundStream>();
        return stream->Load(device->Interface(), file->c_str(), 0,
                            static_cast<uint32_t>(data.size() + 44));
    }

    // Queues a WAVE piece of `pcm` (music number: its index among the pieces queued).
    bool Queue(const Bytes& pcm, int32_t loops, uint32_t startFrame, bool replace = false,
               uint16_t channels = 2, uint16_t bits = 16, uint32_t rate = 8000) {
        pieceFiles.push_back(
            std::make_unique<TempFile>(test::MakeWave(channels, rate, bits, pcm), "piece"));
        auto piece = std::make_unique<QueuedPiece>();
        piece->music = static_cast<int32_t>(pieceFiles.size());
        piece->loopCount = loops;
        piece->startFrame = startFrame;
        piece->source = std::make_unique<CMusicSource>();
        if (!piece->source->Open(pieceFiles.back()->c_str(), 0,
                                 static_cast<uint32_t>(pcm.size() + 44))) {
            return false;
        }
        return stream->QueuePiece(std::move(piece), replace);
    }

    std::shared_ptr<softds::BufferRecord> Record() {
        return device->Buffer(device->BufferCount() - 1);
    }

    // Plays on in steps of `bytes` until the buffer stops, at most `limit` bytes.
    void PlayUntilStopped(uint32_t bytes, size_t limit) {
        while (Record()->Playing() && Record()->Played().size() < limit) {
            ASSERT_TRUE(device->Advance(bytes / frameBytes));
        }
    }

    void AdvanceBytes(uint32_t bytes) { ASSERT_TRUE(device->Advance(bytes / frameBytes)); }

    Bytes Slice(size_t from, size_t to) const {
        return Bytes(data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(to));
    }

    static bool AllEqual(const Bytes& b, size_t from, uint8_t value) {
        return std::all_of(b.begin() + static_cast<long>(from), b.end(),
                           [value](uint8_t x) { return x == value; });
    }

    softds::Device* device = nullptr;
    std::unique_ptr<TempFile> file;
    std::unique_ptr<SoundStream> stream;
    Bytes data;
    std::vector<std::unique_ptr<TempFile>> pieceFiles;
    uint32_t frameBytes = 4;
    ReportCapture reports;
};

TEST_F(SoundTest, OnePassPlaysTheWholePieceIncludingItsLastPartialSegmentThenStops) {
    Geometry(8, 4096);
    ASSERT_TRUE(Load(PatternPcm(10 * 4096 + 1000)));
    ASSERT_TRUE(stream->Play(1));
    PlayUntilStopped(1024, 200000);
    const Bytes played = Record()->Played();
    ASSERT_GE(played.size(), data.size());
    EXPECT_EQ(Bytes(played.begin(), played.begin() + static_cast<long>(data.size())), data);
    EXPECT_TRUE(AllEqual(played, data.size(), 0));
    // The last music segment, then half a ring of silence counted out: the buffer stops at
    // the sixth failing notification, after ring segment 11.
    EXPECT_EQ(played.size(), 12u * 4096);
    EXPECT_FALSE(stream->Buffer().IsPlaying());
    EXPECT_EQ(Record()->Underruns(), 0u);
}

TEST_F(SoundTest, EveryPlayOfAPieceEndsTheSameWayAndAPlayAfterTheEndStartsOver) {
    Geometry(8, 4096);
    ASSERT_TRUE(Load(PatternPcm(9 * 4096 + 123)));
    const size_t whole = data.size() - data.size() % frameBytes;  // the part frame never plays
    for (int round = 0; round < 3; ++round) {
        Record()->ClearPlayed();
        ASSERT_TRUE(stream->Play(1)) << round;
        PlayUntilStopped(2048, 200000);
        const Bytes played = Record()->Played();
        ASSERT_GE(played.size(), whole) << round;
        EXPECT_EQ(Bytes(played.begin(), played.begin() + static_cast<long>(whole)), Slice(0, whole))
            << round;
        EXPECT_TRUE(AllEqual(played, whole, 0)) << round;
        EXPECT_EQ(played.size(), 11u * 4096) << round;
    }
    EXPECT_EQ(Record()->Underruns(), 0u);
}

TEST_F(SoundTest, TwoPassesFollowEachOtherWithoutGapOrDuplicate) {
    Geometry(4, 2048);
    ASSERT_TRUE(Load(PatternPcm(7 * 2048 + 500)));
    ASSERT_TRUE(stream->Play(2));
    PlayUntilStopped(512, 200000);
    Bytes expected = data;
    expected.insert(expected.end(), data.begin(), data.end());
    const Bytes played = Record()->Played();
    ASSERT_GE(played.size(), expected.size());
    EXPECT_EQ(Bytes(played.begin(), played.begin() + static_cast<long>(expected.size())), expected);
    EXPECT_TRUE(AllEqual(played, expected.size(), 0));
    EXPECT_EQ(Record()->Underruns(), 0u);
}

TEST_F(SoundTest, LoopCountZeroLoopsForEver) {
    Geometry(8, 1024);
    ASSERT_TRUE(Load(PatternPcm(5000)));
    ASSERT_TRUE(stream->Play(0));
    AdvanceBytes(5 * 5000 + 300);
    const Bytes played = Record()->Played();
    ASSERT_EQ(played.size(), 5u * 5000 + 300);
    for (size_t i = 0; i < played.size(); ++i) {
        ASSERT_EQ(played[i], data[i % data.size()]) << i;
    }
    EXPECT_TRUE(stream->Buffer().IsPlaying());
    EXPECT_EQ(Record()->Underruns(), 0u);
}

TEST_F(SoundTest, LoopPointsSetBeforePlayApplyFromTheFirstPassAndTheSeamIsSampleExact) {
    Geometry(8, 4096);
    ASSERT_TRUE(Load(PatternPcm(40000)));
    // Both points lie inside what the first fill already put into the ring.
    const uint32_t loopStart = 1000, loopEnd = 3000;  // frames of 4 bytes
    ASSERT_TRUE(stream->SetLoopStart(loopStart));
    ASSERT_TRUE(stream->SetLoopEnd(loopEnd));
    ASSERT_TRUE(stream->Play(3));
    PlayUntilStopped(1024, 400000);
    Bytes expected = Slice(0, loopEnd * 4);
    for (int pass = 0; pass < 2; ++pass) {
        const Bytes loop = Slice(loopStart * 4, loopEnd * 4);
        expected.insert(expected.end(), loop.begin(), loop.end());
    }
    const Bytes played = Record()->Played();
    ASSERT_GE(played.size(), expected.size());
    EXPECT_EQ(Bytes(played.begin(), played.begin() + static_cast<long>(expected.size())), expected);
    EXPECT_TRUE(AllEqual(played, expected.size(), 0));
    EXPECT_EQ(Record()->Underruns(), 0u);
}

struct LoopPositionCase {
    int32_t segments, segment;
    size_t dataBytes;
    uint32_t loopStart, loopEnd;  // frames
    int32_t passes;               // 0: endless
    int steps;
};

class LoopPositions : public SoundTest, public ::testing::WithParamInterface<LoopPositionCase> {};

// The position is the frame under the cursor, never above the length, and after the first
// wrap always inside the loop region, also where one segment wraps the loop several times.
TEST_P(LoopPositions, PositionIsTheFrameAtThePlayCursorAcrossWrapsAndNeverAboveTheLength) {
    const LoopPositionCase c = GetParam();
    Geometry(c.segments, c.segment);
    ASSERT_TRUE(Load(PatternPcm(c.dataBytes)));
    const auto frames = static_cast<uint32_t>(c.dataBytes / 4);
    ASSERT_TRUE(stream->SetLoopStart(c.loopStart));
    ASSERT_TRUE(stream->SetLoopEnd(c.loopEnd));
    uint32_t frame = 99;
    ASSERT_TRUE(stream->GetPosition(frame));
    EXPECT_EQ(frame, 0u);
    ASSERT_TRUE(stream->Play(c.passes));
    // The frame heard after `played` bytes: 0..end, then loop start..end for each further
    // pass, then the end.
    auto expectedFrame = [&](uint64_t played) -> uint32_t {
        const uint64_t first = c.loopEnd, loop = c.loopEnd - c.loopStart;
        uint64_t f = played / 4;
        if (f < first) return static_cast<uint32_t>(f);
        f -= first;
        if (c.passes == 0 || f < (c.passes - 1) * loop) {
            return static_cast<uint32_t>(c.loopStart + f % loop);
        }
        return frames;
    };
    for (int step = 0; step < c.steps && Record()->Playing(); ++step) {
        AdvanceBytes(step % 3 == 0 ? 600 : 244);
        ASSERT_TRUE(stream->GetPosition(frame));
        const uint64_t played = Record()->Played().size();
        ASSERT_EQ(frame, expectedFrame(played)) << "after " << played << " bytes";
        ASSERT_LE(frame, stream->Source().m_FrameCount);
    }
    if (c.passes == 0) return;
    EXPECT_FALSE(Record()->Playing());
    ASSERT_TRUE(stream->GetPosition(frame));
    EXPECT_EQ(frame, frames);
}

INSTANTIATE_TEST_SUITE_P(, LoopPositions,
                         ::testing::Values(LoopPositionCase{4, 1000, 24000, 2000, 4500, 3, 400},
                                           // 8000 bytes of loop in 32768-byte segments
                                           LoopPositionCase{4, 32768, 160000, 1000, 3000, 0, 500},
                                           LoopPositionCase{4, 32768, 160000, 1000, 3000, 9, 500}));

TEST_F(SoundTest, SeekThenPlayStartsThereAndStopThenPlayStartsOver) {
    Geometry(8, 2048);
    ASSERT_TRUE(Load(PatternPcm(60000)));
    ASSERT_TRUE(stream->Play(0));
    EXPECT_FALSE(stream->Seek(100));  // refused while playing
    AdvanceBytes(9000);
    ASSERT_TRUE(stream->Stop());
    Record()->ClearPlayed();
    ASSERT_TRUE(stream->Seek(5000));
    uint32_t frame = 0;
    ASSERT_TRUE(stream->GetPosition(frame));
    EXPECT_EQ(frame, 5000u);
    ASSERT_TRUE(stream->Play(0));
    AdvanceBytes(12000);
    EXPECT_EQ(Record()->Played(), Slice(20000, 32000));
    ASSERT_TRUE(stream->GetPosition(frame));
    EXPECT_EQ(frame, 8000u);

    ASSERT_TRUE(stream->Stop());
    Record()->ClearPlayed();
    ASSERT_TRUE(stream->Play(0));
    AdvanceBytes(6000);
    EXPECT_EQ(Record()->Played(), Slice(0, 6000));
    EXPECT_EQ(Record()->Underruns(), 0u);
}

// A notification the worker took just before a stop, but handles only after the host's
// seek has filled the ring again, belongs to the old playback: its refill must not run,
// or it would take the segment after the sought frame from the next refill.
TEST_F(SoundTest, ANotificationFromBeforeAStopDoesNotRefillAfterASeek) {
    Geometry(8, 2048);
    softds::DeviceOptions options;
    options.outputRate = 8000;
    options.settleTimeoutMs = 200;  // the worker is held on purpose below
    device = softds::Device::Create(options);
    ASSERT_TRUE(Load(PatternPcm(80000)));
    ASSERT_TRUE(stream->Play(0));
    AdvanceBytes(3 * 2048);
    {
        // Hold the worker between taking its notification and its refill.
        CCritSecLock hold(stream->Buffer().FillGuard());
        device->Advance(2048 / 4);
        ASSERT_TRUE(stream->Stop());
        ASSERT_TRUE(stream->Seek(10000));
    }
    ASSERT_TRUE(device->WaitIdle());
    Record()->ClearPlayed();
    ASSERT_TRUE(stream->Play(0));
    AdvanceBytes(6 * 2048);
    EXPECT_EQ(Record()->Played(), Slice(40000, 40000 + 6 * 2048));
    EXPECT_EQ(Record()->Underruns(), 0u);
}

TEST_F(SoundTest, PauseAndResumeContinueWithoutAGap) {
    Geometry(8, 2048);
    ASSERT_TRUE(Load(PatternPcm(50000)));
    ASSERT_TRUE(stream->Play(0));
    AdvanceBytes(7000);
    ASSERT_TRUE(stream->Stop());  // the player's pause
    EXPECT_FALSE(stream->Buffer().IsPlaying());
    AdvanceBytes(4000);  // nothing plays
    EXPECT_EQ(Record()->Played().size(), 7000u);
    ASSERT_TRUE(stream->Buffer().Resume());
    AdvanceBytes(20000);
    EXPECT_EQ(Record()->Played(), Slice(0, 27000));
    EXPECT_EQ(Record()->Underruns(), 0u);
}

TEST_F(SoundTest, SeekWhilePausedThenResumePlaysFromTheSoughtFrame) {
    Geometry(8, 2048);
    ASSERT_TRUE(Load(PatternPcm(80000)));
    ASSERT_TRUE(stream->Play(0));
    AdvanceBytes(7000);
    ASSERT_TRUE(stream->Stop());  // the player's pause
    ASSERT_TRUE(stream->Seek(12000));
    Record()->ClearPlayed();
    ASSERT_TRUE(stream->Buffer().Resume());
    uint32_t frame = 0;
    ASSERT_TRUE(stream->GetPosition(frame));
    EXPECT_EQ(frame, 12000u);
    AdvanceBytes(3 * 8 * 2048 + 1000);  // three laps of the ring, across the loop wrap
    const Bytes played = Record()->Played();
    ASSERT_EQ(played.size(), 3u * 8 * 2048 + 1000);
    for (size_t i = 0; i < played.size(); ++i) {
        ASSERT_EQ(played[i], data[(48000 + i) % data.size()]) << i;
    }
    ASSERT_TRUE(stream->GetPosition(frame));
    EXPECT_EQ(frame, (48000 + played.size()) % data.size() / 4);
    EXPECT_EQ(Record()->Underruns(), 0u);
}

// However the end of the data was met, the buffer plays the segment holding the last
// music byte and one segment of silence after it, then stops.
TEST_F(SoundTest, TheStopAfterTheEndComesOneSegmentAfterTheLastMusicByte) {
    struct Case {
        const char* name;
        int32_t segments;
        std::function<void()> start;
        size_t musicFrom, musicTo;  // data bytes heard, in order, before the silence
    };
    constexpr uint32_t S = 4096;
    const size_t bytes = 20 * S + 1000;  // no ring here is shrunk to the data
    const std::vector<Case> cases = {
        {"end met by a refill", 8, [this] { ASSERT_TRUE(stream->Play(1)); }, 0, bytes},
        {"end met by the first fill after a seek", 8,
         [this] {
             ASSERT_TRUE(stream->Seek(static_cast<uint32_t>((data.size() - 1000) / 4)));
             ASSERT_TRUE(stream->Play(1));
         },
         bytes - 1000, bytes},
        {"the same with sixteen segments", 16,
         [this] {
             ASSERT_TRUE(stream->Seek(static_cast<uint32_t>((data.size() - 1000) / 4)));
             ASSERT_TRUE(stream->Play(1));
         },
         bytes - 1000, bytes},
        {"a loop end inside the first fill", 8,
         [this] {
             ASSERT_TRUE(stream->SetLoopEnd(1500));
             ASSERT_TRUE(stream->Play(1));
         },
         0, 6000},
        {"a loop end moved during playback", 8,
         [this] {
             ASSERT_TRUE(stream->Play(1));
             AdvanceBytes(2 * S);
             ASSERT_TRUE(stream->SetLoopEnd((7 * S + 500) / 4));
         },
         0, 7 * S + 500},
        {"a restart after a stop", 8,
         [this] {
             ASSERT_TRUE(stream->Seek(static_cast<uint32_t>((data.size() - 1000) / 4)));
             ASSERT_TRUE(stream->Play(1));
             ASSERT_TRUE(stream->Stop());
             ASSERT_TRUE(stream->Seek(static_cast<uint32_t>((data.size() - 3000) / 4)));
             Record()->ClearPlayed();
             ASSERT_TRUE(stream->Play(1));
         },
         bytes - 3000, bytes},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        stream.reset();
        Geometry(c.segments, S);
        ASSERT_TRUE(Load(PatternPcm(bytes)));
        c.start();
        ASSERT_FALSE(HasFatalFailure());
        PlayUntilStopped(1024, 400000);
        const Bytes played = Record()->Played();
        const size_t music = c.musicTo - c.musicFrom;
        ASSERT_GE(played.size(), music);
        EXPECT_EQ(Bytes(played.begin(), played.begin() + static_cast<long>(music)),
                  Slice(c.musicFrom, c.musicTo));
        EXPECT_TRUE(AllEqual(played, music, 0));
        // The segment of the last music byte, then one more: both played whole.
        EXPECT_EQ(played.size(), ((music - 1) / S + 2) * S);
        EXPECT_FALSE(stream->Buffer().IsPlaying());
        EXPECT_EQ(Record()->Underruns(), 0u);
    }
}

struct FormatCase {
    uint16_t channels;
    uint16_t bits;
    int32_t segments;
};

class SoundFormats : public SoundTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(SoundFormats, ShortFilesAndSmallRingsPlayExactlyInEveryFormat) {
    const FormatCase c = GetParam();
    Settings().NOTIFY_MAX = c.segments;  // default segment size: every file here is short
    const uint32_t frame = c.channels * (c.bits / 8);
    ASSERT_TRUE(Load(PatternPcm(3000 * frame + frame), c.channels, c.bits));
    const auto ring = Record()->Bytes();
    EXPECT_LE(ring, data.size());
    EXPECT_EQ(ring % frame, 0u);
    ASSERT_TRUE(stream->Play(2));
    PlayUntilStopped(ring / 4 + frame, 400000);
    Bytes expected = data;
    expected.insert(expected.end(), data.begin(), data.end());
    const Bytes played = Record()->Played();
    ASSERT_GE(played.size(), expected.size());
    EXPECT_EQ(Bytes(played.begin(), played.begin() + static_cast<long>(expected.size())), expected);
    EXPECT_TRUE(AllEqual(played, expected.size(), c.bits == 8 ? 0x80 : 0x00));
    EXPECT_EQ(Record()->Underruns(), 0u);
}

INSTANTIATE_TEST_SUITE_P(, SoundFormats,
                         ::testing::Values(FormatCase{1, 8, 16}, FormatCase{2, 8, 2},
                                           FormatCase{1, 16, 1}, FormatCase{2, 16, 2},
                                           FormatCase{2, 16, 3}, FormatCase{1, 16, 16}));

// Short files get a ring no larger than their data, unless its segments would hold less
// than 10 ms of audio (80 frames at 8000 Hz): they then hold 10 ms, or the configured
// segment where that is smaller. However large the ring is against the data, tiny files
// play byte-exact: data that ends within the first fill, passes and endless loops that
// wrap many times in one segment, a one-frame file in a ring of one segment.
TEST_F(SoundTest, ShortFilesShrinkTheSegmentButNotBelowTenMilliseconds) {
    struct Case {
        int32_t segments, segment;
        uint32_t dataBytes, segmentBytes;
    };
    for (const Case& c :
         {Case{16, 32768, 100000, 6248}, Case{16, 32768, 524288, 32768}, Case{8, 2048, 6000, 748},
          Case{16, 32768, 4000, 320}, Case{16, 32768, 64, 320}, Case{1, 32768, 4, 320},
          Case{16, 202, 64, 200}, Case{4, 322, 1280, 320}}) {
        SCOPED_TRACE(testing::Message() << c.segments << " x " << c.segment << ", " << c.dataBytes);
        stream.reset();
        Settings().NOTIFY_MAX = c.segments;
        Settings().RING_BUFFER_BLOCK_SIZE = c.segment;
        ASSERT_TRUE(Load(PatternPcm(c.dataBytes)));
        EXPECT_EQ(Record()->Bytes(), c.segments * c.segmentBytes);
        const auto positions = Record()->Notifications();
        ASSERT_EQ(positions.size(), static_cast<size_t>(c.segments));
        for (uint32_t j = 0; j < positions.size(); ++j) {
            EXPECT_EQ(positions[j].dwOffset, (j + 1) * c.segmentBytes - 1);
        }
    }

    struct Play {
        int32_t segments;
        uint32_t dataBytes;
        int32_t passes;  // 0: for ever
    };
    for (const Play& p : {Play{16, 64, 1}, Play{16, 64, 3}, Play{16, 64, 0}, Play{1, 4, 0},
                          Play{1, 4, 2}, Play{4, 1000, 2}}) {
        SCOPED_TRACE(testing::Message() << p.segments << " segments, " << p.dataBytes
                                        << " bytes, passes " << p.passes);
        stream.reset();
        Settings().ResetToDefaults();
        Settings().NOTIFY_MAX = p.segments;
        ASSERT_TRUE(Load(PatternPcm(p.dataBytes)));
        const uint32_t S = Record()->Bytes() / static_cast<uint32_t>(p.segments);
        ASSERT_EQ(S, 320u);
        ASSERT_TRUE(stream->Play(p.passes));
        PlayUntilStopped(212, 7 * 5120);
        const Bytes played = Record()->Played();
        const size_t music = p.passes == 0 ? played.size() : p.passes * size_t{p.dataBytes};
        ASSERT_GE(played.size(), music);
        for (size_t i = 0; i < music; ++i) ASSERT_EQ(played[i], data[i % data.size()]) << i;
        if (p.passes != 0) {
            EXPECT_TRUE(AllEqual(played, music, 0));
            // Then one more segment; in a ring of one segment that is the same one, whose
            // notification after the first fill met the end stops it.
            const size_t more = p.segments == 1 ? 1 : 2;
            EXPECT_EQ(played.size(), ((music - 1) / S + more) * S);
            EXPECT_FALSE(stream->Buffer().IsPlaying());
        }
        EXPECT_EQ(Record()->Underruns(), 0u);
    }
}

TEST_F(SoundTest, BufferDescriptionFollowsTheOptionsAndFocusSetting) {
    ASSERT_TRUE(Load(PatternPcm(8000)));
    EXPECT_EQ(Record()->Flags(), 0x10188u);
    EXPECT_EQ(Record()->DescSize(), sizeof(ds::DSBUFFERDESC));
    EXPECT_EQ(Record()->Format().wFormatTag, 1);
    EXPECT_EQ(Record()->Format().nBlockAlign, 4);
    EXPECT_EQ(Record()->Format().nAvgBytesPerSec, 32000u);
    stream.reset();
    Options().softwareBuffer = false;
    Options().shortBufferDesc = true;
    ASSERT_TRUE(Load(PatternPcm(8000)));
    EXPECT_EQ(Record()->Flags(), 0x10180u);
    EXPECT_EQ(Record()->DescSize(), sizeof(ds::DSBUFFERDESC1));
    stream.reset();
    Options().ResetToDefaults();
    Settings().GLOBALFOCUS = true;
    ASSERT_TRUE(Load(PatternPcm(8000)));
    EXPECT_EQ(Record()->Flags(), 0x18188u);
}

TEST_F(SoundTest, LoadAndUnloadRulesAndAFailedLoadCanBeRepeated) {
    SoundStream never;
    EXPECT_FALSE(never.Unload());  // nothing to signal
    ASSERT_TRUE(Load(PatternPcm(8000)));
    EXPECT_FALSE(stream->Load(device->Interface(), file->c_str(), 0, 8044));  // already loaded
    EXPECT_TRUE(reports.Boxes().empty());
    ASSERT_TRUE(stream->Unload());
    EXPECT_TRUE(Record()->Released());
    ASSERT_TRUE(stream->Load(device->Interface(), file->c_str(), 0, 8044));
    ASSERT_TRUE(stream->Unload());

    struct Failure {
        softds::Op op;
        const char* box;
    };
    for (const Failure& f :
         {Failure{softds::Op::CreateSoundBuffer, msg::kBufferCreateFailed},
          Failure{softds::Op::QueryInterface, msg::kNotifyQueryFailed},
          Failure{softds::Op::SetNotificationPositions, msg::kSetPositionsFailed}}) {
        reports.Clear();
        device->FailNext(f.op);
        EXPECT_FALSE(stream->Load(device->Interface(), file->c_str(), 0, 8044)) << f.box;
        EXPECT_EQ(reports.CountBox(f.box), 1) << f.box;
        ASSERT_TRUE(stream->Load(device->Interface(), file->c_str(), 0, 8044)) << f.box;
        ASSERT_TRUE(stream->Unload());
    }
    struct PlatformFailure {
        FaultPoint point;
        const char* box;
        bool raisePriority;
    };
    for (const PlatformFailure& f :
         {PlatformFailure{FaultPoint::EventCreate, msg::kEventCreateFailed, false},
          PlatformFailure{FaultPoint::ThreadStart, msg::kThreadCreateFailed, false},
          PlatformFailure{FaultPoint::ThreadPriority, msg::kSetPriorityFailed, true}}) {
        reports.Clear();
        Options().keepPriority = !f.raisePriority;
        ArmFault(f.point);
        EXPECT_FALSE(stream->Load(device->Interface(), file->c_str(), 0, 8044)) << f.box;
        EXPECT_EQ(reports.CountBox(f.box), 1) << f.box;
        DisarmFaults();
        ASSERT_TRUE(stream->Load(device->Interface(), file->c_str(), 0, 8044)) << f.box;
        ASSERT_TRUE(stream->Unload());
    }
    for (size_t i = 0; i < device->BufferCount(); ++i) EXPECT_TRUE(device->Buffer(i)->Released());
}

TEST_F(SoundTest, AbsurdSettingsRefuseTheLoadWithAMessage) {
    struct Case {
        int32_t segments, segment;
        uint32_t dataBytes;
        const char* box;
    };
    for (const Case& c :
         {Case{0, 4096, 8000, msg::kBadSegmentCount}, Case{-3, 4096, 8000, msg::kBadSegmentCount},
          Case{64, 4096, 8000, msg::kBadSegmentCount}, Case{16, 0, 8000, msg::kBadSegmentSize},
          Case{16, -5, 8000, msg::kBadSegmentSize}, Case{63, 4096, 100, msg::kDataTooShort},
          Case{63, 0x7FFFFFFF, 400000, nullptr}}) {
        reports.Clear();
        Geometry(c.segments, c.segment);
        if (c.box == nullptr) {
            // A huge segment size is shrunk to the data: this one loads.
            EXPECT_TRUE(Load(PatternPcm(c.dataBytes)));
            continue;
        }
        EXPECT_FALSE(Load(PatternPcm(c.dataBytes))) << c.box;
        ASSERT_EQ(reports.Boxes().size(), 1u) << c.box;
        EXPECT_EQ(reports.Boxes()[0].rfind(std::string(c.box).substr(0, 10), 0), 0u)
            << reports.Boxes()[0];
    }
    // Segments smaller than one frame are the setting's fault, not the data's (a file of
    // four seconds here); a reader block of 0 bytes is the setting's fault, not the file's.
    auto text = [](const char* format, auto... values) {
        char out[256];
        std::snprintf(out, sizeof out, format, values...);
        return std::string(out);
    };
    for (int32_t segment : {1, 3}) {
        stream.reset();
        reports.Clear();
        Geometry(16, segment);
        EXPECT_FALSE(Load(PatternPcm(4 * 8000 * 4)));
        EXPECT_EQ(reports.Boxes(),
                  std::vector<std::string>{text(msg::kSegmentBelowFrame, 4u, segment)});
    }
    stream.reset();
    Settings().ResetToDefaults();
    Settings().STREAM_BUFFER_SIZE = 0;  // the reader can never fill a block
    reports.Clear();
    EXPECT_FALSE(Load(PatternPcm(8000)));
    EXPECT_EQ(reports.Boxes(), std::vector<std::string>{text(msg::kBadReadBlockSize, 0)});
}

// A worker held inside its disk read holds the fill lock; the host's position query must
// not wait for it.
TEST_F(SoundTest, APositionQueryNeverWaitsForAWorkerReadingTheDisk) {
    Geometry(8, 2048);
    Settings().STREAM_BUFFER_SIZE = 2048;  // every refill reads the disk
    softds::DeviceOptions options;
    options.outputRate = 8000;
    options.settleTimeoutMs = 100;  // the worker is held on purpose below
    device = softds::Device::Create(options);
    ASSERT_TRUE(Load(PatternPcm(80000)));
    ASSERT_TRUE(stream->Play(0));
    AdvanceBytes(2 * 2048);
    FileReadGuard().Enter();
    device->Advance(2048 / 4);  // the worker now waits inside its read, holding the fill lock
    auto query = std::async(std::launch::async, [this] {
        uint32_t frame = 0;
        return stream->GetPosition(frame) ? frame : 0xFFFFFFFFu;
    });
    const bool answered = query.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    FileReadGuard().Leave();
    EXPECT_TRUE(answered) << "the position query waited for the disk read";
    EXPECT_EQ(query.get(), 3u * 2048 / 4);
    ASSERT_TRUE(device->WaitIdle());
}

// A worker that falls behind the clock by more than its half-ring lead: what plays
// meanwhile is counted as underrun; once it has caught up, the music is where the clock
// says, in order, and the loop seam exact, with nothing stale played again.
TEST_F(SoundTest, ALateWorkerCatchesUpWithTheMusicInOrder) {
    constexpr uint32_t S = 2048;
    Geometry(8, S);
    Settings().STREAM_BUFFER_SIZE = S;  // every refill reads the disk
    softds::DeviceOptions options;
    options.outputRate = 8000;
    options.settleTimeoutMs = 100;  // the worker is held on purpose below
    device = softds::Device::Create(options);
    ASSERT_TRUE(Load(PatternPcm(40000)));
    ASSERT_TRUE(stream->SetLoopStart(1000));
    ASSERT_TRUE(stream->Play(0));
    AdvanceBytes(5 * S);  // notifications 0..4 handled: segments up to 8 written
    auto unlocks = [this] {
        const auto calls = Record()->Calls();
        return std::count_if(calls.begin(), calls.end(), [](const softds::CallRecord& c) {
            return c.op == softds::Op::Unlock;
        });
    };
    const auto before = unlocks();
    // A slow disk: the worker stalls in the read of its next refill while the clock
    // plays six segments, past the two it had written ahead.
    FileReadGuard().Enter();
    for (int i = 0; i < 6; ++i) device->Advance(S / 4);
    FileReadGuard().Leave();
    // One refill for each notification: the one it stalled in and the five pending.
    ASSERT_TRUE(test::Eventually([&] { return unlocks() == before + 6; }));
    EXPECT_EQ(Record()->Underruns(), 2u * S);  // ring segments 1 and 2 played stale
    AdvanceBytes(4 * 8 * S);                   // four laps, across two loop seams
    // The worker saw the cursor past what it had written: one underrun, reported once.
    char underrun[128];
    std::snprintf(underrun, sizeof underrun, msg::kUnderrun, 1u);
    EXPECT_EQ(reports.CountDebug(underrun), 1);
    EXPECT_EQ(reports.DebugLines().size(), 1u);

    auto expected = [this](size_t at) {  // the endless stream: 0..40000, then from 4000
        return at < data.size() ? data[at] : data[4000 + (at - data.size()) % 36000];
    };
    const Bytes played = Record()->Played();
    ASSERT_EQ(played.size(), 11u * S + 4 * 8 * S);
    for (size_t i = 0; i < played.size(); ++i) {
        if (i >= 9 * S && i < 11 * S) continue;  // the two segments played stale
        ASSERT_EQ(played[i], expected(i)) << i;
    }
    EXPECT_EQ(Record()->Underruns(), 2u * S);
}

// A clock that plays on while the worker refills and waits for it only at bytes not
// written yet (an offline render) finds the worker there at every refill: the cursor on
// the first byte of the segment being refilled has played none of it. No underrun is
// reported, none happens, and the music plays exactly, in rings of short segments too.
TEST_F(SoundTest, AClockThatWaitsForTheWorkerSeesNoUnderrun) {
    for (const int32_t segment : {512, 32768}) {
        SCOPED_TRACE(segment);
        stream.reset();
        if (device) device->Release();
        reports.Clear();
        Geometry(8, segment);
        softds::DeviceOptions options;
        options.outputRate = 8000;
        options.overlapWorkers = true;
        device = softds::Device::Create(options);
        ASSERT_TRUE(Load(PatternPcm(20000)));  // with 32768: a short file, segments of 2500 bytes
        ASSERT_TRUE(stream->Play(0));
        for (int i = 0; i < 40; ++i) AdvanceBytes(3000);
        char underrun[128];
        std::snprintf(underrun, sizeof underrun, msg::kUnderrun, 1u);
        EXPECT_EQ(reports.CountDebug(underrun), 0);
        EXPECT_TRUE(reports.DebugLines().empty());
        EXPECT_EQ(Record()->Underruns(), 0u);
        const Bytes played = Record()->Played();
        ASSERT_EQ(played.size(), 40u * 3000);
        for (size_t i = 0; i < played.size(); ++i) ASSERT_EQ(played[i], data[i % data.size()]) << i;
    }
}

TEST_F(SoundTest, APositionQueryThatFailsIsShown) {
    ASSERT_TRUE(Load(PatternPcm(8000)));
    ASSERT_TRUE(stream->Play(0));
    device->FailNext(softds::Op::GetCurrentPosition);
    EXPECT_EQ(stream->Buffer().PlayCursor(), 0u);
    EXPECT_EQ(reports.CountBox(msg::kPositionFailed), 1);
}

TEST(SoundRealTime, TenSecondsOfPlaybackWithoutUnderrun) {
    Settings().ResetToDefaults();
    softds::DeviceOptions options;
    options.clock = softds::ClockKind::RealTime;
    options.outputRate = 22050;
    options.recordPlayed = false;
    softds::Device* device = softds::Device::Create(options);
    {
        TempFile file(test::MakeWave(2, 22050, 16, PatternPcm(22050 * 4 * 3)), "rt");
        SoundStream stream;
        ASSERT_TRUE(stream.Load(device->Interface(), file.c_str(), 0, 22050 * 4 * 3 + 44));
        ASSERT_TRUE(stream.Play(0));
        // Until the device's clock has played ten seconds; a clock that stalls fails the
        // wait's bound, which is generous for a loaded machine.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (device->Frames() < 22050u * 10 && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_GE(device->Frames(), 22050u * 10);
        auto record = device->Buffer(0);
        EXPECT_TRUE(record->Playing());
        EXPECT_EQ(record->Underruns(), 0u);
        ASSERT_TRUE(stream.Unload());
    }
    device->Release();
}

namespace pieces {

// One piece of a chain: its data, its passes and the frame its first pass starts at.
struct Piece {
    size_t bytes;
    int32_t loops;
    uint32_t startFrame;
};

struct SeamCase {
    const char* name;
    int32_t segments, segment;
    Piece loaded;  // startFrame: a Seek before Play (0: none)
    std::vector<Piece> queued;
    size_t queueAfter;  // bytes played before the pieces are queued (0: before Play)
};

// What the chain sounds like: every pass of every piece in order, with where in which
// piece each run of played bytes lies.
struct PlayedRun {
    size_t at;      // first played byte of the run
    size_t piece;   // 0: the loaded piece
    size_t dataAt;  // its first data byte
    size_t bytes;
};

// The events the chain gives, in the order they are heard: a queued piece's start or a
// wrap where a run begins, the markers inside (one in the middle of every piece), and a
// piece's end after its last run.
std::vector<PendingEvent> ExpectedEvents(const std::vector<Piece>& chain,
                                         const std::vector<PlayedRun>& runs) {
    std::vector<PendingEvent> events;
    for (size_t i = 0; i < runs.size(); ++i) {
        const PlayedRun& r = runs[i];
        const auto music = static_cast<int32_t>(r.piece);
        const auto at = static_cast<int64_t>(r.at);
        const bool firstRun = i == 0 || runs[i - 1].piece != r.piece;
        if (firstRun && r.piece != 0) {
            events.push_back({at, MusicEvent::kPieceStart, music, chain[r.piece].startFrame});
        } else if (!firstRun) {
            events.push_back({at, MusicEvent::kLoopWrap, music, 0});
        }
        const size_t marker = chain[r.piece].bytes / 8 * 4;  // frame bytes / 2, whole frames
        if (marker >= r.dataAt && marker < r.dataAt + r.bytes) {
            events.push_back({at + static_cast<int64_t>(marker - r.dataAt), MusicEvent::kMarker,
                              music, static_cast<uint32_t>(marker / 4)});
        }
        if (i + 1 == runs.size() || runs[i + 1].piece != r.piece) {
            events.push_back({at + static_cast<int64_t>(r.bytes), MusicEvent::kPieceEnd, music,
                              static_cast<uint32_t>(chain[r.piece].bytes / 4)});
        }
    }
    return events;
}

std::vector<PlayedRun> Timeline(const std::vector<Piece>& chain) {
    std::vector<PlayedRun> runs;
    size_t at = 0;
    for (size_t i = 0; i < chain.size(); ++i) {
        const Piece& p = chain[i];
        for (int32_t pass = 0; pass < std::max(p.loops, 1); ++pass) {
            const size_t from = pass == 0 ? p.startFrame * 4u : 0;
            runs.push_back({at, i, from, p.bytes - from});
            at += p.bytes - from;
        }
    }
    return runs;
}

class Seams : public SoundTest, public ::testing::WithParamInterface<SeamCase> {};

// The ring plays the last frame of a piece and then the first frame of the next, wherever
// the seam falls; position, length and format follow the piece heard.
TEST_P(Seams, QueuedPiecesFollowSampleExactlyAndThePositionFollowsThePieceHeard) {
    const SeamCase c = GetParam();
    Geometry(c.segments, c.segment);
    std::vector<Piece> chain = {c.loaded};
    chain.insert(chain.end(), c.queued.begin(), c.queued.end());
    std::vector<Bytes> pcm;
    for (size_t i = 0; i < chain.size(); ++i) {
        pcm.push_back(PatternPcm(chain[i].bytes, static_cast<uint32_t>(i + 2)));
    }
    ASSERT_TRUE(Load(pcm[0]));
    stream->EnableEvents();
    for (size_t i = 0; i < chain.size(); ++i) {
        ASSERT_TRUE(
            stream->AddMarker(static_cast<int32_t>(i), static_cast<uint32_t>(chain[i].bytes / 8)));
    }
    ASSERT_TRUE(stream->Seek(c.loaded.startFrame));  // the first fill notes events now
    auto queueAll = [&] {
        for (size_t i = 1; i < chain.size(); ++i) {
            ASSERT_TRUE(Queue(pcm[i], chain[i].loops, chain[i].startFrame)) << i;
        }
    };
    // Queued on a ring whose fill met the end, the ring is filled again: the first seam is
    // written at once.
    const bool metEnd = stream->Buffer().FillHitEnd();
    if (c.queueAfter == 0) queueAll();
    ASSERT_FALSE(HasFatalFailure());
    if (c.queueAfter == 0 && metEnd) {
        EXPECT_LT(stream->QueuedCount(), static_cast<int32_t>(chain.size() - 1));
    } else {
        EXPECT_EQ(stream->QueuedCount(),
                  static_cast<int32_t>(c.queueAfter == 0 ? chain.size() - 1 : 0));
    }
    ASSERT_TRUE(stream->Play(c.loaded.loops));
    if (c.queueAfter != 0) {
        AdvanceBytes(static_cast<uint32_t>(c.queueAfter));
        queueAll();
        ASSERT_FALSE(HasFatalFailure());
    }

    const std::vector<PlayedRun> runs = Timeline(chain);
    Bytes expected;
    for (const PlayedRun& r : runs) {
        expected.insert(expected.end(), pcm[r.piece].begin() + static_cast<long>(r.dataAt),
                        pcm[r.piece].begin() + static_cast<long>(r.dataAt + r.bytes));
    }
    const std::vector<PendingEvent> events = ExpectedEvents(chain, runs);
    size_t heard = 0;  // events taken so far
    auto poll = [&](int64_t played) {
        PendingEvent e;
        while (stream->TakeEvent(e)) {
            ASSERT_LT(heard, events.size());
            const PendingEvent& want = events[heard++];
            ASSERT_LT(want.at, played) << "event " << heard << " before it was heard";
            ASSERT_EQ(e.kind, want.kind) << "event " << heard << " at " << want.at;
            ASSERT_EQ(e.music, want.music) << "event " << heard;
            ASSERT_EQ(e.frame, want.frame) << "event " << heard;
        }
        // Every event the cursor passed was handed out.
        ASSERT_TRUE(heard == events.size() || events[heard].at >= played)
            << "event " << heard + 1 << " at " << events[heard].at << " missing at " << played;
    };
    // The cursor stops on every event's byte and one frame after it, and every 700 bytes.
    std::vector<size_t> stops;
    for (const PendingEvent& e : events) {
        stops.push_back(static_cast<size_t>(e.at));
        stops.push_back(static_cast<size_t>(e.at) + 4);
    }
    for (size_t at = 700; at < expected.size(); at += 700) stops.push_back(at);
    std::sort(stops.begin(), stops.end());
    for (const size_t stop : stops) {
        const size_t before = Record()->Played().size();
        if (stop <= before || !Record()->Playing()) continue;
        AdvanceBytes(static_cast<uint32_t>(stop - before));
        const size_t played = Record()->Played().size();
        poll(static_cast<int64_t>(played));
        ASSERT_FALSE(HasFatalFailure());
        if (played >= expected.size()) break;
        const auto run =
            std::prev(std::upper_bound(runs.begin(), runs.end(), played,
                                       [](size_t at, const PlayedRun& r) { return at < r.at; }));
        uint32_t frame = 0;
        ASSERT_TRUE(stream->GetPosition(frame));
        ASSERT_EQ(frame, (run->dataAt + played - run->at) / 4) << "after " << played;
        ASSERT_EQ(stream->HeardPiece() == 0, run->piece == 0) << "after " << played;
        ASSERT_EQ(stream->HeardSource().m_FrameCount, chain[run->piece].bytes / 4);
    }
    PlayUntilStopped(1024, 400000);
    const Bytes played = Record()->Played();
    poll(static_cast<int64_t>(played.size()));
    EXPECT_EQ(heard, events.size());
    EXPECT_EQ(stream->LostEvents(), 0u);
    ASSERT_GE(played.size(), expected.size());
    EXPECT_EQ(Bytes(played.begin(), played.begin() + static_cast<long>(expected.size())), expected);
    EXPECT_TRUE(AllEqual(played, expected.size(), 0));
    EXPECT_FALSE(stream->Buffer().IsPlaying());
    EXPECT_EQ(Record()->Underruns(), 0u);
    uint32_t frame = 0;
    ASSERT_TRUE(stream->GetPosition(frame));
    EXPECT_EQ(frame, chain.back().bytes / 4);  // the end of the last piece
    EXPECT_EQ(stream->QueuedCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    , Seams,
    ::testing::Values(
        SeamCase{"RefillMidSegment", 8, 1024, {10 * 1024 + 300, 1, 0}, {{5000, 1, 0}}, 0},
        SeamCase{"SegmentBoundary", 8, 1024, {10 * 1024, 1, 0}, {{5000, 1, 0}}, 0},
        SeamCase{"FirstFillAfterASeek", 8, 1024, {12000, 1, 2625}, {{3000, 1, 0}}, 0},
        SeamCase{"OneFramePieceInAChain", 8, 1024, {9000, 1, 0}, {{4, 1, 0}, {3000, 1, 0}}, 0},
        SeamCase{"PiecesShorterThanASegment", 8, 1024, {9000, 1, 0}, {{600, 1, 0}, {700, 2, 0}}, 0},
        SeamCase{"ChainWithPassesAndStartFrames",
                 8,
                 1024,
                 {9000, 2, 0},
                 {{5000, 3, 100}, {2500, 1, 10}},
                 0},
        SeamCase{"QueuedWhilePlaying", 8, 1024, {20000, 1, 0}, {{3000, 1, 0}}, 4096},
        SeamCase{
            "TwoSegmentRing", 2, 1024, {4000, 1, 0}, {{1500, 1, 0}, {4, 1, 0}, {2048, 1, 0}}, 0},
        SeamCase{"OneSegmentRing", 1, 2048, {4000, 1, 0}, {{1500, 1, 0}, {2052, 1, 0}}, 0},
        SeamCase{"LargeSegments", 4, 32768, {140000, 1, 0}, {{70000, 2, 7}}, 0}),
    [](const ::testing::TestParamInfo<SeamCase>& p) { return std::string(p.param.name); });

// Until its seam is written, a queued piece can be replaced or dropped; once the ring holds
// the end of the last piece, nothing more can follow it without a gap.
TEST_F(SoundTest, ReplaceAndClearActUntilTheSeamIsWrittenAndALateQueueIsRefused) {
    Geometry(8, 1024);
    const Bytes first = PatternPcm(9000, 2), second = PatternPcm(3000, 3),
                third = PatternPcm(2000, 4);
    ASSERT_TRUE(Load(first));
    ASSERT_TRUE(Queue(PatternPcm(5000, 5), 1, 0));
    ASSERT_TRUE(Queue(PatternPcm(5000, 6), 1, 0));
    EXPECT_EQ(stream->ClearQueue(), 2);
    ASSERT_TRUE(Queue(PatternPcm(5000, 7), 1, 0));
    ASSERT_TRUE(stream->Play(1));
    AdvanceBytes(2048);
    ASSERT_TRUE(Queue(second, 1, 0, true));  // replaces the piece not yet joined
    EXPECT_EQ(stream->QueuedCount(), 1);
    AdvanceBytes(4096);  // the seam is written now
    EXPECT_EQ(stream->QueuedCount(), 0);
    EXPECT_EQ(stream->ClearQueue(), 0);  // a joined piece stays
    ASSERT_TRUE(Queue(third, 1, 0));
    AdvanceBytes(6000);  // the end of `third` is in the ring
    reports.Clear();
    EXPECT_FALSE(Queue(PatternPcm(1000, 8), 1, 0));
    EXPECT_EQ(reports.CountBox(msg::kPieceQueueTooLate), 1);
    PlayUntilStopped(1024, 400000);
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    expected.insert(expected.end(), third.begin(), third.end());
    const Bytes played = Record()->Played();
    ASSERT_GE(played.size(), expected.size());
    EXPECT_EQ(Bytes(played.begin(), played.begin() + static_cast<long>(expected.size())), expected);
    EXPECT_TRUE(AllEqual(played, expected.size(), 0));
    EXPECT_EQ(Record()->Underruns(), 0u);
}

// A loop of two frames wraps 128 times per segment: the events outgrow the queue, and
// what cannot wait is counted, not silently dropped; what waits comes out in order.
TEST_F(SoundTest, EventsBeyondTheQueueAreCountedAndTheRestComeInOrder) {
    Geometry(8, 1024);
    ASSERT_TRUE(Load(PatternPcm(9000, 2)));
    stream->EnableEvents();
    ASSERT_TRUE(stream->SetLoopStart(0));
    ASSERT_TRUE(stream->SetLoopEnd(2));  // refills the unplayed ring, noting its wraps
    ASSERT_TRUE(stream->Play(0));
    PendingEvent e;
    EXPECT_FALSE(stream->TakeEvent(e));  // nothing heard yet
    AdvanceBytes(8 * 1024);              // 12 segments written: 1535 wraps
    EXPECT_EQ(stream->LostEvents(), 1535u - SequenceEvents::kCapacity);
    size_t taken = 0;
    while (stream->TakeEvent(e)) {
        ++taken;
        ASSERT_EQ(e.kind, MusicEvent::kLoopWrap);
        ASSERT_EQ(e.at, static_cast<int64_t>(8 * taken));
    }
    EXPECT_EQ(taken, 1023u);  // the 1024th lies at byte 8192, not yet passed
    AdvanceBytes(4);
    ASSERT_TRUE(stream->TakeEvent(e));
    EXPECT_EQ(e.at, 8192);
}

struct SwitchCase {
    const char* name;
    int32_t when, frame, grid;
    size_t cutAt;  // played frames before the switch's first frame; 0: "now", within 100 ms
    // A crossfade (0: a plain cut), the format, the first piece's passes (0: endless) and
    // whether both pieces are full scale.
    int32_t crossfadeMs = 0;
    uint16_t channels = 2, bits = 16;
    int32_t passes = 0;
    bool fullScale = false;
};

// What a crossfaded switch plays: the first piece (from `cut` on, going on as it plays:
// wrapping when endless, silence after its end) under the second one, with the gains the
// module documents, each sum rounded and clamped, computed here sample by sample.
Bytes ExpectedSwitch(const Bytes& first, const Bytes& tail, size_t cut, const SwitchCase& c,
                     size_t frameBytes) {
    const size_t sampleBytes = c.bits / 8u;
    const auto read = [&](const Bytes& b, size_t at) -> int32_t {
        if (sampleBytes == 1) return b[at] - 128;
        return static_cast<int16_t>(b[at] | (b[at + 1] << 8));
    };
    Bytes out(cut + tail.size());
    for (size_t i = 0; i < cut; ++i) out[i] = first[i % first.size()];
    const size_t fadeFrames = static_cast<size_t>(c.crossfadeMs) * 8000 / 1000;
    const long double quarter = std::acos(-1.0L) / 2;
    for (size_t i = 0; i < tail.size(); i += sampleBytes) {
        const size_t k = i / frameBytes;
        const size_t from = cut + i;  // the first piece's byte, had it gone on
        int32_t value = read(tail, i);
        if (k < fadeFrames) {
            const bool over = c.passes == 1 && from >= first.size();
            const int32_t old = over ? 0 : read(first, from % first.size());
            const long double angle = quarter * static_cast<long double>(k) / fadeFrames;
            const long double low = sampleBytes == 1 ? -128 : -32768;
            const long double high = sampleBytes == 1 ? 127 : 32767;
            value = static_cast<int32_t>(
                std::clamp(std::round(old * std::cos(angle) + value * std::sin(angle)), low, high));
        }
        if (sampleBytes == 1) {
            out[cut + i] = static_cast<uint8_t>(value + 128);
        } else {
            out[cut + i] = static_cast<uint8_t>(value & 0xFF);
            out[cut + i + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
        }
    }
    return out;
}

// Whether `played` holds `expected` from `from` on, each sample within 1 LSB.
bool WithinOneLsb(const Bytes& played, const Bytes& expected, size_t from, uint16_t bits,
                  size_t* firstBad = nullptr) {
    if (played.size() < expected.size()) return false;
    const size_t step = bits / 8u;
    for (size_t i = from; i < expected.size(); i += step) {
        const int32_t a =
            step == 1 ? played[i] : static_cast<int16_t>(played[i] | (played[i + 1] << 8));
        const int32_t b =
            step == 1 ? expected[i] : static_cast<int16_t>(expected[i] | (expected[i + 1] << 8));
        if (std::abs(a - b) > 1) {
            if (firstBad != nullptr) *firstBad = i;
            return false;
        }
    }
    return true;
}

class Switches : public SoundTest, public ::testing::WithParamInterface<SwitchCase> {};

// A piece of 5000 frames is left 750 frames in (the ring is written up to 1536) for a
// piece of 1250 frames played once from frame 25: before the point the first piece, after
// it the second, frame-exact, whether the point was written already or not; with a
// crossfade, the first piece goes on under the second as the mix computed here.
TEST_P(Switches, ASwitchLeavesThePieceHeardExactlyAtItsPoint) {
    const SwitchCase c = GetParam();
    const uint32_t fb = c.channels * (c.bits / 8u);
    Geometry(8, static_cast<int32_t>(256 * fb));
    Bytes first = PatternPcm(5000 * fb, 2), second = PatternPcm(1250 * fb, 3);
    if (c.fullScale) {
        // The highest sample: 127 (8-bit), 32767 (16-bit little-endian).
        for (size_t i = 0; i < first.size(); ++i) first[i] = c.bits == 16 && i % 2 ? 0x7F : 0xFF;
        std::copy(first.begin(), first.begin() + static_cast<long>(second.size()), second.begin());
    }
    ASSERT_TRUE(Load(first, c.channels, c.bits));
    stream->EnableEvents();
    ASSERT_TRUE(stream->Seek(0));
    ASSERT_TRUE(stream->Play(c.passes));
    AdvanceBytes(750 * fb);
    pieceFiles.push_back(
        std::make_unique<TempFile>(test::MakeWave(c.channels, 8000, c.bits, second), "piece"));
    auto piece = std::make_unique<QueuedPiece>();
    piece->music = 1;
    piece->startFrame = 25;
    piece->source = std::make_unique<CMusicSource>();
    ASSERT_TRUE(piece->source->Open(pieceFiles.back()->c_str(), 0,
                                    static_cast<uint32_t>(second.size() + 44)));
    ASSERT_TRUE(stream->SwitchTo(std::move(piece), c.when, static_cast<uint32_t>(c.frame),
                                 static_cast<uint32_t>(c.grid),
                                 static_cast<uint32_t>(c.crossfadeMs)));
    PlayUntilStopped(256 * fb, 100000 * fb);
    const Bytes played = Record()->Played();
    const Bytes tail(second.begin() + 25 * fb, second.end());
    size_t cut = c.cutAt * fb;
    if (cut == 0) {
        // "Now": the first frame of the new piece within 100 ms (800 frames) of the call.
        for (size_t at = 750 * fb; at <= 1550 * fb && cut == 0; at += fb) {
            if (WithinOneLsb(played, ExpectedSwitch(first, tail, at, c, fb), at, c.bits)) cut = at;
        }
        ASSERT_NE(cut, 0u) << "no seam within 100 ms";
    }
    const Bytes expected = ExpectedSwitch(first, tail, cut, c, fb);
    ASSERT_GE(played.size(), expected.size());
    for (size_t i = 0; i < cut; ++i) ASSERT_EQ(played[i], first[i % first.size()]) << i;
    size_t bad = 0;
    EXPECT_TRUE(WithinOneLsb(played, expected, cut, c.bits, &bad))
        << "byte " << bad << " of " << expected.size() << ", switch at " << cut;
    EXPECT_TRUE(AllEqual(played, expected.size(), c.bits == 8 ? 0x80 : 0));
    EXPECT_EQ(Record()->Underruns(), 0u);
    // The switch is an event where it is heard, with the new piece's start frame.
    PendingEvent e;
    bool started = false;
    while (stream->TakeEvent(e)) {
        if (e.kind == MusicEvent::kPieceStart) {
            EXPECT_EQ(e.at, static_cast<int64_t>(cut));
            EXPECT_EQ(e.music, 1);
            EXPECT_EQ(e.frame, 25u);
            started = true;
        }
    }
    EXPECT_TRUE(started);
}

INSTANTIATE_TEST_SUITE_P(
    , Switches,
    ::testing::Values(
        SwitchCase{"Now", MusicSequence::kSwitchNow, 0, 0, 0},
        SwitchCase{"AtAFrameWrittenAlready", MusicSequence::kSwitchAtFrame, 1250, 0, 1250},
        SwitchCase{"AtAFrameOnASegmentBoundary", MusicSequence::kSwitchAtFrame, 1280, 0, 1280},
        // Closer to the cursor than the 40 ms the rewrite may take: next pass.
        SwitchCase{"AtAFrameTooClose", MusicSequence::kSwitchAtFrame, 1024, 0, 6024},
        SwitchCase{"AtAFrameNotWrittenYet", MusicSequence::kSwitchAtFrame, 3000, 0, 3000},
        SwitchCase{"AtAFrameHeardAlreadyInTheNextPass", MusicSequence::kSwitchAtFrame, 100, 0,
                   5100},
        SwitchCase{"AtTheLoopWrap", MusicSequence::kSwitchAtLoop, 0, 0, 5000},
        // The first line beyond the margin (frame 750 + 320): 10 + 4 * 333.
        SwitchCase{"OnAGridLineWrittenAlready", MusicSequence::kSwitchOnGrid, 10, 333, 1342},
        SwitchCase{"OnAGridLineAtASegmentStart", MusicSequence::kSwitchOnGrid, 0, 2048, 2048},
        // Crossfades: the first piece goes on under the second from the point.
        SwitchCase{"CrossfadeNow", MusicSequence::kSwitchNow, 0, 0, 0, 100},
        SwitchCase{"CrossfadeNowMono8", MusicSequence::kSwitchNow, 0, 0, 0, 100, 1, 8},
        SwitchCase{"CrossfadeAtAFrameWritten", MusicSequence::kSwitchAtFrame, 1250, 0, 1250, 50},
        SwitchCase{"CrossfadeAtAFrameNotWritten8", MusicSequence::kSwitchAtFrame, 3000, 0, 3000, 60,
                   2, 8},
        SwitchCase{"CrossfadeAtTheLoopWrapMono16", MusicSequence::kSwitchAtLoop, 0, 0, 5000, 80, 1,
                   16},
        SwitchCase{"CrossfadeOnAGridLine", MusicSequence::kSwitchOnGrid, 10, 333, 1342, 30},
        // Longer than what remains of the first piece's last pass: silence under the rest.
        SwitchCase{"CrossfadePastTheOutgoingEnd", MusicSequence::kSwitchAtFrame, 4900, 0, 4900, 100,
                   2, 16, 1},
        // Two full-scale pieces sum above the range in the middle: it saturates.
        SwitchCase{"CrossfadeSaturates16", MusicSequence::kSwitchAtFrame, 1250, 0, 1250, 100, 2, 16,
                   0, true},
        SwitchCase{"CrossfadeSaturates8", MusicSequence::kSwitchAtFrame, 1250, 0, 1250, 100, 1, 8,
                   0, true}),
    [](const ::testing::TestParamInfo<SwitchCase>& p) { return std::string(p.param.name); });

// An adaptive host switches themes hundreds of times in one load, each time at the next
// loop wrap of the piece heard (armed, or written already and rewritten): every switch is
// taken and heard at its wrap, byte for byte. The pieces left behind stay held until the bound
// is reached; then they are released, so only those the ring still holds count against it.
// The piece heard, its position and its length follow throughout.
TEST_F(SoundTest, HundredsOfSwitchesInOneLoadAreHeardAtTheirWrapsAndReleaseThePiecesLeft) {
    Geometry(4, 512);  // 128 frames a segment, written 256 to 384 frames ahead
    const uint32_t lengths[] = {800, 600, 900};  // the loaded piece, then two themes in turn
    std::vector<Bytes> pcm;
    for (uint32_t i = 0; i < 3; ++i) pcm.push_back(PatternPcm(lengths[i] * 4, i + 2));
    ASSERT_TRUE(Load(pcm[0]));
    for (int i = 1; i < 3; ++i) {
        pieceFiles.push_back(std::make_unique<TempFile>(test::MakeWave(2, 8000, 16, pcm[i]), "t"));
    }
    const auto theme = [&](int32_t music) {
        auto piece = std::make_unique<QueuedPiece>();
        piece->music = music;
        piece->loopCount = 0;
        piece->source = std::make_unique<CMusicSource>();
        EXPECT_TRUE(piece->source->Open(pieceFiles[static_cast<size_t>(music - 1)]->c_str(), 0,
                                        static_cast<uint32_t>(pcm[music].size() + 44)));
        return piece;
    };
    ASSERT_TRUE(stream->Play(0));
    constexpr int kSwitches = 300;
    Bytes expected;
    size_t at = 0;  // where the piece heard began, in played frames
    int32_t heard = 0;
    for (int i = 0; i < kSwitches; ++i) {
        const uint32_t length = lengths[heard];
        // Most switches are asked early in the piece; every third beyond the margin's 320
        // frames from its end, where the ring often holds the wrap already.
        const uint32_t into = i % 3 == 2 ? length - 340 : 10;
        AdvanceBytes(static_cast<uint32_t>((at + into) * 4 - Record()->Played().size()));
        uint32_t frame = 0;
        ASSERT_TRUE(stream->GetPosition(frame));
        ASSERT_EQ(frame, into) << "switch " << i;
        ASSERT_EQ(stream->Pieces().MusicOf(stream->HeardPiece(), 0), heard) << "switch " << i;
        ASSERT_EQ(stream->HeardSource().m_FrameCount, length) << "switch " << i;
        const int32_t next = heard == 1 ? 2 : 1;
        ASSERT_TRUE(stream->SwitchTo(theme(next), MusicSequence::kSwitchAtLoop, 0, 0))
            << "switch " << i;
        // Every piece so far is held until the bound; past it, the switches are taken
        // because the pieces left behind were released.
        if (i < MusicSequence::kMaxPieces) {
            ASSERT_EQ(stream->Pieces().Held(), i + 1) << "switch " << i;
        } else {
            ASSERT_LE(stream->Pieces().Held(), MusicSequence::kMaxPieces) << "switch " << i;
        }
        expected.insert(expected.end(), pcm[heard].begin(), pcm[heard].end());
        at += length;
        heard = next;
    }
    AdvanceBytes(static_cast<uint32_t>(at * 4 + 40 - Record()->Played().size()));
    EXPECT_EQ(stream->Pieces().MusicOf(stream->HeardPiece(), 0), heard);
    const Bytes played = Record()->Played();
    ASSERT_GE(played.size(), expected.size());
    size_t first = 0;
    while (first < expected.size() && played[first] == expected[first]) ++first;
    EXPECT_EQ(first, expected.size()) << "first difference at frame " << first / 4;
    EXPECT_EQ(Record()->Underruns(), 0u);
    EXPECT_EQ(reports.Boxes().size(), 0u);
}

}  // namespace pieces

}  // namespace
}  // namespace sonaflux
