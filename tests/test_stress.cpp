// Stress: 16 players driven from the host's thread by a bounded random mix (fixed seed) of
// every host operation, on softds's manual clock and a host timer that the test moves
// with it. Built under ThreadSanitizer this finds data races between the host's thread,
// the stream workers and the fade threads; everywhere it finds deadlocks (an Advance whose
// workers never settle, a watchdog for the host's thread) and underruns.
//
// Underruns: softds counts bytes played that nothing wrote since they last played. A
// stream is checked over every clock step in which it plays. Restarts (Play, Resume),
// stops, pauses, seeks, loop changes, fades and the end of the music must all leave the
// ring written ahead of the cursor, so any underrun of any playing stream is a fault:
// no stream is excused. A stream that is stopped plays nothing and counts nothing.
//
// The run lasts SONAFLUX_STRESS_SECONDS (default 15) seconds of wall time or kMaxOps
// operations, whichever ends first; SONAFLUX_STRESS_SEED changes the seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/messages.h"
#include "config/module_options.h"
#include "config/module_settings.h"
#include "host/module_object.h"
#include "softds/softds.h"
#include "sonaflux/sonaflux.h"
#include "support/host_timer.h"
#include "support/interfaces.h"
#include "support/module_reset.h"
#include "support/report_capture.h"
#include "support/test_files.h"
#include "support/wave_image.h"

namespace sonaflux {
namespace {

using test::Bytes;
using test::InterfaceOf;

constexpr int kPlayers = 16;
constexpr uint32_t kRate = 8000;
constexpr long kMaxOps = 2000000;

double EnvSeconds() {
    const char* text = std::getenv("SONAFLUX_STRESS_SECONDS");
    const double v = text ? std::atof(text) : 0.0;
    return v > 0 ? v : 15.0;
}
uint32_t EnvSeed() {
    const char* text = std::getenv("SONAFLUX_STRESS_SEED");
    return text ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 20240517u;
}

// One WAVE image of the archive the players load from.
struct Music {
    uint16_t channels, bits;
    size_t bytes;
    uint32_t seed;
    int offset = 0, size = 0;
    uint32_t Frames() const { return static_cast<uint32_t>(bytes / (channels * (bits / 8))); }
};

// What the test knows of one player.
struct PlayerState {
    MusicPlayer* player = nullptr;
    int music = -1;                                // loaded music number, -1 when unloaded
    std::shared_ptr<softds::BufferRecord> record;  // the buffer of the loaded stream
    uint64_t underruns = 0;                        // as last seen on that buffer
    uint32_t loopStart = 0, loopEnd = 0;           // frames; the reader resets both at load
    std::deque<std::string> recent;                // the last operations, for a failure report
};

enum class Op {
    Load,
    Unload,
    Play,
    Stop,
    Pause,
    Resume,
    Seek,
    Fade,
    StopFade,
    LoopCount,
    LoopStart,
    LoopEnd,
    MasterVolume,
    Query,
    Advance,
    Count
};
const char* const kOpNames[] = {"load",      "unload",  "play",   "stop",     "pause",
                                "resume",    "seek",    "fade",   "stopfade", "loopcount",
                                "loopstart", "loopend", "master", "query",    "advance"};
constexpr int kWeights[] = {5, 3, 10, 4, 5, 6, 5, 7, 2, 4, 3, 3, 2, 10, 28};

class StressTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings().ResetToDefaults();
        Options().ResetToDefaults();
        Settings().NOTIFY_MAX = 8;
        Settings().RING_BUFFER_BLOCK_SIZE = 2048;
        Settings().STREAM_BUFFER_SIZE = 3000;  // reader blocks that align with nothing
        Settings().STREAM_WARNING_MAX = 1000;  // no stream-count warnings
        module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
        ASSERT_NE(module, nullptr);
        softds::DeviceOptions options;
        options.outputRate = kRate;
        options.recordPlayed = false;  // hours of music would not fit
        options.recordCalls = false;
        options.settleTimeoutMs = 30000;  // a worker that does not settle in 30 s is stuck
        device = softds::Device::Create(options);
        ASSERT_NE(device, nullptr);
        module->SetDirectSound(device->HostInterface());
        module->SetTimer(&timer);
        volume = static_cast<MusicVolumeControl*>(module->GetInterface(&IID_MusicVolumeControl));

