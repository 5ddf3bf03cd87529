// The whole module end to end through its public interfaces, on the software device's
// manual clock and a host timer that the test controls.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "base/messages.h"
#include "config/module_options.h"
#include "config/module_settings.h"
#include "host/module_object.h"
#include "softds/softds.h"
#include "sonaflux/sonaflux.h"
#include "support/codec_files.h"
#include "support/host_timer.h"
#include "support/interfaces.h"
#include "support/module_reset.h"
#include "support/report_capture.h"
#include "support/test_files.h"
#include "support/vtable.h"
#include "support/wave_image.h"

namespace sonaflux {
namespace {

using test::Bytes;
using test::CallSlot;
using test::Eventually;
using test::InterfaceOf;
using test::PatternPcm;
using test::ReportCapture;

class PlayerTest : public ::testing::Test {
protected:
    static constexpr uint32_t kRate = 8000;

    void SetUp() override {
        Settings().ResetToDefaults();
        Options().ResetToDefaults();
        Settings().NOTIFY_MAX = 8;
        Settings().RING_BUFFER_BLOCK_SIZE = 2048;
        module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
        ASSERT_NE(module, nullptr);
        softds::DeviceOptions options;
        options.outputRate = kRate;
        device = softds::Device::Create(options);
        module->SetDirectSound(device->HostInterface());
        module->SetTimer(&timer);
        volume = static_cast<MusicVolumeControl*>(module->GetInterface(&IID_MusicVolumeControl));

        // One archive holding two WAVE images side by side, after a leading header.
        pcmA = PatternPcm(30000, 7);
        pcmB = PatternPcm(22000, 9);
        const Bytes a = test::MakeWave(2, kRate, 16, pcmA);
        const Bytes b = test::MakeWave(1, kRate, 16, pcmB);
        Bytes archive;
        auto append = [&archive](const Bytes& part) {
            const size_t at = archive.size();
            archive.resize(at + part.size());
            std::copy(part.begin(), part.end(), archive.begin() + static_cast<long>(at));
        };
        append(Bytes(333, 0xEE));
        offsetA = static_cast<int>(archive.size());
        append(a);
        append(Bytes(77, 0xDD));
        offsetB = static_cast<int>(archive.size());
        append(b);
        append(Bytes(50, 0xCC));
        file = std::make_unique<test::TempFile>(archive, "archive");
        ASSERT_TRUE(module->SetPlayInfo(0, file->c_str(), offsetA, static_cast<int>(a.size())));
        ASSERT_TRUE(module->SetPlayInfo(1, file->c_str(), offsetB, static_cast<int>(b.size())));
    }

    void TearDown() override {
        test::ResetModule(module);
        device->Release();
    }

    std::shared_ptr<softds::BufferRecord> LastBuffer() {
        return device->Buffer(device->BufferCount() - 1);
    }
    void Advance(uint32_t frames) { ASSERT_TRUE(device->Advance(frames)); }

