// Volume conversion and the fade worker, with a host timer the test moves: every level a
// fade applies is known in advance, and the test waits (bounded) until it is applied.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/faults.h"
#include "base/messages.h"
#include "base/module_timer.h"
#include "base/sync.h"
#include "config/module_options.h"
#include "config/module_settings.h"
#include "softds/softds.h"
#include "sonaflux/sonaflux.h"
#include "sound/sound_stream.h"
#include "support/host_timer.h"
#include "support/interfaces.h"
#include "support/module_reset.h"
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
    // A factor or master volume at or below 0 is silence under either curve: the squared
    // curve must not turn -0.5 into an audible 0.25.
    struct Silent {
        double master, factor;
    };
    for (int curve : {0, 1}) {
        Settings().FADETYPE = curve;
        for (const Silent& v : {Silent{1.0, -0.5}, Silent{-0.5, 1.0}, Silent{-0.5, -0.5},
                                Silent{1.0, -1e-9}, Silent{0.5, -2.0}}) {
            Options().masterVolume = 1.0;
            ASSERT_TRUE(Buffer().SetVolume(0.5));  // audible in between
            ASSERT_GT(record->Volume(), -10000);
            Options().masterVolume = v.master;
            ASSERT_TRUE(Buffer().SetVolume(v.factor));
            EXPECT_EQ(record->Volume(), -10000) << curve << " " << v.master << " " << v.factor;
        }
    }
    Settings().FADETYPE = 2;
    ASSERT_TRUE(Buffer().SetVolume(1.0));  // the current volume the lines below expect

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

// A fade waits a thousandth of its duration between steps, and at least 10 ms, so a short
// fade does not spin; a negative duration waits almost 50 days.
TEST(FadeSteps, TheWaitBetweenStepsIsAThousandthOfTheDurationAndAtLeastTenMilliseconds) {
    struct Row {
        int32_t duration;
        DWORD wait;
    };
    for (const Row& r :
         {Row{30000, 30}, Row{10999, 10}, Row{10000, 10}, Row{9999, 10}, Row{1000, 10},
          Row{500, 10}, Row{1, 10}, Row{0, 10}, Row{-5000, 0xFFFFFFFBu}}) {
        EXPECT_EQ(CFadeThread::StepWait(r.duration), r.wait) << r.duration;
    }
}

// The interval is host time: at the wall clock's pace (jitter of a few ms included) the
// wait is the interval; after a timer clearly faster than the wall clock (a render, whose
// clock waits for the step) the next step comes at once; a timer that stood still or went
// back keeps the last wait, as does a look too short to tell (under the interval and 50 ms:
// a render that moved its clock a little), but a step taken at once is followed by 1 ms.
TEST(FadeSteps, TheWaitFollowsThePaceOfTheHostsTimer) {
    struct Row {
        DWORD interval, previous;
        uint32_t timerMs;
        double wallMs;
        DWORD wait;
    };
    for (const Row& r :
         {Row{60, 60, 60, 60.2, 60},       Row{10, 10, 12, 10.1, 10},
          Row{10, 3, 11, 9.8, 3},          Row{10, 3, 11, 10.0, 10},
          Row{60, 10, 50, 50.0, 60},       Row{60, 10, 40, 40.0, 10},
          Row{3600, 10, 50, 50.5, 3600},   Row{60, 60, 100, 60.0, 0},
          Row{60, 36, 100, 36.5, 0},       Row{60, 2, 100, 0.4, 0},
          Row{60, 1, 100, 1.1, 0},         Row{3600, 10, 100, 10.0, 0},
          Row{60, 0, 1, 0.05, 1},          Row{60, 1, 3, 1.1, 1},
          Row{60, 7, 0, 50.0, 7},          Row{60, 0, 0, 0.05, 1},
          Row{60, 1, 0, 1.1, 1},           Row{60, 7, 0xFFFFFFF0u, 50.0, 7},
          Row{60, 0, 0xFFFFFFF0u, 0.1, 1}, Row{0xFFFFFFFBu, 0xFFFFFFFBu, 100, 10.0, 0}}) {
        EXPECT_EQ(CFadeThread::PacedWait(r.interval, r.previous, r.timerMs, r.wallMs), r.wait)
            << r.interval << " " << r.timerMs << " " << r.wallMs;
    }
}