        // Stereo and mono, 16 and 8 bits, and one image shorter than the ring, which
        // shrinks its segments to 748 bytes.
        music = {Music{2, 16, 30000, 11}, Music{1, 16, 22000, 12}, Music{1, 8, 9000, 13},
                 Music{2, 16, 6000, 14}};
        Bytes archive(101, 0xAB);
        for (Music& m : music) {
            const Bytes image =
                test::MakeWave(m.channels, kRate, m.bits, test::PatternPcm(m.bytes, m.seed));
            m.offset = static_cast<int>(archive.size());
            m.size = static_cast<int>(image.size());
            archive.insert(archive.end(), image.begin(), image.end());
            archive.insert(archive.end(), 37, 0xCD);
        }
        file = std::make_unique<test::TempFile>(archive, "stress");
        for (size_t i = 0; i < music.size(); ++i) {
            ASSERT_TRUE(module->SetPlayInfo(static_cast<int>(i), file->c_str(), music[i].offset,
                                            music[i].size));
        }
        for (int i = 0; i < kPlayers; ++i) players[i].player = module->GetPlayer(i);
    }

    void TearDown() override {
        test::ResetModule(module);
        if (device) device->Release();
    }

    void Note(PlayerState& s, const std::string& what) {
        s.recent.push_back(what);
        if (s.recent.size() > 24) s.recent.pop_front();
    }
    std::string History(const PlayerState& s) const {
        std::string out;
        for (const std::string& line : s.recent) out += "  " + line + "\n";
        return out;
    }

    // Every stream that played during the step must have played only written bytes.
    void CheckUnderruns(long op) {
        for (PlayerState& s : players) {
            if (!s.record) continue;
            const uint64_t now = s.record->Underruns();
            if (now != s.underruns) {
                ADD_FAILURE() << "player " << (&s - players.data()) << " underran by "
                              << (now - s.underruns) << " bytes at operation " << op
                              << "; its last operations:\n"
                              << History(s);
                s.underruns = now;
            }
        }
    }

    MusicModule* module = nullptr;
    MusicVolumeControl* volume = nullptr;
    softds::Device* device = nullptr;
    test::HostTimer timer{500000};
    std::vector<Music> music;
    std::unique_ptr<test::TempFile> file;
    std::array<PlayerState, kPlayers> players;
    test::ReportCapture reports;
};

