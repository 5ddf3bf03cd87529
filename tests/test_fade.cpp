// Volume conversion and the fade worker, with a host timer the test moves: every level a
// fade applies is known in advance, and the test waits (bounded) until it is applied.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <thread>

#include "base/messages.h"
#include "base/module_timer.h"
#include "base/sync.h"
#include "config/module_options.h"
#include "config/module_settings.h"
#include "softds/softds.h"
#include "sonaflux/sonaflux.h"
#include "sound/sound_stream.h"
#include "support/host_timer.h"
#include "support/report_capture.h"
#include "support/test_files.h"
#include "support/wave_image.h"

namespace sonaflux {
namespace {

using test::Bytes;
using test::Eventually;
using test::ReportCapture;

void ExpectConversionTable() {
    struct Row {
        double factor;
        int32_t linear, squared;
    };
    for (const Row& r :
         {Row{1.0, 0, 0}, Row{0.9, 0, -100}, Row{0.75, -200, -400}, Row{0.5, -600, -1200},
          Row{0.25, -1200, -2400}, Row{0.0, -10000, -10000}, Row{2.0, 0, 0}}) {
        EXPECT_EQ(LinearToHundredthsDb(r.factor), r.linear) << r.factor;
        EXPECT_EQ(LinearToHundredthsDb(r.factor * r.factor), r.squared) << r.factor;
    }
    EXPECT_EQ(LinearToHundredthsDb(0.1), -1900);  // the double nearest 0.1 lies above it
    EXPECT_EQ(LinearToHundredthsDb(-0.5), -10000);
    EXPECT_EQ(LinearToHundredthsDb(std::nan("")), -10000);
    EXPECT_EQ(LinearToHundredthsDb(1e-300), -10000);
    EXPECT_EQ(LinearToHundredthsDb(std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(LinearToHundredthsDb(0.1 * 0.1), -3900);  // just above 0.01: -39.99... dB
}

unsigned __stdcall ConversionOnAThread(void*) {
    ExpectConversionTable();
    return 0;
}

// The same on the host's thread and on a thread the module starts, as fade threads are:
// those begin with whatever floating-point state the system gives new threads.
TEST(VolumeConversion, WholeDecibelsInHundredthsClampedToTheDirectSoundRange) {
    ExpectConversionTable();
    CThreadObject thread;
    ASSERT_TRUE(thread.Start(&ConversionOnAThread, nullptr));
    ASSERT_TRUE(thread.Wait(INFINITE));
}

class FadeTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings().ResetToDefaults();
        Options().ResetToDefaults();
        Settings().NOTIFY_MAX = 4;
        Settings().RING_BUFFER_BLOCK_SIZE = 1024;
        SetModuleTimer(&timer);
        softds::DeviceOptions options;
        options.outputRate = 8000;
        device = softds::Device::Create(options);
        file = std::make_unique<test::TempFile>(
            test::MakeWave(2, 8000, 16, test::PatternPcm(40000)), "fade");
        stream = std::make_unique<SoundStream>();
        ASSERT_TRUE(stream->Load(device->Interface(), file->c_str(), 0, 40044));
        record = device->Buffer(0);
    }
    void TearDown() override {
        stream.reset();
        device->Release();
        ClearModuleTimer();
        Settings().ResetToDefaults();
        Options().ResetToDefaults();
    }

    StreamBuffer& Buffer() { return stream->Buffer(); }
    ::testing::AssertionResult VolumeBecomes(int32_t v) {
        if (Eventually([&] { return record->Volume() == v; })) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "volume stayed " << record->Volume();
    }
    bool FadeEnds() {
        return Eventually([&] { return !Buffer().IsFading(); });
    }

    test::HostTimer timer{0xFFFFFF00u};  // near the wrap: differences must survive it
    softds::Device* device = nullptr;
    std::unique_ptr<test::TempFile> file;
    std::unique_ptr<SoundStream> stream;
    std::shared_ptr<softds::BufferRecord> record;
    ReportCapture reports;
};

TEST_F(FadeTest, SetVolumeAppliesMasterVolumeAndCurveAndCountsOnlyDsOkAsApplied) {
    ASSERT_TRUE(Buffer().SetVolume(0.5));
    EXPECT_EQ(record->Volume(), -1200);
    Settings().FADETYPE = 1;
    ASSERT_TRUE(Buffer().SetVolume(0.5));
    EXPECT_EQ(record->Volume(), -600);
    Settings().FADETYPE = 2;  // anything but 1 squares
    Options().masterVolume = 0.5;
    ASSERT_TRUE(Buffer().SetVolume(0.5));
    EXPECT_EQ(record->Volume(), -2400);
    EXPECT_EQ(Buffer().CurrentVolume(), 0.5);  // the factor, before master volume and curve
    Options().masterVolume = 0.0;
    ASSERT_TRUE(Buffer().SetVolume(1.0));
    EXPECT_EQ(record->Volume(), -10000);

    Options().masterVolume = 1.0;
    device->FailNext(softds::Op::SetVolume, ds::DSERR_INVALIDPARAM);
    EXPECT_TRUE(Buffer().SetVolume(0.25));
    EXPECT_EQ(Buffer().CurrentVolume(), 1.0);
    ASSERT_EQ(reports.DebugLines().size(), 1u);
    EXPECT_EQ(reports.DebugLines()[0], "dmvol = -2400, doubleVol=0.062500");

    ASSERT_TRUE(stream->Unload());
    EXPECT_FALSE(Buffer().SetVolume(0.5));
}

TEST_F(FadeTest, LinearFadeStepsWithTheTimerAndEndsAtItsTarget) {
    ASSERT_TRUE(stream->Play(0));
    ASSERT_TRUE(Buffer().StartFade(1000, 0.0, false));
    EXPECT_TRUE(Buffer().IsFading());
    timer.now += 250;  // 0.75, squared by the conversion
    EXPECT_TRUE(VolumeBecomes(-400));
    timer.now += 250;
    EXPECT_TRUE(VolumeBecomes(-1200));
    timer.now += 600;  // past the end: the target
    EXPECT_TRUE(FadeEnds());
    EXPECT_EQ(record->Volume(), -10000);
    EXPECT_EQ(Buffer().CurrentVolume(), 0.0);
    EXPECT_TRUE(Buffer().IsPlaying());  // no stop was asked for

    // The next fade starts from the level this one applied, not from 1.0.
    ASSERT_TRUE(Buffer().StartFade(1000, 1.0, false));
    timer.now += 500;
    EXPECT_TRUE(VolumeBecomes(-1200));
    ASSERT_TRUE(Buffer().StopFade());
    EXPECT_EQ(record->Volume(), 0);
}

TEST_F(FadeTest, SquaredFadesHoldAtTheTargetAndTheCurveIsReadAtEveryStep) {
    Settings().FADETYPE = 1;
    ASSERT_TRUE(Buffer().SetVolume(0.5));
    // Falling from 0.5 to 0.3: 0.5 squared lies below the target, so the target holds.
    ASSERT_TRUE(Buffer().StartFade(1000, 0.3, false));
    EXPECT_TRUE(VolumeBecomes(-1000));
    for (const auto& call : record->Calls()) {
        if (call.op == softds::Op::SetVolume) {
            EXPECT_GE(call.value, -1200);
        }
    }
    ASSERT_TRUE(Buffer().StopFade());

    // The curves complement each other, so they differ under a master volume: squared
    // fades give master x level^2, squared conversion (master x level)^2.
    Options().masterVolume = 0.5;
    ASSERT_TRUE(Buffer().SetVolume(0.2));
    ASSERT_TRUE(Buffer().StartFade(1000, 0.6, false));
    EXPECT_TRUE(VolumeBecomes(-3300));  // 0.5 x 0.04 = 0.02: -33.98 dB
    Settings().FADETYPE = 0;            // read at every step
    EXPECT_TRUE(VolumeBecomes(-3900));  // (0.5 x 0.2)^2 = 0.01 (just above): -39.99 dB
    timer.now += 500;
    EXPECT_TRUE(VolumeBecomes(-2700));  // (0.5 x 0.4)^2 = 0.04
    ASSERT_TRUE(Buffer().StopFade());
    EXPECT_EQ(record->Volume(), -2000);  // (0.5 x 0.6)^2 = 0.09: -20.9 dB
}

TEST_F(FadeTest, DurationZeroCompletesAtOnceAndStopsWhenAsked) {
    ASSERT_TRUE(stream->Play(0));
    ASSERT_TRUE(Buffer().StartFade(0, 0.25, true));
    EXPECT_TRUE(FadeEnds());
    EXPECT_EQ(record->Volume(), -2400);
    EXPECT_FALSE(Buffer().IsPlaying());
    EXPECT_TRUE(stream->IsPrimed());  // the stream stays primed: a stop by fade is no Stop
}

TEST_F(FadeTest, NegativeDurationNeverStepsAndStopJumpsToTheTarget) {
    ASSERT_TRUE(Buffer().StartFade(-5000, 0.5, false));  // waits of almost 50 days
    timer.now += 100000;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(Buffer().IsFading());
    EXPECT_EQ(record->Volume(), 0);
    ASSERT_TRUE(Buffer().StopFade());
    EXPECT_FALSE(Buffer().IsFading());
    EXPECT_EQ(record->Volume(), -1200);
}

TEST_F(FadeTest, InterruptedFadesApplyTheirTargetAndStopBeforeTheNextBegins) {
    ASSERT_TRUE(stream->Play(0));
    ASSERT_TRUE(Buffer().StartFade(4000, 0.0, true));
    timer.now += 1000;
    EXPECT_TRUE(VolumeBecomes(-400));  // 0.75 squared: -4.998 dB
    ASSERT_TRUE(Buffer().StopFade());  // jumps to 0.0 and stops the buffer
    EXPECT_EQ(record->Volume(), -10000);
    EXPECT_FALSE(Buffer().IsPlaying());
    EXPECT_TRUE(Buffer().StoppedByFade());

    ASSERT_TRUE(stream->Play(0));
    ASSERT_TRUE(Buffer().StartFade(2000, 1.0, true));
    timer.now += 1000;
    EXPECT_TRUE(VolumeBecomes(-1200));  // 0.5 squared
    // A new fade ends the running one first, with its stop, at its target.
    ASSERT_TRUE(Buffer().StartFade(1000, 0.5, false));
    EXPECT_FALSE(Buffer().IsPlaying());
    EXPECT_TRUE(VolumeBecomes(0));
    timer.now += 1000;
    EXPECT_TRUE(FadeEnds());
    EXPECT_EQ(record->Volume(), -1200);
}

TEST_F(FadeTest, TargetsOutsideZeroToOneAreRefused) {
    EXPECT_FALSE(Buffer().StartFade(1000, 1.5, false));
    EXPECT_FALSE(Buffer().StartFade(1000, -0.1, false));
    EXPECT_FALSE(Buffer().StartFade(1000, std::nan(""), false));
    EXPECT_FALSE(Buffer().IsFading());
    EXPECT_TRUE(Buffer().StartFade(1000, 1.0, false));
    EXPECT_TRUE(Buffer().StopFade());
    EXPECT_TRUE(Buffer().StartFade(1000, 0.0, false));
    EXPECT_TRUE(Buffer().StopFade());
    EXPECT_TRUE(stream->StartFade(1000, 0.5, false));
    EXPECT_FALSE(stream->StartFade(1000, 0.2, false));  // one runs already
    EXPECT_TRUE(Buffer().StopFade());
    EXPECT_EQ(record->Volume(), -1200);
}

TEST_F(FadeTest, WithoutATimerEveryStepIsShownAndTheFadeStands) {
    ClearModuleTimer();
    ASSERT_TRUE(Buffer().StartFade(1000, 0.0, false));
    EXPECT_TRUE(Eventually([&] { return reports.CountBox(msg::kTimerNotSet) >= 5; }));
    EXPECT_TRUE(Buffer().IsFading());
    ASSERT_TRUE(Buffer().StopFade());
    EXPECT_EQ(record->Volume(), -10000);
}

TEST_F(FadeTest, UnloadAndDestructionEndARunningFadeAtItsTarget) {
    ASSERT_TRUE(stream->Play(0));
    ASSERT_TRUE(Buffer().StartFade(3000, 0.5, false));
    ASSERT_TRUE(stream->Unload());
    EXPECT_FALSE(Buffer().IsFading());
    EXPECT_EQ(record->Volume(), -1200);
    EXPECT_TRUE(record->Released());
    EXPECT_EQ(Buffer().CurrentVolume(), 1.0);  // reset with the buffer

    ASSERT_TRUE(stream->Load(device->Interface(), file->c_str(), 0, 40044));
    auto second = device->Buffer(1);
    ASSERT_TRUE(Buffer().StartFade(3000, 0.25, false));
    stream.reset();
    EXPECT_EQ(second->Volume(), -2400);
    EXPECT_TRUE(second->Released());
    EXPECT_EQ(reports.CountBox(msg::kFadeThreadAlive), 0);
}

// The mixed output follows the attenuation: -600 is half the amplitude.
TEST(FadeOutput, PlayedAmplitudeFollowsTheAttenuation) {
    Settings().ResetToDefaults();
    Settings().NOTIFY_MAX = 4;
    Settings().RING_BUFFER_BLOCK_SIZE = 1024;
    const std::string out = test::TempPath("mix") + ".wav";
    Bytes pcm;
    for (int i = 0; i < 8000; ++i) {  // a square wave of amplitude 16000, stereo
        const int16_t v = (i / 20) % 2 ? 16000 : -16000;
        for (int c = 0; c < 2; ++c) test::PutLe16(pcm, static_cast<uint16_t>(v));
    }
    {
        softds::DeviceOptions options;
        options.outputRate = 8000;
        options.sink = softds::SinkKind::WavFile;
        options.wavPath = out;
        softds::Device* device = softds::Device::Create(options);
        test::TempFile file(test::MakeWave(2, 8000, 16, pcm), "square");
        SoundStream stream;
        ASSERT_TRUE(stream.Load(device->Interface(), file.c_str(), 0,
                                static_cast<uint32_t>(pcm.size() + 44)));
        ASSERT_TRUE(stream.Buffer().SetVolume(std::sqrt(0.5)));  // squared: 0.5, -6 dB
        ASSERT_TRUE(stream.Play(0));
        ASSERT_TRUE(device->Advance(4000));
        ASSERT_TRUE(stream.Unload());
        device->Release();
    }
    std::ifstream in(out, std::ios::binary);
    Bytes wav((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    test::RemoveFile(out);
    ASSERT_EQ(wav.size(), 44u + 4000 * 4);
    int peak = 0;
    for (size_t i = 44; i + 1 < wav.size(); i += 2) {
        const auto v = static_cast<int16_t>(wav[i] | (wav[i + 1] << 8));
        peak = std::max(peak, std::abs(static_cast<int>(v)));
    }
    EXPECT_NEAR(peak, 16000 * 0.501, 16000 * 0.01);  // 10^(-600/2000)
}

}  // namespace
}  // namespace sonaflux