TEST_F(FadeTest, NegativeDurationNeverStepsAndStopJumpsToTheTarget) {
    ASSERT_TRUE(Buffer().StartFade(-5000, 0.5, false));  // waits of almost 50 days
    timer.now += 100000;
    EXPECT_TRUE(Buffer().IsFading());
    ASSERT_TRUE(Buffer().StopFade());  // returns once the fade thread has ended
    EXPECT_FALSE(Buffer().IsFading());
    EXPECT_EQ(record->Volume(), -1200);
    // The target, applied by the end step, is the only level the fade ever applied.
    const auto calls = record->Calls();
    EXPECT_EQ(
        std::count_if(calls.begin(), calls.end(),
                      [](const softds::CallRecord& c) { return c.op == softds::Op::SetVolume; }),
        1);
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

// A device that hands out the software device's buffers wrapped, so a test can step in
// on the thread of a volume call while it is under way, and see whether a buffer was
// released while such a call was still in it.
class GatedDevice final : public ds::IDirectSound {
public:
    explicit GatedDevice(ds::IDirectSound* inner) : m_Inner(inner) {}

    // Runs at the start of every SetVolume, on the calling thread.
    void SetHook(std::function<void()> hook) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Hook = std::move(hook);
    }
    bool Released() const { return m_Released.load(); }
    int ReleasedDuringAVolumeCall() const { return m_ReleasedInFlight.load(); }
    int VolumeCallsAfterRelease() const { return m_CallsAfterRelease.load(); }

    ds::HRESULT SFX_DSCALL QueryInterface(const GUID& iid, void** object) override {
        return m_Inner->QueryInterface(iid, object);
    }
    uint32_t SFX_DSCALL AddRef() override { return 1; }
    uint32_t SFX_DSCALL Release() override { return 1; }
    ds::HRESULT SFX_DSCALL CreateSoundBuffer(const ds::DSBUFFERDESC* desc,
                                             ds::IDirectSoundBuffer** buffer,
                                             ds::IUnknown* outer) override {
        ds::IDirectSoundBuffer* inner = nullptr;
        const ds::HRESULT result = m_Inner->CreateSoundBuffer(desc, &inner, outer);
        if (result < 0) return result;
        m_Buffers.push_back(std::make_unique<Buffer>(*this, inner));
        *buffer = m_Buffers.back().get();
        return result;
    }
    ds::HRESULT SFX_DSCALL GetCaps(void*) override { return ds::DSERR_GENERIC; }
    ds::HRESULT SFX_DSCALL DuplicateSoundBuffer(ds::IDirectSoundBuffer*,
                                                ds::IDirectSoundBuffer**) override {
        return ds::DSERR_GENERIC;
    }
    ds::HRESULT SFX_DSCALL SetCooperativeLevel(void*, uint32_t) override { return ds::DS_OK; }
    ds::HRESULT SFX_DSCALL Compact() override { return ds::DS_OK; }
    ds::HRESULT SFX_DSCALL GetSpeakerConfig(uint32_t*) override { return ds::DSERR_GENERIC; }
    ds::HRESULT SFX_DSCALL SetSpeakerConfig(uint32_t) override { return ds::DSERR_GENERIC; }
    ds::HRESULT SFX_DSCALL Initialize(const GUID*) override { return ds::DS_OK; }

private:
    class Buffer final : public ds::IDirectSoundBuffer {
    public:
        Buffer(GatedDevice& device, ds::IDirectSoundBuffer* inner)
            : m_Device(device), m_Inner(inner) {}
        ds::HRESULT SFX_DSCALL QueryInterface(const GUID& iid, void** object) override {
            return m_Inner->QueryInterface(iid, object);
        }
        uint32_t SFX_DSCALL AddRef() override { return m_Inner->AddRef(); }
        uint32_t SFX_DSCALL Release() override {
            if (m_InFlight.load() > 0) ++m_Device.m_ReleasedInFlight;
            m_Device.m_Released = true;
            return m_Inner->Release();
        }
        ds::HRESULT SFX_DSCALL GetCaps(void* caps) override { return m_Inner->GetCaps(caps); }
        ds::HRESULT SFX_DSCALL GetCurrentPosition(uint32_t* play, uint32_t* write) override {
            return m_Inner->GetCurrentPosition(play, write);
        }
        ds::HRESULT SFX_DSCALL GetFormat(ds::WAVEFORMATEX* format, uint32_t size,
                                         uint32_t* written) override {
            return m_Inner->GetFormat(format, size, written);
        }
        ds::HRESULT SFX_DSCALL GetVolume(int32_t* volume) override {
            return m_Inner->GetVolume(volume);
        }
        ds::HRESULT SFX_DSCALL GetPan(int32_t* pan) override { return m_Inner->GetPan(pan); }
        ds::HRESULT SFX_DSCALL GetFrequency(uint32_t* frequency) override {
            return m_Inner->GetFrequency(frequency);
        }
        ds::HRESULT SFX_DSCALL GetStatus(uint32_t* status) override {
            return m_Inner->GetStatus(status);
        }
        ds::HRESULT SFX_DSCALL Initialize(ds::IDirectSound* device,
                                          const ds::DSBUFFERDESC* desc) override {
            return m_Inner->Initialize(device, desc);
        }
        ds::HRESULT SFX_DSCALL Lock(uint32_t offset, uint32_t bytes, void** first,
                                    uint32_t* firstBytes, void** second, uint32_t* secondBytes,
                                    uint32_t flags) override {
            return m_Inner->Lock(offset, bytes, first, firstBytes, second, secondBytes, flags);
        }
        ds::HRESULT SFX_DSCALL Play(uint32_t reserved, uint32_t priority, uint32_t flags) override {
            return m_Inner->Play(reserved, priority, flags);
        }
        ds::HRESULT SFX_DSCALL SetCurrentPosition(uint32_t position) override {
            return m_Inner->SetCurrentPosition(position);
        }
        ds::HRESULT SFX_DSCALL SetFormat(const ds::WAVEFORMATEX* format) override {
            return m_Inner->SetFormat(format);
        }
        ds::HRESULT SFX_DSCALL SetVolume(int32_t volume) override {
            ++m_InFlight;
            std::function<void()> hook;
            {
                std::lock_guard<std::mutex> lock(m_Device.m_Mutex);
                hook = m_Device.m_Hook;
            }
            if (hook) hook();
            ds::HRESULT result = ds::DSERR_GENERIC;
            if (m_Device.m_Released.load()) {
                ++m_Device.m_CallsAfterRelease;  // never handed on to a released buffer
            } else {
                result = m_Inner->SetVolume(volume);
            }
            --m_InFlight;
            return result;
        }
        ds::HRESULT SFX_DSCALL SetPan(int32_t pan) override { return m_Inner->SetPan(pan); }
        ds::HRESULT SFX_DSCALL SetFrequency(uint32_t frequency) override {
            return m_Inner->SetFrequency(frequency);
        }
        ds::HRESULT SFX_DSCALL Stop() override { return m_Inner->Stop(); }
        ds::HRESULT SFX_DSCALL Unlock(void* first, uint32_t firstBytes, void* second,
                                      uint32_t secondBytes) override {
            return m_Inner->Unlock(first, firstBytes, second, secondBytes);
        }
        ds::HRESULT SFX_DSCALL Restore() override { return m_Inner->Restore(); }

    private:
        GatedDevice& m_Device;
        ds::IDirectSoundBuffer* m_Inner;
        std::atomic<int> m_InFlight{0};
    };

    ds::IDirectSound* m_Inner;
    std::vector<std::unique_ptr<Buffer>> m_Buffers;
    std::mutex m_Mutex;
    std::function<void()> m_Hook;
    std::atomic<bool> m_Released{false};
    std::atomic<int> m_ReleasedInFlight{0};
    std::atomic<int> m_CallsAfterRelease{0};
};