TEST_F(StressTest, SixteenPlayersUnderARandomMixOfEveryOperation) {
    const double seconds = EnvSeconds();
    const uint32_t seed = EnvSeed();
    std::mt19937 rng(seed);
    std::discrete_distribution<int> pickOp(std::begin(kWeights), std::end(kWeights));
    std::uniform_int_distribution<int> pickPlayer(0, kPlayers - 1);
    const auto uniform = [&rng](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(rng);
    };

    // The host's thread must keep making progress; a call that never returns is a hang.
    std::atomic<long> progress{0};
    std::atomic<bool> finished{false};
    struct Joiner {  // ends the watchdog on every way out, failed assertions included
        std::atomic<bool>& finished;
        std::thread thread;
        ~Joiner() {
            finished = true;
            if (thread.joinable()) thread.join();
        }
    } watchdog{finished, std::thread([&] {
                   long seen = -1;
                   int still = 0;
                   while (!finished.load()) {
                       std::this_thread::sleep_for(std::chrono::milliseconds(200));
                       const long now = progress.load();
                       still = now == seen ? still + 1 : 0;
                       seen = now;
                       if (still >= 450) {  // 90 s without one operation completing
                           std::fprintf(stderr, "stress: no progress after operation %ld\n", now);
                           std::abort();
                       }
                   }
               })};

    std::map<std::string, long> counts;
    long ops = 0;
    uint64_t playingSteps = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (; ops < kMaxOps && std::chrono::steady_clock::now() < deadline; ++ops) {
        const auto op = static_cast<Op>(pickOp(rng));
        const int index = pickPlayer(rng);
        PlayerState& s = players[index];
        MusicPlayer* p = s.player;
        std::string what = kOpNames[static_cast<int>(op)];
        counts[what]++;
        switch (op) {
            case Op::Load: {
                const int number = uniform(0, static_cast<int>(music.size()) - 1);
                const size_t before = device->BufferCount();
                const bool loaded = p->Load(number);
                if (!loaded) {
                    std::string shown;
                    for (const test::Report& r : reports.All()) shown += "\n  " + r.text;
                    FAIL() << "load of music " << number << " by player " << index
                           << " failed; reports so far:" << shown << "\nits last operations:\n"
                           << History(s);
                }
                ASSERT_EQ(device->BufferCount(), before + 1);
                s.music = number;
                s.record = device->Buffer(before);
                s.underruns = s.record->Underruns();
                s.loopStart = 0;
                s.loopEnd = music[static_cast<size_t>(number)].Frames();
                what += " " + std::to_string(number);
                break;
            }
            case Op::Unload:
                ASSERT_TRUE(p->Unload()) << "unload by player " << index;
                if (s.record) {
                    EXPECT_TRUE(s.record->Released());
                }
                s.music = -1;
                s.record.reset();
                break;
            case Op::Play: {
                const uint32_t position =
                    InterfaceOf<MusicSampleInfo>(p, IID_MusicSampleInfo)->GetPositionSamples();
                const bool played = p->Play();
                if (s.music >= 0) {
                    EXPECT_TRUE(played) << "play of a loaded stream, player " << index
                                        << " at frame " << position << "\n"
                                        << History(s);
                }
                break;
            }
            case Op::Stop:
                if (s.music >= 0) {
                    EXPECT_TRUE(p->Stop());
                }
                break;
            case Op::Pause:
                if (s.music >= 0) {
                    EXPECT_TRUE(InterfaceOf<MusicPauseControl>(p, IID_MusicPauseControl)->Pause());
                }
                break;
            case Op::Resume:
                InterfaceOf<MusicPauseControl>(p, IID_MusicPauseControl)->Resume();
                break;
            case Op::Seek: {
                const uint32_t frames =
                    s.music >= 0 ? music[static_cast<size_t>(s.music)].Frames() : 100;
                const int frame = uniform(0, static_cast<int>(frames) - 1);
                InterfaceOf<MusicSeekControl>(p, IID_MusicSeekControl)->Seek(frame);
                what += " " + std::to_string(frame);
                break;
            }
            case Op::Fade: {
                // Durations of a second or more step every duration/1000 ms; 0 applies
                // the level at once.
                const int duration = uniform(0, 3) == 0 ? 0 : uniform(1000, 4000);
                const int percent = uniform(0, 100);
                const bool stop = uniform(0, 2) == 0;
                EXPECT_TRUE(InterfaceOf<MusicFadeControl>(p, IID_MusicFadeControl)
                                ->Fade(duration, percent, stop));
                what += " " + std::to_string(duration) + "ms " + std::to_string(percent) + "%" +
                        (stop ? " stop" : "");
                break;
            }
            case Op::StopFade:
                EXPECT_TRUE(InterfaceOf<MusicFadeControl>(p, IID_MusicFadeControl)->StopFade());
                break;
            case Op::LoopCount: {
                const int count = uniform(-1, 3);
                InterfaceOf<MusicLoopControl>(p, IID_MusicLoopControl)->SetLoopCount(count);
                what += " " + std::to_string(count);
                break;
            }
            case Op::LoopStart: {
                // Loop regions stay longer than a segment: a shorter one cannot serve a
                // whole refill after its wrap, which the module reports as a read error.
                if (s.music < 0 || s.loopEnd < 1100) break;
                const int frame = uniform(0, static_cast<int>(s.loopEnd) - 1100);
                InterfaceOf<MusicLoopPoints>(p, IID_MusicLoopPoints)->SetLoopStart(frame);
                s.loopStart = static_cast<uint32_t>(frame);
                what += " " + std::to_string(frame);
                break;
            }
            case Op::LoopEnd: {
                if (s.music < 0) break;
                const auto frames = static_cast<int>(music[static_cast<size_t>(s.music)].Frames());
                const int low = static_cast<int>(s.loopStart) + 1100;
                if (low > frames) break;
                const int frame = uniform(low, frames);
                InterfaceOf<MusicLoopPoints>(p, IID_MusicLoopPoints)->SetLoopEnd(frame);
                s.loopEnd = static_cast<uint32_t>(frame);
                what += " " + std::to_string(frame);
                break;
            }
            case Op::MasterVolume: {
                const double v = uniform(0, 100) * 0.01;
                EXPECT_TRUE(volume->SetMasterVolume(v));
                what += " " + std::to_string(v);
                break;
            }
            case Op::Query: {
                const bool playing = p->IsPlaying();
                const int32_t paused =
                    InterfaceOf<MusicPauseControl>(p, IID_MusicPauseControl)->IsPaused();
                EXPECT_EQ(paused, playing ? 0 : 1);
                auto* samples = InterfaceOf<MusicSampleInfo>(p, IID_MusicSampleInfo);
                const uint32_t position = samples->GetPositionSamples();
                EXPECT_LE(position, samples->GetLengthSamples()) << "player " << index;
                InterfaceOf<MusicTimeInfo>(p, IID_MusicTimeInfo)->GetPositionMs();
                InterfaceOf<MusicFadeControl>(p, IID_MusicFadeControl)->IsFading();
                if (s.music >= 0) {
                    const Music& m = music[static_cast<size_t>(s.music)];
                    auto* format = InterfaceOf<MusicFormatInfo>(p, IID_MusicFormatInfo);
                    EXPECT_EQ(format->GetChannels(), m.channels);
                    EXPECT_EQ(format->GetBitsPerSample(), m.bits);
                    EXPECT_EQ(samples->GetLengthSamples(), m.Frames());
                }
                break;
            }
            case Op::Advance: {
                const int frames = uniform(1, 1200);
                for (const PlayerState& other : players) {
                    if (other.record && other.record->Playing()) ++playingSteps;
                }
                ASSERT_TRUE(device->Advance(static_cast<uint32_t>(frames)))
                    << "the stream workers did not settle: a worker is stuck";
                timer.now += static_cast<uint32_t>(frames * 1000 / kRate);
                CheckUnderruns(ops);
                what += " " + std::to_string(frames);
                break;
            }
            case Op::Count:
                break;
        }
        Note(s, std::to_string(ops) + ": " + what);
        progress.store(ops);
    }
    finished = true;
    watchdog.thread.join();

    // Boxes the mix can cause on purpose: the reader of a player that never loaded has no
    // file to seek when it is played or sought. Anything else is a fault.
    for (const std::string& box : reports.Boxes()) {
        EXPECT_EQ(box, msg::kInvalidHandle) << "unexpected error box";
    }
    CheckUnderruns(ops);
    std::string summary;
    for (const auto& [name, count] : counts) summary += " " + name + "=" + std::to_string(count);
    std::printf(
        "stress: seed %u, %.0f s, %ld operations (%s), %llu stream-steps checked, "
        "%llu clock frames, %zu buffers\n",
        seed, seconds, ops, summary.c_str(), static_cast<unsigned long long>(playingSteps),
        static_cast<unsigned long long>(device->Frames()), device->BufferCount());
    // On Windows softds infers that the workers are idle from quiet periods, which makes
    // each clock step slow; fewer operations fit in the time there.
#ifdef _WIN32
    constexpr long kMinOps = 200;
#else
    constexpr long kMinOps = 1000;
#endif
    EXPECT_GT(ops, kMinOps) << "too few operations ran to mean anything";
    EXPECT_GT(playingSteps, static_cast<uint64_t>(kMinOps / 2));

    module->Release();
    EXPECT_EQ(static_cast<ModuleObject*>(module)->LoadedStreamCount(), 0);
    for (size_t i = 0; i < device->BufferCount(); ++i) {
        EXPECT_TRUE(device->Buffer(i)->Released()) << "buffer " << i;
    }
}