    MusicModule* module = nullptr;
    MusicVolumeControl* volume = nullptr;
    softds::Device* device = nullptr;
    test::HostTimer timer;
    Bytes pcmA, pcmB;
    int offsetA = 0, offsetB = 0;
    std::unique_ptr<test::TempFile> file;
    ReportCapture reports;
};

TEST_F(PlayerTest, TwoImagesOfOneArchivePlayAtOnceOnTwoPlayers) {
    MusicPlayer* p0 = module->GetPlayer(0);
    MusicPlayer* p1 = module->GetPlayer(1);
    ASSERT_TRUE(p0->Load(0));
    auto bufferA = LastBuffer();
    ASSERT_TRUE(p1->Load(1));
    auto bufferB = LastBuffer();
    InterfaceOf<MusicLoopControl>(p0, IID_MusicLoopControl)->SetLoopCount(1);
    InterfaceOf<MusicLoopControl>(p1, IID_MusicLoopControl)->SetLoopCount(0);
    ASSERT_TRUE(p0->Play());
    ASSERT_TRUE(p1->Play());
    for (int i = 0; i < 40; ++i) Advance(500);  // 20000 frames
    const Bytes playedA = bufferA->Played();
    const Bytes playedB = bufferB->Played();
    ASSERT_GE(playedA.size(), pcmA.size());
    EXPECT_EQ(Bytes(playedA.begin(), playedA.begin() + static_cast<long>(pcmA.size())), pcmA);
    EXPECT_FALSE(p0->IsPlaying());  // one pass, then it stopped by itself
    EXPECT_TRUE(p1->IsPlaying());
    ASSERT_EQ(playedB.size(), 40000u);
    for (size_t i = 0; i < playedB.size(); ++i) ASSERT_EQ(playedB[i], pcmB[i % pcmB.size()]) << i;
    EXPECT_EQ(bufferA->Underruns() + bufferB->Underruns(), 0u);
    EXPECT_EQ(InterfaceOf<MusicFormatInfo>(p1, IID_MusicFormatInfo)->GetChannels(), 1u);
    EXPECT_EQ(InterfaceOf<MusicFormatInfo>(p0, IID_MusicFormatInfo)->GetBlockAlign(), 4u);
}

TEST_F(PlayerTest, LoadWarnsOnceTheThresholdIsReachedAndReloadKeepsTheCount) {
    auto& count = static_cast<ModuleObject*>(module)->LoadedStreamCount();
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(module->GetPlayer(i)->Load(i % 2));
    EXPECT_EQ(count, 4);
    EXPECT_EQ(reports.Boxes().size(), 0u);
    ASSERT_TRUE(module->GetPlayer(4)->Load(0));
    char warning[256];
    std::snprintf(warning, sizeof warning, msg::kStreamsRunning, 4);
    EXPECT_EQ(reports.CountBox(warning), 1);
    EXPECT_EQ(count, 5);
    reports.Clear();
    Settings().STREAM_WARNING_MAX = 100;
    ASSERT_TRUE(module->GetPlayer(0)->Load(1));  // unloads its stream first
    EXPECT_EQ(count, 5);
    ASSERT_TRUE(module->GetPlayer(0)->Unload());
    ASSERT_TRUE(module->GetPlayer(0)->Unload());  // not loaded: true, count unchanged
    EXPECT_EQ(count, 4);
    module->Release();
    EXPECT_EQ(count, 0);
}

TEST_F(PlayerTest, LoadFailuresAreShownAndLeaveThePlayerUnloaded) {
    MusicPlayer* p = module->GetPlayer(0);
    ASSERT_TRUE(p->Load(0));
    EXPECT_FALSE(p->Load(7));  // never registered
    char expected[256];
    std::snprintf(expected, sizeof expected, msg::kPlayInfoMissing, 7);
    EXPECT_EQ(reports.CountBox(expected), 1);
    EXPECT_EQ(static_cast<ModuleObject*>(module)->LoadedStreamCount(), 0);
    EXPECT_FALSE(p->IsPlaying());

    ASSERT_TRUE(module->SetPlayInfo(5, "no such file.wav", 0, 100));
    reports.Clear();
    EXPECT_FALSE(p->Load(5));
    EXPECT_EQ(reports.CountBox(msg::kFileStreamOpenFailed), 1);
    EXPECT_EQ(reports.CountBox(msg::kStreamLoadFailed), 1);

    module->SetDirectSound(nullptr);
    reports.Clear();
    EXPECT_FALSE(p->Load(0));
    EXPECT_EQ(reports.CountBox(msg::kNoDirectSound), 1);
}

TEST_F(PlayerTest, PlayWithoutAStreamFails) {
    MusicPlayer* p = module->GetPlayer(3);
    EXPECT_FALSE(p->Play());  // the reader's seek on no file shows its box
    EXPECT_EQ(reports.CountBox(msg::kInvalidHandle), 1);
    EXPECT_EQ(InterfaceOf<MusicPauseControl>(p, IID_MusicPauseControl)->IsPaused(), 1);
    EXPECT_EQ(InterfaceOf<MusicTimeInfo>(p, IID_MusicTimeInfo)->GetPositionMs(), 0);
    EXPECT_EQ(InterfaceOf<MusicSampleInfo>(p, IID_MusicSampleInfo)->GetLengthSamples(), 0u);
    EXPECT_EQ(InterfaceOf<MusicFormatInfo>(p, IID_MusicFormatInfo)->GetSamplesPerSec(), 0u);
    ASSERT_TRUE(p->Load(0));
    ASSERT_TRUE(p->Unload());
    reports.Clear();
    EXPECT_FALSE(p->Play());
    EXPECT_TRUE(reports.Boxes().empty());
    // The length of the last file stays readable after an unload.
    EXPECT_EQ(InterfaceOf<MusicSampleInfo>(p, IID_MusicSampleInfo)->GetLengthSamples(), 7500u);
}

TEST_F(PlayerTest, LoopCountAndLoopPointsShapeThePlayback) {
    MusicPlayer* p = module->GetPlayer(0);
    auto* loop = InterfaceOf<MusicLoopControl>(p, IID_MusicLoopControl);
    auto* points = InterfaceOf<MusicLoopPoints>(p, IID_MusicLoopPoints);
    EXPECT_EQ(loop->GetLoopCount(), 0);
    ASSERT_TRUE(loop->SetLoopCount(2));
    ASSERT_TRUE(p->Load(0));
    ASSERT_TRUE(points->SetLoopStart(1000));
    ASSERT_TRUE(points->SetLoopEnd(2500));
    ASSERT_TRUE(p->Play());
    for (int i = 0; i < 60 && p->IsPlaying(); ++i) Advance(400);
    EXPECT_FALSE(p->IsPlaying());
    EXPECT_EQ(loop->GetLoopCount(), 2);
    Bytes expected(pcmA.begin(), pcmA.begin() + 2500 * 4);
    expected.insert(expected.end(), pcmA.begin() + 1000 * 4, pcmA.begin() + 2500 * 4);
    const Bytes played = LastBuffer()->Played();
    ASSERT_GE(played.size(), expected.size());
    EXPECT_EQ(Bytes(played.begin(), played.begin() + static_cast<long>(expected.size())), expected);
}

// The count is handed to the stream at Play: a change while the music plays applies from
// the next Play, not to the passes under way.
TEST_F(PlayerTest, TheLoopCountIsHandedOverAtPlay) {
    MusicPlayer* p = module->GetPlayer(0);
    auto* loop = InterfaceOf<MusicLoopControl>(p, IID_MusicLoopControl);
    ASSERT_TRUE(loop->SetLoopCount(2));
    ASSERT_TRUE(p->Load(0));
    ASSERT_TRUE(p->Play());
    Advance(1000);
    ASSERT_TRUE(loop->SetLoopCount(1));
    for (int i = 0; i < 80 && p->IsPlaying(); ++i) Advance(400);
    EXPECT_FALSE(p->IsPlaying());
    Bytes twice = pcmA;
    twice.insert(twice.end(), pcmA.begin(), pcmA.end());
    Bytes played = LastBuffer()->Played();
    ASSERT_GE(played.size(), twice.size());
    EXPECT_EQ(Bytes(played.begin(), played.begin() + static_cast<long>(twice.size())), twice);
    EXPECT_EQ(loop->GetLoopCount(), 1);

    LastBuffer()->ClearPlayed();
    ASSERT_TRUE(p->Play());  // now once
    for (int i = 0; i < 80 && p->IsPlaying(); ++i) Advance(400);
    played = LastBuffer()->Played();
    ASSERT_GE(played.size(), pcmA.size());
    EXPECT_EQ(Bytes(played.begin(), played.begin() + static_cast<long>(pcmA.size())), pcmA);
    EXPECT_LT(played.size(), twice.size());
}

// Loop points belong to a loaded stream: without one the setters answer false. An end
// past the music is its end, for every kind of file.
TEST_F(PlayerTest, LoopPointsNeedALoadedStreamAndAnEndPastTheMusicIsItsEnd) {
    MusicPlayer* p = module->GetPlayer(0);
    auto* points = InterfaceOf<MusicLoopPoints>(p, IID_MusicLoopPoints);
    EXPECT_FALSE(points->SetLoopStart(10));
    EXPECT_FALSE(points->SetLoopEnd(100));
    InterfaceOf<MusicLoopControl>(p, IID_MusicLoopControl)->SetLoopCount(1);
    ASSERT_TRUE(p->Load(0));
    ASSERT_TRUE(points->SetLoopEnd(2500));
    ASSERT_TRUE(points->SetLoopEnd(0x7FFFFFFF));  // beyond the image, too
    ASSERT_TRUE(p->Play());
    for (int i = 0; i < 60 && p->IsPlaying(); ++i) Advance(400);
    const Bytes played = LastBuffer()->Played();
    ASSERT_GE(played.size(), pcmA.size());
    EXPECT_EQ(Bytes(played.begin(), played.begin() + static_cast<long>(pcmA.size())), pcmA);
    ASSERT_TRUE(p->Unload());
    EXPECT_FALSE(points->SetLoopStart(10));
    EXPECT_FALSE(points->SetLoopEnd(100));
}

// An immediate target out of range is heard at its bound, and that bound is what the
// next fade starts from and what a new master volume re-applies.
TEST_F(PlayerTest, AnImmediateTargetOutOfRangeIsTakenAtItsBound) {
    MusicPlayer* p = module->GetPlayer(0);
    auto* fade = InterfaceOf<MusicFadeControl>(p, IID_MusicFadeControl);
    ASSERT_TRUE(p->Load(0));
    ASSERT_TRUE(p->Play());
    ASSERT_TRUE(fade->Fade(0, -100, false));
    EXPECT_EQ(LastBuffer()->Volume(), -10000);
    ASSERT_TRUE(fade->Fade(2000, 100, false));  // from silence: half way is 0.5, squared
    timer.now += 1000;
    EXPECT_TRUE(Eventually([&] { return LastBuffer()->Volume() == -1200; }));
    ASSERT_TRUE(fade->StopFade());
    EXPECT_EQ(LastBuffer()->Volume(), 0);

    ASSERT_TRUE(volume->SetMasterVolume(0.5));
    ASSERT_TRUE(fade->Fade(0, 150, false));
    EXPECT_EQ(LastBuffer()->Volume(), -1200);  // full level under the master volume
    ASSERT_TRUE(volume->SetMasterVolume(1.0));
    EXPECT_EQ(LastBuffer()->Volume(), 0);
    ASSERT_TRUE(fade->Fade(2000, 0, false));  // from full level: half way is 0.5 again
    timer.now += 1000;
    EXPECT_TRUE(Eventually([&] { return LastBuffer()->Volume() == -1200; }));
    ASSERT_TRUE(fade->StopFade());
    EXPECT_EQ(LastBuffer()->Volume(), -10000);
}

TEST_F(PlayerTest, SeekAfterStopThenPlayStartsThereAndPositionsReportIt) {
    MusicPlayer* p = module->GetPlayer(0);
    auto* seek = InterfaceOf<MusicSeekControl>(p, IID_MusicSeekControl);
    auto* time = InterfaceOf<MusicTimeInfo>(p, IID_MusicTimeInfo);
    auto* samples = InterfaceOf<MusicSampleInfo>(p, IID_MusicSampleInfo);
    ASSERT_TRUE(p->Load(0));
    EXPECT_EQ(seek->GetLengthSamples(), 7500u);
    EXPECT_EQ(time->GetLengthMs(), 937);  // 7500 / 8 truncated
    ASSERT_TRUE(p->Play());
    Advance(1000);
    EXPECT_FALSE(seek->Seek(4000));  // refused while playing
    EXPECT_EQ(samples->GetPositionSamples(), 1000u);
    EXPECT_EQ(time->GetPositionMs(), 125);
    ASSERT_TRUE(p->Stop());
    ASSERT_TRUE(seek->Seek(4000));
    ASSERT_TRUE(p->Play());
    EXPECT_EQ(time->GetPositionMs(), 500);
    LastBuffer()->ClearPlayed();
    Advance(100);
    EXPECT_EQ(LastBuffer()->Played(), Bytes(pcmA.begin() + 16000, pcmA.begin() + 16400));
    EXPECT_EQ(samples->GetPositionSamples(), 4100u);
}

TEST_F(PlayerTest, PauseResumeAndIsPaused) {
    MusicPlayer* p = module->GetPlayer(0);
    auto* pause = InterfaceOf<MusicPauseControl>(p, IID_MusicPauseControl);
    ASSERT_TRUE(p->Load(0));
    EXPECT_EQ(pause->IsPaused(), 1);
    ASSERT_TRUE(p->Play());
    EXPECT_EQ(pause->IsPaused(), 0);
    Advance(700);
    ASSERT_TRUE(pause->Pause());
    EXPECT_EQ(pause->IsPaused(), 1);
    Advance(300);
    ASSERT_TRUE(pause->Resume());
    Advance(800);
    EXPECT_EQ(LastBuffer()->Played(), Bytes(pcmA.begin(), pcmA.begin() + 1500 * 4));
    ASSERT_TRUE(pause->Pause());
    LastBuffer()->ClearPlayed();
    ASSERT_TRUE(p->Play());  // after a pause, Play starts over
    Advance(10);
    EXPECT_EQ(LastBuffer()->Played(), Bytes(pcmA.begin(), pcmA.begin() + 40));
}

TEST_F(PlayerTest, ImmediateFadeWithStopThenPlayStartsOverAtTheNewLevel) {
    MusicPlayer* p = module->GetPlayer(0);
    auto* fade = InterfaceOf<MusicFadeControl>(p, IID_MusicFadeControl);
    ASSERT_TRUE(p->Load(0));
    ASSERT_TRUE(p->Play());
    Advance(1000);
    ASSERT_TRUE(fade->Fade(0, 50, true));
    EXPECT_EQ(LastBuffer()->Volume(), -1200);  // 0.5 squared by the default curve
    EXPECT_FALSE(p->IsPlaying());
    LastBuffer()->ClearPlayed();
    ASSERT_TRUE(p->Play());
    Advance(50);
    EXPECT_EQ(LastBuffer()->Played(), Bytes(pcmA.begin(), pcmA.begin() + 200));
    EXPECT_EQ(LastBuffer()->Volume(), -1200);
    EXPECT_TRUE(fade->Fade(1000, 150, false));  // the fade worker refuses 1.5
    EXPECT_FALSE(fade->IsFading());
    EXPECT_EQ(LastBuffer()->Volume(), -1200);
}

TEST_F(PlayerTest, TimedFadeWithStopEndsAtItsTargetAndTheNextPlayContinues) {
    MusicPlayer* p = module->GetPlayer(0);
    auto* fade = InterfaceOf<MusicFadeControl>(p, IID_MusicFadeControl);
    auto* samples = InterfaceOf<MusicSampleInfo>(p, IID_MusicSampleInfo);
    ASSERT_TRUE(p->Load(0));
    ASSERT_TRUE(p->Play());
    Advance(2000);
    ASSERT_TRUE(fade->Fade(2000, 0, true));
    EXPECT_TRUE(fade->IsFading());
    timer.now += 1000;  // half way: 0.5, squared
    EXPECT_TRUE(Eventually([&] { return LastBuffer()->Volume() == -1200; }));
    timer.now += 1000;
    EXPECT_TRUE(Eventually([&] { return !fade->IsFading(); }));
    EXPECT_FALSE(p->IsPlaying());
    EXPECT_EQ(LastBuffer()->Volume(), -10000);
    const uint32_t stoppedAt = samples->GetPositionSamples();
    EXPECT_EQ(stoppedAt, 2000u);
    ASSERT_TRUE(fade->Fade(0, 100, false));
    LastBuffer()->ClearPlayed();
    ASSERT_TRUE(p->Play());  // goes on from where the music stopped, no stale bytes
    Advance(300);
    EXPECT_EQ(LastBuffer()->Played(),
              Bytes(pcmA.begin() + stoppedAt * 4, pcmA.begin() + (stoppedAt + 300) * 4));
    EXPECT_EQ(LastBuffer()->Underruns(), 0u);
}

TEST_F(PlayerTest, MasterVolumeScalesNewAndLoadedStreamsOnly) {
    MusicPlayer* loaded = module->GetPlayer(0);
    MusicPlayer* idle = module->GetPlayer(5);
    ASSERT_TRUE(volume->SetMasterVolume(0.5));  // no stream yet: nothing to apply
    ASSERT_TRUE(loaded->Load(0));
    EXPECT_EQ(LastBuffer()->Volume(), -1200);  // a new stream starts at the master volume
    ASSERT_TRUE(InterfaceOf<MusicFadeControl>(loaded, IID_MusicFadeControl)->Fade(0, 80, false));
    EXPECT_EQ(LastBuffer()->Volume(), -1500);  // (0.5 x 0.8)^2 = 0.16: -15.9 dB, truncated
    ASSERT_TRUE(volume->SetMasterVolume(1.0));
    EXPECT_EQ(LastBuffer()->Volume(), -300);  // 0.8^2: the current volume stayed 0.8
    const size_t buffers = device->BufferCount();
    ASSERT_TRUE(volume->SetMasterVolume(0.25));
    EXPECT_EQ(device->BufferCount(), buffers);
    EXPECT_FALSE(idle->IsPlaying());
    device->FailNext(softds::Op::SetVolume, 1);  // accepted but not DS_OK: stays "not applied"
    ASSERT_TRUE(volume->SetMasterVolume(0.5));
    EXPECT_EQ(reports.DebugLines().size(), 1u);
}

TEST_F(PlayerTest, PlayWarningCountsStreamsAlreadyPlaying) {
    Settings().STREAM_WARNING_MAX = 2;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(module->GetPlayer(i)->Load(i % 2));
    ASSERT_TRUE(module->GetPlayer(0)->Play());
    ASSERT_TRUE(module->GetPlayer(1)->Play());
    char expected[256];
    std::snprintf(expected, sizeof expected, msg::kStreamsPlaying, 2);
    EXPECT_EQ(reports.CountBox(expected), 0);
    ASSERT_TRUE(module->GetPlayer(2)->Play());
    EXPECT_EQ(reports.CountBox(expected), 1);
    ASSERT_TRUE(module->GetPlayer(2)->Play());  // restarting a playing stream adds none
    EXPECT_EQ(reports.CountBox(expected), 1);
}

TEST_F(PlayerTest, ReleaseDestroysPlayersAndNewOnesAreFresh) {
    MusicPlayer* p = module->GetPlayer(0);
    InterfaceOf<MusicLoopControl>(p, IID_MusicLoopControl)->SetLoopCount(3);
    ASSERT_TRUE(p->Load(0));
    ASSERT_TRUE(p->Play());
    Advance(100);
    EXPECT_EQ(module->Release(), 0);
    EXPECT_TRUE(LastBuffer()->Released());
    EXPECT_EQ(module->Release(), 0);
    EXPECT_EQ(static_cast<ModuleObject*>(module)->Players().SlotCount(), 0u);
    MusicPlayer* fresh = module->GetPlayer(0);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(static_cast<ModuleObject*>(module)->Players().SlotCount(), 10u);
    EXPECT_EQ(InterfaceOf<MusicLoopControl>(fresh, IID_MusicLoopControl)->GetLoopCount(), 0);
    EXPECT_FALSE(fresh->IsPlaying());
    EXPECT_EQ(module->GetPlayer(0), fresh);
    EXPECT_NE(module->GetPlayer(1), fresh);
    EXPECT_EQ(module->GetPlayer(-1), nullptr);
    EXPECT_EQ(module->GetPlayer(1 << 30), nullptr);
    module->GetPlayer(10);
    EXPECT_EQ(static_cast<ModuleObject*>(module)->Players().SlotCount(), 20u);
}

TEST_F(PlayerTest, LengthInMillisecondsIsExactInDoublePrecision) {
    const Bytes pcm = PatternPcm(176400 * 2, 3);  // 176400 mono frames at 44.1 kHz
    test::TempFile wave(test::MakeWave(1, 44100, 16, pcm), "long");
    ASSERT_TRUE(module->SetPlayInfo(9, wave.c_str(), 0, static_cast<int>(pcm.size() + 44)));
    MusicPlayer* p = module->GetPlayer(0);
    ASSERT_TRUE(p->Load(9));
    EXPECT_EQ(InterfaceOf<MusicTimeInfo>(p, IID_MusicTimeInfo)->GetLengthMs(), 4000);
    EXPECT_EQ(InterfaceOf<MusicSampleInfo>(p, IID_MusicSampleInfo)->GetLengthSamples(), 176400u);
}

TEST_F(PlayerTest, EveryInterfaceAnswersInItsSlots) {
    MusicPlayer* p = module->GetPlayer(0);
    void* main = p;
    EXPECT_EQ(CallSlot<int32_t>(main, 0), 1);
    EXPECT_EQ(CallSlot<int32_t>(main, 1), 0);
    EXPECT_TRUE(CallSlot<bool>(main, 2, 0));  // Load
    EXPECT_TRUE(CallSlot<bool>(main, 4));     // Play
    EXPECT_TRUE(CallSlot<bool>(main, 6));     // IsPlaying
    EXPECT_TRUE(CallSlot<bool>(main, 5));     // Stop
    EXPECT_FALSE(CallSlot<bool>(main, 6));
    const GUID* ids[] = {&IID_MusicTimeInfo,     &IID_MusicLoopControl, &IID_MusicFadeControl,
                         &IID_MusicPauseControl, &IID_MusicSampleInfo,  &IID_MusicLoopPoints,
                         &IID_MusicSeekControl,  &IID_MusicFormatInfo,  &IID_MusicSourceInfo,
                         &IID_MusicSequence};
    void* parts[10];
    for (int i = 0; i < 10; ++i) {
        parts[i] = CallSlot<void*>(main, 7, ids[i]);  // GetInterface
        ASSERT_NE(parts[i], nullptr);
        for (int j = 0; j < i; ++j) EXPECT_NE(parts[i], parts[j]);
    }
    EXPECT_EQ(CallSlot<void*>(main, 7, &IID_MusicModule), nullptr);
    EXPECT_EQ(CallSlot<void*>(main, 7, static_cast<const GUID*>(nullptr)), nullptr);

    EXPECT_EQ(CallSlot<int32_t>(parts[0], 1), 937);          // GetLengthMs
    EXPECT_EQ(CallSlot<int32_t>(parts[0], 0), 0);            // GetPositionMs
    EXPECT_TRUE(CallSlot<bool>(parts[1], 0, 4));             // SetLoopCount
    EXPECT_EQ(CallSlot<int>(parts[1], 1), 4);                // GetLoopCount
    EXPECT_FALSE(CallSlot<bool>(parts[2], 2));               // IsFading
    EXPECT_TRUE(CallSlot<bool>(parts[2], 0, 0, 25, false));  // Fade
    EXPECT_EQ(LastBuffer()->Volume(), -2400);
    EXPECT_TRUE(CallSlot<bool>(parts[2], 1));      // StopFade
    EXPECT_EQ(CallSlot<int32_t>(parts[3], 2), 1);  // IsPaused
    EXPECT_TRUE(CallSlot<bool>(parts[3], 1));      // Resume
    EXPECT_EQ(CallSlot<int32_t>(parts[3], 2), 0);
    EXPECT_TRUE(CallSlot<bool>(parts[3], 0));           // Pause
    EXPECT_EQ(CallSlot<uint32_t>(parts[4], 1), 7500u);  // GetLengthSamples
    EXPECT_TRUE(CallSlot<bool>(parts[5], 0, 10));       // SetLoopStart
    EXPECT_TRUE(CallSlot<bool>(parts[5], 1, 7000));     // SetLoopEnd
    EXPECT_TRUE(CallSlot<bool>(parts[6], 0, 1234));     // Seek
    EXPECT_EQ(CallSlot<uint32_t>(parts[4], 0), 1234u);  // GetPositionSamples
    EXPECT_EQ(CallSlot<uint32_t>(parts[6], 1), 7500u);  // GetLengthSamples
    const uint32_t format[6] = {1, 2, kRate, kRate * 4, 4, 16};
    for (int slot = 0; slot < 6; ++slot)
        EXPECT_EQ(CallSlot<uint32_t>(parts[7], slot), format[slot]);
    const char* container = nullptr;
    const char* codec = nullptr;
    EXPECT_TRUE(CallSlot<bool>(parts[8], 0, &container, &codec));  // GetKind
    EXPECT_STREQ(container, "RIFF/WAVE");
    uint32_t rate = 0, bits = 0;
    EXPECT_TRUE(CallSlot<bool>(parts[8], 1, &rate, nullptr, &bits, nullptr));  // GetStoredFormat
    EXPECT_EQ(rate, kRate);
    EXPECT_EQ(bits, 16u);
    EXPECT_EQ(CallSlot<uint32_t>(parts[8], 2), 7500u);                     // GetLengthFrames
    EXPECT_FALSE(CallSlot<bool>(parts[8], 3, nullptr, nullptr, nullptr));  // GetFileLoop
    EXPECT_EQ(CallSlot<uint32_t>(parts[8], 4), 0u);                        // GetMarkerCount
    EXPECT_FALSE(CallSlot<bool>(parts[8], 5, 0u, nullptr, nullptr));       // GetMarker

    EXPECT_TRUE(CallSlot<bool>(parts[9], 0, 0, 1, 0));   // QueuePiece
    EXPECT_FALSE(CallSlot<bool>(parts[9], 0, 1, 1, 0));  // another format: refused
    EXPECT_EQ(CallSlot<int32_t>(parts[9], 3), 1);        // GetQueuedCount
    EXPECT_TRUE(CallSlot<bool>(parts[9], 1, 0, 2, 5));   // ReplaceQueue
    EXPECT_EQ(CallSlot<int32_t>(parts[9], 2), 1);        // ClearQueue
    EXPECT_EQ(CallSlot<int32_t>(parts[9], 4), 0);        // GetHeardMusicNumber
    EXPECT_TRUE(CallSlot<bool>(parts[9], 5, 0, 10));     // SetMarker
    EXPECT_EQ(CallSlot<int32_t>(parts[9], 6), 1);        // ClearMarkers
    EXPECT_FALSE(CallSlot<bool>(parts[9], 7, static_cast<MusicEvent*>(nullptr)));  // PollEvent
    EXPECT_EQ(CallSlot<uint32_t>(parts[9], 8), 0u);                                // lost events
    EXPECT_FALSE(CallSlot<bool>(parts[9], 9, 0, 1, 0, 0, 0, 0, 0));  // SwitchTo: not playing
    EXPECT_TRUE(CallSlot<bool>(main, 4));                            // Play
    EXPECT_TRUE(CallSlot<bool>(parts[9], 9, 0, 1, 0, 0, 0, 0, 0));   // SwitchTo now
    // The crossfade is the last argument: a negative one is refused, one in range taken.
    EXPECT_FALSE(CallSlot<bool>(parts[9], 9, 0, 1, 0, 0, 0, 0, -1));
    EXPECT_FALSE(CallSlot<bool>(parts[9], 9, 0, 1, 0, 0, 0, 0, MusicSequence::kMaxCrossfadeMs + 1));
    EXPECT_TRUE(CallSlot<bool>(parts[9], 9, 0, 1, 0, 0, 0, 0, 250));
}

// What the module read, for a WAVE with cue points, labels and a sampler loop, a FLAC with
// loop tags and chapters, and an Opus file; nothing once unloaded.
TEST_F(PlayerTest, SourceInfoSaysWhatTheFileHolds) {
    Bytes cue;
    test::PutLe32(cue, 3);
    for (const auto& [id, frame] : {std::pair{1u, 500u}, {2u, 1500u}, {3u, 9999u}}) {
        for (uint32_t v : {id, 0u, 0x61746164u, 0u, 0u, frame}) test::PutLe32(cue, v);
    }
    Bytes adtl = {'a', 'd', 't', 'l'};
    auto label = [&adtl](uint32_t id, const std::string& text) {
        const uint32_t size = static_cast<uint32_t>(4 + text.size() + 1);
        adtl.insert(adtl.end(), {'l', 'a', 'b', 'l'});
        test::PutLe32(adtl, size);
        test::PutLe32(adtl, id);
        adtl.insert(adtl.end(), text.begin(), text.end());
        adtl.push_back(0);
        if (size & 1) adtl.push_back(0);
    };
    label(2, "Chorus");
    label(1, "Intro");
    Bytes smpl(60, 0);
    smpl[28] = 1;    // one loop
    smpl[44] = 100;  // from frame 100
    smpl[48] = 0xB7;
    smpl[49] = 0x0B;  // to frame 2999, inclusive
    const Bytes wave = test::WaveBuilder()
                           .Format(1, 2, kRate, 24)
                           .Chunk("cue ", cue)
                           .Chunk("LIST", adtl)
                           .Chunk("smpl", smpl)
                           .Data(PatternPcm(3000 * 6))
                           .Build();
    const Bytes flac = test::EncodeFlac(
        1, kRate, 16, 4000,
        {"LOOPSTART=10", "LOOP_END=3000", "CHAPTER001=00:00:00.250", "CHAPTER001NAME=B",
         "CHAPTER000=00:00:00.000", "chapter000name=A", "CHAPTER002=later"});
    const Bytes opus = test::EncodeOpus(2, 44100, 4410);
    test::TempFile w(wave, "cues"), f(flac, "tune"), o(opus, "tune");
    ASSERT_TRUE(module->SetPlayInfo(2, w.c_str(), 0, static_cast<int>(wave.size())));
    ASSERT_TRUE(module->SetPlayInfo(3, f.c_str(), 0, static_cast<int>(flac.size())));
    ASSERT_TRUE(module->SetPlayInfo(4, o.c_str(), 0, static_cast<int>(opus.size())));
    MusicPlayer* p = module->GetPlayer(0);
    auto* info = InterfaceOf<MusicSourceInfo>(p, IID_MusicSourceInfo);
    ASSERT_NE(info, nullptr);
    EXPECT_FALSE(info->GetKind(nullptr, nullptr));  // nothing loaded yet

    struct Expected {
        int entry;
        const char *container, *codec;
        uint32_t rate, channels, bits, frames;
        bool loop;
        uint32_t loopStart, loopEnd;
        bool applies;
        std::vector<std::pair<uint32_t, std::string>> markers;
    };
    const Expected cases[] = {
        {2,
         "RIFF/WAVE",
         "PCM",
         kRate,
         2,
         24,
         3000,
         true,
         100,
         3000,
         false,
         {{500, "Intro"}, {1500, "Chorus"}}},
        {3, "FLAC", "FLAC", kRate, 1, 16, 4000, true, 10, 3000, true, {{0, "A"}, {2000, "B"}}},
        {4, "Ogg", "Opus", 44100, 2, 0, 4800, false, 0, 0, false, {}},
    };
    for (const Expected& c : cases) {
        ASSERT_TRUE(p->Load(c.entry)) << c.entry;
        const char* container = nullptr;
        const char* codec = nullptr;
        ASSERT_TRUE(info->GetKind(&container, &codec));
        EXPECT_STREQ(container, c.container);
        EXPECT_STREQ(codec, c.codec);
        uint32_t rate = 0, channels = 0, bits = 99;
        bool isFloat = true;
        ASSERT_TRUE(info->GetStoredFormat(&rate, &channels, &bits, &isFloat));
        EXPECT_EQ(rate, c.rate) << c.entry;
        EXPECT_EQ(channels, c.channels) << c.entry;
        EXPECT_EQ(bits, c.bits) << c.entry;
        EXPECT_FALSE(isFloat);
        // The buffer's format beside it: 16 bits whatever the file stores.
        EXPECT_EQ(InterfaceOf<MusicFormatInfo>(p, IID_MusicFormatInfo)->GetBitsPerSample(), 16u);
        EXPECT_EQ(info->GetLengthFrames(), c.frames) << c.entry;
        uint32_t start = 0, end = 0;
        bool applies = !c.applies;
        EXPECT_EQ(info->GetFileLoop(&start, &end, &applies), c.loop) << c.entry;
        EXPECT_EQ(start, c.loopStart) << c.entry;
        EXPECT_EQ(end, c.loopEnd) << c.entry;
        if (c.loop) {
            EXPECT_EQ(applies, c.applies) << c.entry;
        }
        ASSERT_EQ(info->GetMarkerCount(), c.markers.size()) << c.entry;
        for (uint32_t i = 0; i < c.markers.size(); ++i) {
            uint32_t frame = 0;
            const char* text = nullptr;
            ASSERT_TRUE(info->GetMarker(i, &frame, &text));
            EXPECT_EQ(frame, c.markers[i].first) << c.entry << " " << i;
            EXPECT_EQ(std::string(text), c.markers[i].second) << c.entry << " " << i;
        }
        EXPECT_FALSE(info->GetMarker(static_cast<uint32_t>(c.markers.size()), nullptr, nullptr));
    }
    ASSERT_TRUE(p->Unload());
    EXPECT_FALSE(info->GetKind(nullptr, nullptr));
    EXPECT_FALSE(info->GetStoredFormat(nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(info->GetFileLoop(nullptr, nullptr, nullptr));
    EXPECT_EQ(info->GetLengthFrames(), 0u);
    EXPECT_EQ(info->GetMarkerCount(), 0u);
}

// An intro and a loop from two entries: the loop follows the intro without a gap, and
// the player reports the piece heard, its length and its position.
TEST_F(PlayerTest, AQueuedPieceFollowsTheLoadedOneAndTheQueriesFollowThePieceHeard) {
    const Bytes loopPcm = PatternPcm(9000, 11);
    const test::TempFile loopFile(test::MakeWave(2, kRate, 16, loopPcm), "loop");
    ASSERT_TRUE(module->SetPlayInfo(5, loopFile.c_str(), 0, static_cast<int>(loopPcm.size() + 44)));
    MusicPlayer* p = module->GetPlayer(0);
    auto* sequence = InterfaceOf<MusicSequence>(p, IID_MusicSequence);
    auto* samples = InterfaceOf<MusicSampleInfo>(p, IID_MusicSampleInfo);
    EXPECT_FALSE(sequence->QueuePiece(5, 1, 0));  // nothing loaded
    EXPECT_EQ(sequence->GetHeardMusicNumber(), -1);
    EXPECT_FALSE(sequence->SetMarker(0, -1));
    ASSERT_TRUE(sequence->SetMarker(5, 1200));
    ASSERT_TRUE(sequence->SetMarker(0, 100));
    ASSERT_TRUE(p->Load(0));
    InterfaceOf<MusicLoopControl>(p, IID_MusicLoopControl)->SetLoopCount(1);

    reports.Clear();
    EXPECT_FALSE(sequence->QueuePiece(1, 1, 0));  // mono after stereo
    char expected[256];
    std::snprintf(expected, sizeof expected, msg::kPieceFormatDiffers, 8000u, 1u, 16u, 8000u, 2u,
                  16u);
    EXPECT_EQ(reports.CountBox(expected), 1);
    EXPECT_FALSE(sequence->QueuePiece(5, 1, 2250));  // at its end
    std::snprintf(expected, sizeof expected, msg::kPieceStartPastEnd, 2250u, 2250u);
    EXPECT_EQ(reports.CountBox(expected), 1);
    EXPECT_FALSE(sequence->QueuePiece(77, 1, 0));
    EXPECT_EQ(sequence->GetQueuedCount(), 0);

    ASSERT_TRUE(sequence->QueuePiece(5, 2, 1000));
    EXPECT_EQ(sequence->GetHeardMusicNumber(), 0);
    ASSERT_TRUE(p->Play());
    Advance(30000 / 4 + 500);  // into the loop's first pass
    EXPECT_EQ(sequence->GetHeardMusicNumber(), 5);
    EXPECT_EQ(samples->GetLengthSamples(), 2250u);
    EXPECT_EQ(samples->GetPositionSamples(), 1500u);
    EXPECT_EQ(InterfaceOf<MusicTimeInfo>(p, IID_MusicTimeInfo)->GetLengthMs(), 281);
    while (p->IsPlaying()) Advance(1000);
    Bytes chain = pcmA;
    chain.insert(chain.end(), loopPcm.begin() + 4000, loopPcm.end());
    chain.insert(chain.end(), loopPcm.begin(), loopPcm.end());
    const Bytes played = LastBuffer()->Played();
    ASSERT_GE(played.size(), chain.size());
    EXPECT_EQ(Bytes(played.begin(), played.begin() + static_cast<long>(chain.size())), chain);
    EXPECT_EQ(samples->GetPositionSamples(), 2250u);
    // Heard so far, in order: the loaded piece's marker and end, the loop's start, its
    // marker in each pass, its wrap and its end.
    const MusicEvent heard[] = {
        {p, MusicEvent::kMarker, 0, 100},      {p, MusicEvent::kPieceEnd, 0, 7500},
        {p, MusicEvent::kPieceStart, 5, 1000}, {p, MusicEvent::kMarker, 5, 1200},
        {p, MusicEvent::kLoopWrap, 5, 0},      {p, MusicEvent::kMarker, 5, 1200},
        {p, MusicEvent::kPieceEnd, 5, 2250}};
    MusicEvent e{};
    for (const MusicEvent& want : heard) {
        ASSERT_TRUE(sequence->PollEvent(&e)) << want.kind;
        EXPECT_EQ(e.player, p);
        EXPECT_EQ(e.kind, want.kind);
        EXPECT_EQ(e.musicNumber, want.musicNumber);
        EXPECT_EQ(e.frame, want.frame);
    }
    EXPECT_FALSE(sequence->PollEvent(&e));
    EXPECT_FALSE(sequence->PollEvent(nullptr));
    EXPECT_EQ(sequence->GetLostEventCount(), 0u);

    // Stop and Play start over: the loaded piece, then the chain again.
    LastBuffer()->ClearPlayed();
    ASSERT_TRUE(p->Play());
    while (p->IsPlaying()) Advance(1000);
    const Bytes again = LastBuffer()->Played();
    ASSERT_GE(again.size(), chain.size());
    EXPECT_EQ(Bytes(again.begin(), again.begin() + static_cast<long>(chain.size())), chain);
    // A load empties the queue.
    ASSERT_TRUE(p->Load(0));
    EXPECT_EQ(sequence->GetQueuedCount(), 0);
}

}  // namespace
}  // namespace sonaflux

namespace sonaflux {
namespace {

// Whatever the host passes, in whatever order: an answer or a refusal, never a crash.
TEST_F(PlayerTest, HostileInputGetsAnswersNotCrashes) {
    const int values[] = {-1, 0, 1, 0x7FFFFFFF, -0x7FFFFFFF - 1, 123456789};
    for (int round = 0; round < 3; ++round) {
        MusicPlayer* p = module->GetPlayer(round);
        if (round == 1) {
            ASSERT_TRUE(p->Load(0));
        } else if (round == 2) {
            ASSERT_TRUE(p->Load(1));
            ASSERT_TRUE(p->Play());
        }
        for (int v : values) {
            InterfaceOf<MusicLoopControl>(p, IID_MusicLoopControl)->SetLoopCount(v);
            InterfaceOf<MusicLoopPoints>(p, IID_MusicLoopPoints)->SetLoopStart(v);
            InterfaceOf<MusicLoopPoints>(p, IID_MusicLoopPoints)->SetLoopEnd(v);
            InterfaceOf<MusicSeekControl>(p, IID_MusicSeekControl)->Seek(v);
            InterfaceOf<MusicFadeControl>(p, IID_MusicFadeControl)->Fade(0, v, false);
            InterfaceOf<MusicFadeControl>(p, IID_MusicFadeControl)->Fade(v, 50, v % 2 == 0);
            InterfaceOf<MusicFadeControl>(p, IID_MusicFadeControl)->StopFade();
            auto* sequence = InterfaceOf<MusicSequence>(p, IID_MusicSequence);
            sequence->QueuePiece(v, v, v);
            sequence->ReplaceQueue(v % 2, v, v);
            sequence->QueuePiece(0, v, v % 2);
            sequence->SwitchTo(v % 2, v, v, v, v, v, v);
            sequence->SwitchTo(0, 1, 0, v % 4, v, v % 3, v % 2 * 30);
            EXPECT_LE(sequence->GetQueuedCount(), MusicSequence::kMaxPieces);
            EXPECT_GE(sequence->GetHeardMusicNumber(), -1);
            if (v % 3 == 0) sequence->ClearQueue();
            p->Load(v);
            const int number = v < 0 ? v : (v > 0x7FFFFFFF - 70000 ? v : v + 70000);
            const bool registered = module->SetPlayInfo(number, "x", v, v);
            EXPECT_FALSE(registered);
            module->GetPlayer(v);
            volume->SetMasterVolume(v * 0.001);
        }
        InterfaceOf<MusicPauseControl>(p, IID_MusicPauseControl)->Resume();
        InterfaceOf<MusicTimeInfo>(p, IID_MusicTimeInfo)->GetPositionMs();
        InterfaceOf<MusicFormatInfo>(p, IID_MusicFormatInfo)->GetAvgBytesPerSec();
        p->Play();
        Advance(100);
        p->Unload();
        p->Unload();
        EXPECT_FALSE(p->IsPlaying());
    }
    EXPECT_EQ(static_cast<ModuleObject*>(module)->LoadedStreamCount(), 0);
    module->Release();
    module->Release();
    EXPECT_EQ(module->GetPlayer(0)->Play(), false);
}

}  // namespace
}  // namespace sonaflux