// The host re-applies the master volume (read the current volume, apply it) while a fade
// applies its last level: the level finally applied is the fade's, never the one read
// before it. The fade's last step is due while the host's call is on its way to the
// device; with the volume guard it waits for that call, without one it would land first
// and be undone.
TEST(FadeAndMasterVolume, AFadesLastStepIsNeverUndoneByTheMasterVolume) {
    Settings().ResetToDefaults();
    Options().ResetToDefaults();
    Settings().NOTIFY_MAX = 4;
    Settings().RING_BUFFER_BLOCK_SIZE = 1024;
    auto* module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
    ASSERT_NE(module, nullptr);
    softds::DeviceOptions options;
    options.outputRate = 8000;
    softds::Device* device = softds::Device::Create(options);
    GatedDevice gated(device->Interface());
    test::HostTimer timer;
    module->SetDirectSound(ds::ToHost(&gated));
    module->SetTimer(&timer);
    auto* volume = static_cast<MusicVolumeControl*>(module->GetInterface(&IID_MusicVolumeControl));
    test::TempFile file(test::MakeWave(2, 8000, 16, test::PatternPcm(40000)), "master");
    ASSERT_TRUE(module->SetPlayInfo(0, file.c_str(), 0, 40044));
    MusicPlayer* player = module->GetPlayer(0);
    ASSERT_TRUE(player->Load(0));
    ASSERT_TRUE(player->Play());
    auto* fade = test::InterfaceOf<MusicFadeControl>(player, IID_MusicFadeControl);
    auto record = device->Buffer(0);

    ASSERT_TRUE(fade->Fade(1000, 0, false));
    timer.now += 500;
    ASSERT_TRUE(Eventually([&] { return record->Volume() == -1200; }));  // 0.5, squared
    const auto host = std::this_thread::get_id();
    bool once = false;
    gated.SetHook([&] {
        if (std::this_thread::get_id() != host || once) return;
        once = true;
        timer.now += 1000;
        // Room for an unguarded last step to land now (no outcome is read from this wait).
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
        while (fade->IsFading() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    ASSERT_TRUE(volume->SetMasterVolume(1.0));
    gated.SetHook(nullptr);
    EXPECT_TRUE(once);
    EXPECT_TRUE(Eventually([&] { return !fade->IsFading(); }));
    EXPECT_EQ(record->Volume(), -10000);
    ASSERT_TRUE(volume->SetMasterVolume(0.5));  // and it stays the fade's level
    EXPECT_EQ(record->Volume(), -10000);

    test::ResetModule(module);
    device->Release();
}

// A fade thread that outlives its stop (here the stop signal fails) while it is inside a
// volume call: the buffer is released only after that call has returned, and the thread
// never calls the stream again.
TEST(FadeTeardown, AFadeThreadThatOutlivesItsStopNeverReachesAReleasedBuffer) {
    Settings().ResetToDefaults();
    Options().ResetToDefaults();
    Settings().NOTIFY_MAX = 4;
    Settings().RING_BUFFER_BLOCK_SIZE = 1024;
    test::HostTimer timer;
    SetModuleTimer(&timer);
    softds::DeviceOptions options;
    options.outputRate = 8000;
    softds::Device* device = softds::Device::Create(options);
    {
        GatedDevice gated(device->Interface());
        test::TempFile file(test::MakeWave(2, 8000, 16, test::PatternPcm(40000)), "teardown");
        auto stream = std::make_unique<SoundStream>();
        ASSERT_TRUE(stream->Load(&gated, file.c_str(), 0, 40044));
        ASSERT_TRUE(stream->Play(0));
        const auto host = std::this_thread::get_id();
        std::atomic<bool> entered{false};
        gated.SetHook([&] {
            if (std::this_thread::get_id() == host || entered.exchange(true)) return;
            // Hold the fade thread in its call until the buffer is released, or for a
            // second when nothing releases it meanwhile.
            for (int i = 0; i < 1000 && !gated.Released(); ++i) Sleep(1);
        });
        ASSERT_TRUE(stream->StartFade(1000, 0.0, false));
        timer.now += 100;
        ASSERT_TRUE(Eventually([&] { return entered.load(); }));
        ArmFault(FaultPoint::EventSet);  // the fade cannot be told to stop
        stream->Buffer().Discard();
        DisarmFaults();
        EXPECT_TRUE(device->Buffer(0)->Released());
        EXPECT_EQ(gated.ReleasedDuringAVolumeCall(), 0);
        stream.reset();
        gated.SetHook(nullptr);
        EXPECT_EQ(gated.VolumeCallsAfterRelease(), 0);
    }
    device->Release();
    ClearModuleTimer();
    Settings().ResetToDefaults();
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