// Play primes the ring again where playback is to go on: from the start when the ring
// has played, at the ring's start when a stopped stream's first fill met the end. When
// the host has moved the loop end to that frame or below it, the seek there must not make
// Play fail: the stream is loaded and the music has a loop to play.
TEST_F(StressTest, PlayAfterTheLoopEndMovedBelowThePosition) {
    MusicPlayer* p = players[0].player;
    ASSERT_TRUE(p->Load(0));  // 7500 frames
    ASSERT_TRUE(p->Play());
    ASSERT_TRUE(device->Advance(3000));
    ASSERT_TRUE(InterfaceOf<MusicLoopPoints>(p, IID_MusicLoopPoints)->SetLoopEnd(2000));
    EXPECT_TRUE(p->Play());
    // The same on a stopped stream sought so near the end that its first fill wrapped.
    ASSERT_TRUE(p->Stop());
    ASSERT_TRUE(InterfaceOf<MusicLoopPoints>(p, IID_MusicLoopPoints)->SetLoopEnd(7500));
    ASSERT_TRUE(InterfaceOf<MusicSeekControl>(p, IID_MusicSeekControl)->Seek(6000));
    ASSERT_TRUE(InterfaceOf<MusicLoopPoints>(p, IID_MusicLoopPoints)->SetLoopEnd(5000));
    EXPECT_TRUE(p->Play());
}

// A fade asked of a player with no stream has nothing to move. Were its thread to run
// until its first step, a Load in that time would create the buffer on the host's thread
// while the fade thread reads the buffer pointer (a data race under ThreadSanitizer), and
// the stale fade would go on setting the new stream's volume. So no thread may exist once
// Fade has returned, and the new stream keeps the volume its load applied.
TEST_F(StressTest, FadeOnAPlayerWithoutAStreamThenLoad) {
    MusicPlayer* p = players[0].player;
    auto* fade = InterfaceOf<MusicFadeControl>(p, IID_MusicFadeControl);
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(fade->Fade(1000, 50, false));
        EXPECT_FALSE(fade->IsFading()) << "cycle " << i;
        ASSERT_TRUE(p->Load(i)) << "cycle " << i;
        timer.now += 1000;
        ASSERT_TRUE(p->Unload());  // would end a fade thread at its target, -1200
        EXPECT_EQ(device->Buffer(device->BufferCount() - 1)->Volume(), 0) << "cycle " << i;
    }
}

}  // namespace
}  // namespace sonaflux
