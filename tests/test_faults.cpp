// The fault matrix: every failure point of the platform layer (file open, read and seek,
// event creation and signalling, thread start and priority) and of softds (buffer
// creation, notification interface and positions, lock, unlock, play, stop, cursor
// position, status, volume) injected once, under a playing stream where the call happens
// during playback and at load where that is the only place it can happen. Each row states
// the result of the operation that meets the fault and the exact error boxes and debugger
// lines it shows; afterwards the stream must unload, every sound buffer must be released,
// and the same player must load and play the music again without an underrun. Built with
// AddressSanitizer this also finds what a failure path leaks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/faults.h"
#include "base/message_delivery.h"
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
using Op = softds::Op;
namespace ds = sonaflux::ds;

constexpr uint32_t kRate = 8000;
constexpr uint32_t kFrameBytes = 4;  // 16-bit stereo
constexpr uint32_t kSegment = 2048;  // ring of 8 segments; half a ring is 8192 bytes
constexpr uint32_t kDataBytes = 40000;
constexpr uint32_t kPlayedFirst = 1000;  // frames played before a fault under playback

std::string Format(const char* format, int value) {
    char text[256];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

class FaultMatrix;

// One row of the matrix.
struct FaultCase {
    const char* name;
    bool atLoad;  // the fault meets Load; otherwise a stream is loaded and playing first
    std::function<void(FaultMatrix&)> inject;
    std::function<bool(FaultMatrix&)> act;  // the operation that meets the fault
    bool result;                            // what `act` must answer
    std::vector<std::string> boxes;         // exactly these error boxes, in this order
    std::vector<std::string> debugLines;    // each of these debugger lines at least once
    std::function<void(FaultMatrix&)> check = nullptr;  // what playback must show afterwards
    bool raisePriority = false;                         // keep-priority option off
};

class FaultMatrix : public ::testing::TestWithParam<FaultCase> {
public:
    void SetUp() override {
        Settings().ResetToDefaults();
        Options().ResetToDefaults();
        DisarmFaults();
        Settings().NOTIFY_MAX = 8;
        Settings().RING_BUFFER_BLOCK_SIZE = static_cast<int32_t>(kSegment);
        Settings().STREAM_BUFFER_SIZE = 4096;  // a disk read every second segment
        module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
        ASSERT_NE(module, nullptr);
        softds::DeviceOptions options;
        options.outputRate = kRate;
        device = softds::Device::Create(options);
        ASSERT_NE(device, nullptr);
        module->SetDirectSound(device->HostInterface());
        module->SetTimer(&timer);
        volume = static_cast<MusicVolumeControl*>(module->GetInterface(&IID_MusicVolumeControl));
        data = test::PatternPcm(kDataBytes, 5);
        file = std::make_unique<test::TempFile>(test::MakeWave(2, kRate, 16, data), "faults");
        ASSERT_TRUE(module->SetPlayInfo(0, file->c_str(), 0, static_cast<int>(kDataBytes + 44)));
        player = module->GetPlayer(0);
    }

    void TearDown() override {
        DisarmFaults();
        test::ResetModule(module);
        device->Release();
    }

    std::shared_ptr<softds::BufferRecord> Last() const {
        return device->BufferCount() ? device->Buffer(device->BufferCount() - 1) : nullptr;
    }
    bool Advance(uint32_t frames) { return device->Advance(frames); }
    MusicPauseControl* Pause() const {
        return InterfaceOf<MusicPauseControl>(player, IID_MusicPauseControl);
    }
    Bytes Data(size_t from, size_t to) const {
        return Bytes(data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(to));
    }
    // The music from byte 0 with `gap` bytes of silence at byte `at`, after which the
    // music goes on from byte `resume`; `total` bytes in all.
    Bytes WithGap(size_t at, size_t gap, size_t resume, size_t total) const {
        Bytes out = Data(0, at);
        out.insert(out.end(), gap, 0);
        for (size_t i = resume; out.size() < total; ++i) out.push_back(data[i % data.size()]);
        return out;
    }

    // Where `played` leaves `expected`, and what it holds there: the run of silence and
    // the data offset at which the music goes on after it.
    std::string Diff(const Bytes& played, const Bytes& expected) const {
        size_t i = 0;
        while (i < played.size() && i < expected.size() && played[i] == expected[i]) ++i;
        if (i == played.size() && i == expected.size()) return "equal";
        size_t zeros = 0;
        while (i + zeros < played.size() && played[i + zeros] == 0) ++zeros;
        std::string resumes = "nowhere";
        const size_t at = i + zeros;
        if (at + 16 <= played.size()) {
            for (size_t d = 0; d + 16 <= data.size(); ++d) {
                if (std::equal(played.begin() + static_cast<long>(at),
                               played.begin() + static_cast<long>(at + 16),
                               data.begin() + static_cast<long>(d))) {
                    resumes = std::to_string(d);
                    break;
                }
            }
        }
        return "played " + std::to_string(played.size()) + " bytes, expected " +
               std::to_string(expected.size()) + "; they part at byte " + std::to_string(i) +
               ", where " + std::to_string(zeros) + " zero bytes follow and the music resumes at " +
               "data byte " + resumes;
    }
    void ExpectPlayed(const Bytes& expected) const {
        const Bytes played = Last()->Played();
        EXPECT_TRUE(played == expected) << Diff(played, expected);
    }

    MusicModule* module = nullptr;
    MusicVolumeControl* volume = nullptr;
    MusicPlayer* player = nullptr;
    softds::Device* device = nullptr;
    test::HostTimer timer{700000};
    Bytes data;
    std::unique_ptr<test::TempFile> file;
    test::ReportCapture reports;
};

// Wait (bounded) for something a thread stepping in real time does.
bool Eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 5000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

FaultCase AtLoad(const char* name, std::function<void(FaultMatrix&)> inject,
                 std::vector<std::string> boxes, std::vector<std::string> debugLines = {}) {
    FaultCase c{name,
                true,
                std::move(inject),
                [](FaultMatrix& t) { return t.player->Load(0); },
                false,
                std::move(boxes),
                std::move(debugLines)};
    return c;
}
std::function<void(FaultMatrix&)> DeviceFault(Op op) {
    return [op](FaultMatrix& t) { t.device->FailNext(op); };
}
std::function<void(FaultMatrix&)> Platform(FaultPoint point) {
    return [point](FaultMatrix&) { ArmFault(point); };
}

const std::string kLoad = msg::kStreamLoadFailed;

std::vector<FaultCase> Cases() {
    std::vector<FaultCase> c;
    // ---- softds, at load ----
    c.push_back(AtLoad("CreateSoundBuffer", DeviceFault(Op::CreateSoundBuffer),
                       {msg::kBufferCreateFailed, kLoad}));
    c.push_back(
        AtLoad("QueryNotify", DeviceFault(Op::QueryInterface), {msg::kNotifyQueryFailed, kLoad}));
    c.push_back(AtLoad("SetNotificationPositions", DeviceFault(Op::SetNotificationPositions),
                       {msg::kSetPositionsFailed, kLoad}));
    c.push_back(AtLoad("LockOfTheFirstFill", DeviceFault(Op::Lock), {kLoad}));
    c.push_back(AtLoad("UnlockOfTheFirstFill", DeviceFault(Op::Unlock), {kLoad}));

    // ---- softds, under playback ----
    // A refill whose Lock fails writes that segment silent; the music goes on after it
    // with the bytes the segment would have held.
    c.push_back({"LockOfARefill",
                 false,
                 DeviceFault(Op::Lock),
                 [](FaultMatrix& t) { return t.Advance(3000); },
                 true,
                 {},
                 {},
                 [](FaultMatrix& t) {
                     EXPECT_TRUE(t.player->IsPlaying());
                     t.ExpectPlayed(
                         t.WithGap(5 * kSegment, kSegment, 5 * kSegment, 4000 * kFrameBytes));
                 }});
    // A refill whose Unlock fails loses the bytes it had pulled: silence in their place.
    c.push_back({"UnlockOfARefill",
                 false,
                 DeviceFault(Op::Unlock),
                 [](FaultMatrix& t) { return t.Advance(3000); },
                 true,
                 {},
                 {},
                 [](FaultMatrix& t) {
                     EXPECT_TRUE(t.player->IsPlaying());
                     t.ExpectPlayed(
                         t.WithGap(5 * kSegment, kSegment, 6 * kSegment, 4000 * kFrameBytes));
                 }});
    c.push_back({"PlayAfterStop",
                 false,
                 [](FaultMatrix& t) {
                     ASSERT_TRUE(t.player->Stop());
                     t.device->FailNext(Op::Play);
                 },
                 [](FaultMatrix& t) { return t.player->Play(); },
                 false,
                 {},
                 {},
                 [](FaultMatrix& t) {
                     EXPECT_FALSE(t.player->IsPlaying());
                     t.Last()->ClearPlayed();
                     ASSERT_TRUE(t.player->Play());  // from the start, as after any stop
                     ASSERT_TRUE(t.Advance(500));
                     t.ExpectPlayed(t.Data(0, 500 * kFrameBytes));
                 }});
    // A Resume the device refuses answers false and leaves the stream paused where it was.
    c.push_back({"PlayOfAResume",
                 false,
                 [](FaultMatrix& t) {
                     ASSERT_TRUE(t.Pause()->Pause());
                     t.device->FailNext(Op::Play);
                 },
                 [](FaultMatrix& t) { return t.Pause()->Resume(); },
                 false,
                 {},
                 {},
                 [](FaultMatrix& t) {
                     EXPECT_EQ(t.Pause()->IsPaused(), 1);
                     ASSERT_TRUE(t.Pause()->Resume());
                     ASSERT_TRUE(t.Advance(500));
                     t.ExpectPlayed(t.Data(0, (kPlayedFirst + 500) * kFrameBytes));
                 }});
    // After a seek while paused, Resume restarts at the sought frame; a refused restart
    // answers false, and the next Resume still starts there.
    c.push_back({"RestartOfAResumeAfterASeek",
                 false,
                 [](FaultMatrix& t) {
                     ASSERT_TRUE(t.Pause()->Pause());
                     ASSERT_TRUE(
                         InterfaceOf<MusicSeekControl>(t.player, IID_MusicSeekControl)->Seek(2500));
                     t.device->FailNext(Op::Play);
                 },
                 [](FaultMatrix& t) { return t.Pause()->Resume(); },
                 false,
                 {},
                 {},
                 [](FaultMatrix& t) {
                     EXPECT_EQ(t.Pause()->IsPaused(), 1);
                     t.Last()->ClearPlayed();
                     ASSERT_TRUE(t.Pause()->Resume());
                     ASSERT_TRUE(t.Advance(300));
                     t.ExpectPlayed(t.Data(2500 * kFrameBytes, 2800 * kFrameBytes));
                 }});
    c.push_back({"StopWhilePlaying",
                 false,
                 DeviceFault(Op::Stop),
                 [](FaultMatrix& t) { return t.player->Stop(); },
                 false,
                 {},
                 {},
                 [](FaultMatrix& t) {
                     EXPECT_TRUE(t.player->IsPlaying());
                     t.Last()->ClearPlayed();
                     ASSERT_TRUE(t.Advance(500));
                     t.ExpectPlayed(
                         t.Data(kPlayedFirst * kFrameBytes, (kPlayedFirst + 500) * kFrameBytes));
                     EXPECT_TRUE(t.player->Stop());
                 }});
    c.push_back({"StopOfARestart",
                 false,
                 DeviceFault(Op::Stop),
                 [](FaultMatrix& t) { return t.player->Play(); },
                 false,
                 {},
                 {},
                 [](FaultMatrix& t) {
                     EXPECT_TRUE(t.player->IsPlaying());
                     ASSERT_TRUE(t.Advance(2000));
                 }});
    c.push_back({"SetCurrentPosition",
                 false,
                 [](FaultMatrix& t) {
                     ASSERT_TRUE(t.player->Stop());
                     t.device->FailNext(Op::SetCurrentPosition);
                 },
                 [](FaultMatrix& t) { return t.player->Play(); },
                 false,
                 {},
                 {},
                 [](FaultMatrix& t) {
                     EXPECT_FALSE(t.player->IsPlaying());
                     ASSERT_TRUE(t.player->Play());
                     ASSERT_TRUE(t.Advance(1000));
                 }});
    c.push_back(
        {"GetCurrentPosition",
         false,
         DeviceFault(Op::GetCurrentPosition),
         [](FaultMatrix& t) {
             const uint32_t at =
                 InterfaceOf<MusicSampleInfo>(t.player, IID_MusicSampleInfo)->GetPositionSamples();
             return at <= kDataBytes / kFrameBytes;
         },
         true,
         {msg::kPositionFailed},
         {},
         [](FaultMatrix& t) {
             EXPECT_EQ(
                 InterfaceOf<MusicSampleInfo>(t.player, IID_MusicSampleInfo)->GetPositionSamples(),
                 kPlayedFirst);
         }});
    c.push_back({"GetStatus",
                 false,
                 DeviceFault(Op::GetStatus),
                 [](FaultMatrix& t) { return t.player->IsPlaying(); },
                 false,
                 {},
                 {},
                 [](FaultMatrix& t) { EXPECT_TRUE(t.player->IsPlaying()); }});
    // A refused volume is a debugger line; the stream keeps its level and current volume.
    c.push_back({"SetVolume",
                 false,
                 DeviceFault(Op::SetVolume),
                 [](FaultMatrix& t) {
                     return InterfaceOf<MusicFadeControl>(t.player, IID_MusicFadeControl)
                         ->Fade(0, 50, false);
                 },
                 true,
                 {},
                 {[] {
                     char text[256];
                     std::snprintf(text, sizeof text, msg::kVolumeRefused, -1200, 0.25);
                     return std::string(text);
                 }()},
                 [](FaultMatrix& t) {
                     EXPECT_EQ(t.Last()->Volume(), 0);
                     ASSERT_TRUE(t.volume->SetMasterVolume(1.0));  // re-applies the kept 1.0
                     EXPECT_EQ(t.Last()->Volume(), 0);
                     EXPECT_TRUE(t.player->IsPlaying());
                 }});

    // ---- platform layer, at load ----
    c.push_back(
        AtLoad("FileOpen", Platform(FaultPoint::FileOpen), {msg::kFileStreamOpenFailed, kLoad}));
    c.push_back(AtLoad("FileReadOfTheHeader", Platform(FaultPoint::FileRead),
                       {msg::kFileStreamOpenFailed, kLoad},
                       {msg::kFileReadFailed, msg::kSeekReadFailed}));
    c.push_back(AtLoad("FileSeekToTheImage", Platform(FaultPoint::FileSeek),
                       {Format(msg::kSeekFailedAt, 0), msg::kFileStreamOpenFailed, kLoad}));
    c.push_back(
        AtLoad("EventCreate", Platform(FaultPoint::EventCreate), {msg::kEventCreateFailed, kLoad}));
    c.push_back(AtLoad("ThreadStartOfTheWorker", Platform(FaultPoint::ThreadStart),
                       {msg::kThreadCreateFailed, kLoad}));
    {
        FaultCase priority = AtLoad("ThreadPriority", Platform(FaultPoint::ThreadPriority),
                                    {msg::kSetPriorityFailed, kLoad});
        priority.raisePriority = true;
        c.push_back(priority);
    }

    // ---- platform layer, under playback ----
    // A refill whose disk read fails: the debugger line, a silent segment, and the music
    // goes on with the bytes that could not be read. Reader blocks hold two segments, so
    // the first refill after the fault that reads the disk is that of segment 6.
    c.push_back(
        {"FileReadOfARefill",
         false,
         Platform(FaultPoint::FileRead),
         [](FaultMatrix& t) { return t.Advance(3000); },
         true,
         {},
         {msg::kFileReadFailed},
         [](FaultMatrix& t) {
             EXPECT_TRUE(t.player->IsPlaying());
             t.ExpectPlayed(t.WithGap(6 * kSegment, kSegment, 6 * kSegment, 4000 * kFrameBytes));
             // The bytes the failed read missed are played after the gap: the
             // position is that of the music heard, not shifted by the gap.
             EXPECT_EQ(
                 InterfaceOf<MusicSampleInfo>(t.player, IID_MusicSampleInfo)->GetPositionSamples(),
                 4000 - kSegment / kFrameBytes);
         }});
    // The seek back to the loop start fails once: its box, then the retry goes through
    // and the loop is seamless.
    c.push_back(
        {"FileSeekAtTheLoopWrap",
         false,
         Platform(FaultPoint::FileSeek),
         [](FaultMatrix& t) { return t.Advance(kDataBytes / kFrameBytes + 2000 - kPlayedFirst); },
         true,
         {Format(msg::kSeekFailedAt, 44)},
         {},
         [](FaultMatrix& t) {
             EXPECT_TRUE(t.player->IsPlaying());
             t.ExpectPlayed(t.WithGap(0, 0, 0, kDataBytes + 2000 * kFrameBytes));
         }});
    c.push_back(
        {"FileSeekOfAHostSeek",
         false,
         [](FaultMatrix& t) {
             ASSERT_TRUE(t.player->Stop());
             ArmFault(FaultPoint::FileSeek);
         },
         [](FaultMatrix& t) {
             return InterfaceOf<MusicSeekControl>(t.player, IID_MusicSeekControl)->Seek(2500);
         },
         false,
         {Format(msg::kSeekFailedAt, 44 + 2500 * kFrameBytes)},
         {},
         [](FaultMatrix& t) {
             ASSERT_TRUE(InterfaceOf<MusicSeekControl>(t.player, IID_MusicSeekControl)->Seek(2500));
             t.Last()->ClearPlayed();
             ASSERT_TRUE(t.player->Play());
             ASSERT_TRUE(t.Advance(300));
             t.ExpectPlayed(t.Data(2500 * kFrameBytes, 2800 * kFrameBytes));
         }});
    // The quit event cannot be signalled: the unload fails and the stream stays loaded
    // and playing; the next unload succeeds.
    c.push_back({"EventSetOfAnUnload",
                 false,
                 Platform(FaultPoint::EventSet),
                 [](FaultMatrix& t) { return t.player->Unload(); },
                 false,
                 {},
                 {},
                 [](FaultMatrix& t) {
                     EXPECT_TRUE(t.player->IsPlaying());
                     EXPECT_EQ(static_cast<ModuleObject*>(t.module)->LoadedStreamCount(), 1);
                     ASSERT_TRUE(t.Advance(1000));
                 }});
    // The fade cannot signal its own end: its thread ends without the end step, so
    // neither the target level nor the stop is applied.
    c.push_back(
        {"EventSetAtTheEndOfAFade",
         false,
         [](FaultMatrix& t) {
             ASSERT_TRUE(InterfaceOf<MusicFadeControl>(t.player, IID_MusicFadeControl)
                             ->Fade(1000, 0, true));
             ArmFault(FaultPoint::EventSet);
         },
         [](FaultMatrix& t) {
             t.timer.now += 1000;
             return Eventually([&t] {
                 return !InterfaceOf<MusicFadeControl>(t.player, IID_MusicFadeControl)->IsFading();
             });
         },
         true,
         {},
         {},
         [](FaultMatrix& t) {
             EXPECT_TRUE(t.player->IsPlaying());
             EXPECT_GT(t.Last()->Volume(), -10000);
         }});
    // No fade runs, so the answer is false: a host that fades out to stop the music must
    // not wait for a stop that never comes.
    c.push_back({"ThreadStartOfAFade",
                 false,
                 Platform(FaultPoint::ThreadStart),
                 [](FaultMatrix& t) {
                     return InterfaceOf<MusicFadeControl>(t.player, IID_MusicFadeControl)
                         ->Fade(1000, 50, true);
                 },
                 false,
                 {msg::kThreadCreateFailed},
                 {},
                 [](FaultMatrix& t) {
                     EXPECT_FALSE(
                         InterfaceOf<MusicFadeControl>(t.player, IID_MusicFadeControl)->IsFading());
                     EXPECT_EQ(t.Last()->Volume(), 0);
                     EXPECT_TRUE(t.player->IsPlaying());
                 }});
    return c;
}

TEST_P(FaultMatrix, InjectedOnceItIsReportedAndTheStreamRecovers) {
    const FaultCase& c = GetParam();
    Options().keepPriority = !c.raisePriority;
    auto* loop = InterfaceOf<MusicLoopControl>(player, IID_MusicLoopControl);
    ASSERT_TRUE(loop->SetLoopCount(0));
    if (!c.atLoad) {
        ASSERT_TRUE(player->Load(0));
        ASSERT_TRUE(player->Play());
        ASSERT_TRUE(Advance(kPlayedFirst));
    }
    reports.Clear();
    c.inject(*this);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(c.act(*this), c.result);
    EXPECT_EQ(reports.Boxes(), c.boxes);
    for (const std::string& line : c.debugLines) {
        EXPECT_GE(reports.CountDebug(line), 1) << "debugger line missing: " << line;
    }
    DisarmFaults();
    if (c.check) c.check(*this);
    if (!c.atLoad) {
        EXPECT_EQ(Last()->Underruns(), 0u);
    }

    // The stream unloads cleanly and the player plays the music again.
    reports.Clear();
    ASSERT_TRUE(player->Unload());
    EXPECT_EQ(static_cast<ModuleObject*>(module)->LoadedStreamCount(), 0);
    for (size_t i = 0; i < device->BufferCount(); ++i) {
        EXPECT_TRUE(device->Buffer(i)->Released()) << "buffer " << i;
    }
    Options().keepPriority = true;
    ASSERT_TRUE(player->Load(0));
    ASSERT_TRUE(player->Play());
    ASSERT_TRUE(Advance(3000));
    ExpectPlayed(Data(0, 3000 * kFrameBytes));
    EXPECT_EQ(Last()->Underruns(), 0u);
    ASSERT_TRUE(player->Unload());
    EXPECT_TRUE(Last()->Released());
    EXPECT_TRUE(reports.Boxes().empty());
}

// Faults that recur over a long play, or that never go away.
class FaultRuns : public FaultMatrix {};

// A host's message callback hears what a stream worker reports, from the module's delivery
// thread; removing the callback first hands it what was still queued.
TEST_F(FaultRuns, TheMessageRouteHearsAWorkerFromTheDeliveryThread) {
    struct Heard {
        std::mutex mutex;
        std::vector<std::pair<std::string, std::thread::id>> messages;
    } heard;
    auto* diagnostics = static_cast<MusicDiagnostics*>(module->GetInterface(&IID_MusicDiagnostics));
    diagnostics->SetMessageCallback(
        [](void* self, const MusicMessage* m) {
            auto& h = *static_cast<Heard*>(self);
            const std::lock_guard<std::mutex> lock(h.mutex);
            h.messages.emplace_back(m->id, std::this_thread::get_id());
        },
        &heard);
    ASSERT_TRUE(player->Load(0));
    ASSERT_TRUE(player->Play());
    ASSERT_TRUE(Advance(kPlayedFirst));
    ArmFault(FaultPoint::FileRead);  // the next refill's read fails
    ASSERT_TRUE(Advance(2 * kSegment / kFrameBytes));
    diagnostics->SetMessageCallback(nullptr, nullptr);

    const auto fromWorker = std::find_if(heard.messages.begin(), heard.messages.end(), [](auto& m) {
        return m.first == "FileReadFailed" && m.second != std::this_thread::get_id();
    });
    EXPECT_NE(fromWorker, heard.messages.end());
    EXPECT_GE(reports.CountDebug(msg::kFileReadFailed), 1);
}

// A host callback that takes a second per message (a logger on a slow disk) while every
// other disk read of an endless play fails: the queue overflows, the worker never waits
// for the host, nothing underruns, and every message is either delivered or counted in a
// "MessagesDropped" report once delivery resumes.
TEST_F(FaultRuns, ASlowMessageCallbackNeverStallsTheMusic) {
    struct SlowHost {
        std::mutex mutex;
        std::condition_variable cv;
        bool open = false;
        std::vector<std::string> ids, texts;
        static void SONAFLUX_CALL Hear(void* self, const MusicMessage* m) {
            auto& h = *static_cast<SlowHost*>(self);
            std::unique_lock<std::mutex> lock(h.mutex);
            h.ids.emplace_back(m->id);
            h.texts.emplace_back(m->cp932);
            h.cv.wait_for(lock, std::chrono::seconds(1), [&] { return h.open; });
        }
    } host;
    auto* diagnostics = static_cast<MusicDiagnostics*>(module->GetInterface(&IID_MusicDiagnostics));
    diagnostics->SetMessageCallback(&SlowHost::Hear, &host);
    ASSERT_TRUE(InterfaceOf<MusicLoopControl>(player, IID_MusicLoopControl)->SetLoopCount(0));
    ASSERT_TRUE(player->Load(0));
    ASSERT_TRUE(player->Play());
    ASSERT_TRUE(Advance(kPlayedFirst));
    reports.Clear();
    const DeliveryCounts before = DeliveryFigures();
    constexpr int kRefills = 400;  // a disk read every second refill: 200 failed reads
    for (int i = 0; i < kRefills; ++i) {
        ArmFault(FaultPoint::FileRead);
        ASSERT_TRUE(Advance(kSegment / kFrameBytes)) << i;  // the worker never waits
    }
    DisarmFaults();
    EXPECT_EQ(Last()->Underruns(), 0u);
    EXPECT_TRUE(player->IsPlaying());
    const DeliveryCounts during = DeliveryFigures();
    const uint64_t queued = during.queued - before.queued;
    const uint64_t dropped = during.dropped - before.dropped;
    // The debugger output has every message the worker raised (the drop counts apart).
    const std::string dropNotice(msg::kMessagesDropped, std::strcspn(msg::kMessagesDropped, "%"));
    const auto lines = reports.DebugLines();
    const auto raised = static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](auto& l) {
        return l.compare(0, dropNotice.size(), dropNotice) != 0;
    }));
    EXPECT_GE(raised, static_cast<size_t>(kRefills / 2));
    EXPECT_EQ(queued + dropped, raised);
    EXPECT_GT(dropped, 0u);

    {
        const std::lock_guard<std::mutex> lock(host.mutex);
        host.open = true;
    }
    host.cv.notify_all();
    ASSERT_TRUE(test::Eventually([&] { return DeliveryFigures().delivered == during.queued; }));
    diagnostics->SetMessageCallback(nullptr, nullptr);  // also waits for a pending count
    uint64_t heard = 0, counted = 0;
    for (size_t i = 0; i < host.ids.size(); ++i) {
        EXPECT_NE(host.ids[i], "Underrun");
        if (host.ids[i] == "MessagesDropped") {
            const std::string& text = host.texts[i];
            counted += std::stoul(text.substr(text.find_first_of("0123456789")));
        } else {
            ++heard;
        }
    }
    EXPECT_EQ(heard, queued);
    EXPECT_EQ(counted, dropped);
    std::printf("slow callback: %zu messages raised, %llu delivered, %llu dropped and counted\n",
                raised, static_cast<unsigned long long>(heard),
                static_cast<unsigned long long>(counted));
}

// Lost buffers: the worker notices a loss by itself (a lost buffer signals nothing),
// restores the buffer, rewrites the ring from the frame that was playing and plays on, so
// the music goes on byte for byte from where it was and positions stay right; a loss while
// paused, during a fade and while a seek refills the ring; a Restore that fails is retried
// and reported once.
class LostBuffers : public FaultRuns {
protected:
    void Start() {
        ASSERT_TRUE(InterfaceOf<MusicLoopControl>(player, IID_MusicLoopControl)->SetLoopCount(0));
        ASSERT_TRUE(player->Load(0));
        ASSERT_TRUE(player->Play());
        ASSERT_TRUE(Advance(kPlayedFirst));
    }
    void Lose() { ASSERT_TRUE(device->LoseBuffer(device->BufferCount() - 1)); }
    Bytes Endless(size_t from, size_t count) const {
        Bytes out;
        for (size_t i = from; out.size() < count; ++i) out.push_back(data[i % data.size()]);
        return out;
    }
    uint32_t Position() {
        return InterfaceOf<MusicSampleInfo>(player, IID_MusicSampleInfo)->GetPositionSamples();
    }
    std::string Restored(uint32_t frame) const { return Format(msg::kBufferRestored, int(frame)); }
    int Restores() const {
        const auto calls = Last()->Calls();
        return static_cast<int>(std::count_if(calls.begin(), calls.end(), [](const auto& c) {
            return c.op == Op::Restore && c.result == 0;
        }));
    }
};

TEST_F(LostBuffers, WhilePlayingTheWorkerRestoresAndPlaysOnByteExact) {
    Start();
    Lose();
    ASSERT_TRUE(test::Eventually([&] { return Last()->Playing(); }));  // no host call needed
    EXPECT_EQ(Restores(), 1);
    EXPECT_EQ(reports.CountDebug(Restored(kPlayedFirst)), 1);
    EXPECT_EQ(Position(), kPlayedFirst);
    ASSERT_TRUE(Advance(3000));
    EXPECT_EQ(Position(), kPlayedFirst + 3000);
    EXPECT_EQ(Last()->Played(), Endless(0, (kPlayedFirst + 3000) * kFrameBytes));
    EXPECT_EQ(Last()->Underruns(), 0u);
    EXPECT_TRUE(reports.Boxes().empty());
}

TEST_F(LostBuffers, WhilePausedTheRingIsRewrittenAndResumePlaysFromThePausedFrame) {
    Start();
    auto* pause = InterfaceOf<MusicPauseControl>(player, IID_MusicPauseControl);
    ASSERT_TRUE(pause->Pause());
    Lose();
    ASSERT_TRUE(test::Eventually([&] { return reports.CountDebug(Restored(kPlayedFirst)) == 1; }));
    EXPECT_FALSE(Last()->Playing());  // still paused
    EXPECT_EQ(Position(), kPlayedFirst);
    ASSERT_TRUE(pause->Resume());
    ASSERT_TRUE(Advance(3000));
    EXPECT_EQ(Last()->Played(), Endless(0, (kPlayedFirst + 3000) * kFrameBytes));
    EXPECT_EQ(Position(), kPlayedFirst + 3000);
}

TEST_F(LostBuffers, DuringAFadeTheFadeGoesOnOverTheRestoredBuffer) {
    Start();
    auto* fade = InterfaceOf<MusicFadeControl>(player, IID_MusicFadeControl);
    ASSERT_TRUE(fade->Fade(2000, 50, false));
    Lose();
    ASSERT_TRUE(test::Eventually([&] { return Last()->Playing(); }));
    EXPECT_TRUE(fade->IsFading());
    timer.now += 2000;
    ASSERT_TRUE(test::Eventually([&] { return !fade->IsFading(); }));
    EXPECT_LT(Last()->Volume(), 0);  // the fade's target over the restored buffer
    ASSERT_TRUE(Advance(3000));
    EXPECT_EQ(Last()->Played(), Endless(0, (kPlayedFirst + 3000) * kFrameBytes));
    EXPECT_TRUE(player->IsPlaying());
}

TEST_F(LostBuffers, WhileASeekRefillsTheRingTheSoughtFramePlays) {
    Start();
    ASSERT_TRUE(player->Stop());
    Lose();
    ASSERT_TRUE(InterfaceOf<MusicSeekControl>(player, IID_MusicSeekControl)->Seek(5000));
    EXPECT_EQ(Position(), 5000u);
    ASSERT_TRUE(player->Play());
    ASSERT_TRUE(Advance(3000));
    Bytes expected = Endless(0, kPlayedFirst * kFrameBytes);
    const Bytes after = Endless(5000 * kFrameBytes, 3000 * kFrameBytes);
    expected.insert(expected.end(), after.begin(), after.end());
    EXPECT_EQ(Last()->Played(), expected);
    EXPECT_EQ(Position(), 8000u);
}

TEST_F(LostBuffers, ARestoreThatFailsIsRetriedAndReportedOnce) {
    Start();
    for (int i = 0; i < 3; ++i) device->FailNext(Op::Restore, ds::DSERR_GENERIC);
    Lose();
    ASSERT_TRUE(test::Eventually([&] { return Last()->Playing(); }));
    char failed[128];
    std::snprintf(failed, sizeof failed, msg::kRestoreFailed,
                  static_cast<unsigned>(ds::DSERR_GENERIC));
    EXPECT_EQ(reports.CountDebug(failed), 1);
    EXPECT_TRUE(reports.Boxes().empty());
    ASSERT_TRUE(Advance(3000));
    EXPECT_EQ(Last()->Played(), Endless(0, (kPlayedFirst + 3000) * kFrameBytes));
}

// Device failures scattered over an endless play are not the end of the music: each costs
// one segment of silence, after which the music goes on where it was.
TEST_F(FaultRuns, ScatteredDeviceFailuresNeverEndEndlessMusic) {
    ASSERT_TRUE(InterfaceOf<MusicLoopControl>(player, IID_MusicLoopControl)->SetLoopCount(0));
    ASSERT_TRUE(player->Load(0));
    ASSERT_TRUE(player->Play());
    constexpr int kFailures = 12;  // more than the half ring of four
    for (int i = 0; i < kFailures; ++i) {
        device->FailNext(i % 3 == 0 ? Op::Unlock : Op::Lock);
        ASSERT_TRUE(Advance(3 * kSegment / kFrameBytes)) << i;
    }
    EXPECT_TRUE(player->IsPlaying());
    ASSERT_TRUE(Advance(2 * 8 * kSegment / kFrameBytes));  // every gap has played
    EXPECT_TRUE(player->IsPlaying());
    const Bytes played = Last()->Played();
    ASSERT_EQ(played.size(), (kFailures * 3 + 16) * kSegment);
    // Without its silent segments the play is the endless music, in order, except for
    // the segments whose pulled bytes a failed Unlock lost.
    size_t silent = 0;
    Bytes music;
    for (size_t at = 0; at < played.size(); at += kSegment) {
        const auto begin = played.begin() + static_cast<long>(at);
        if (std::all_of(begin, begin + kSegment, [](uint8_t b) { return b == 0; })) {
            ++silent;
        } else {
            music.insert(music.end(), begin, begin + kSegment);
        }
    }
    EXPECT_EQ(silent, static_cast<size_t>(kFailures));
    const size_t lost = (kFailures + 2) / 3 * kSegment;  // one segment per failed Unlock
    size_t at = 0, skipped = 0;
    for (size_t i = 0; i < music.size(); ++i, ++at) {
        if (music[i] != data[at % data.size()]) {
            // A lost segment: the music goes on one segment later.
            ASSERT_EQ(i % kSegment, 0u) << i;
            at += kSegment;
            skipped += kSegment;
            ASSERT_LE(skipped, lost);
            ASSERT_EQ(music[i], data[at % data.size()]) << i;
        }
    }
    EXPECT_EQ(skipped, lost);
    EXPECT_EQ(Last()->Underruns(), 0u);
}

// A file that loses its data during play (truncated here; on Windows, where an open file
// cannot shrink, the size query after the failed read answers 0, as for a vanished one)
// ends the stream as the end of the data does: the read failure's line, the music up to
// the last byte read, silence, then the buffer stops, endless loop count or not.
TEST_F(FaultRuns, AFileThatLosesItsDataEndsTheStream) {
    ASSERT_TRUE(InterfaceOf<MusicLoopControl>(player, IID_MusicLoopControl)->SetLoopCount(0));
    ASSERT_TRUE(player->Load(0));
    ASSERT_TRUE(player->Play());
    ASSERT_TRUE(Advance(kPlayedFirst));
    reports.Clear();
#ifdef _WIN32
    ArmFault(FaultPoint::FileRead);
    ArmFault(FaultPoint::FileShrink);
#else
    std::filesystem::resize_file(file->Path(), 0);
#endif
    for (int i = 0; i < 100 && player->IsPlaying(); ++i) ASSERT_TRUE(Advance(kSegment / 4));
    EXPECT_FALSE(player->IsPlaying());
    EXPECT_GE(reports.CountDebug(msg::kFileReadFailed), 1);
    EXPECT_TRUE(reports.Boxes().empty());

    const Bytes played = Last()->Played();
    size_t heard = 0;  // the music ends at a block the reader could not read
    while (heard < played.size() && played[heard] == data[heard]) ++heard;
    heard -= heard % 4096;
    ASSERT_GT(heard, kPlayedFirst * kFrameBytes);
    EXPECT_EQ(Bytes(played.begin(), played.begin() + static_cast<long>(heard)), Data(0, heard));
    EXPECT_TRUE(std::all_of(played.begin() + static_cast<long>(heard), played.end(),
                            [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(played.size(), ((heard - 1) / kSegment + 2) * kSegment);
    EXPECT_EQ(Last()->Underruns(), 0u);
    // The position stays where the music stopped, short of the length: the host can tell
    // an end like this from the end of the data.
    auto* samples = InterfaceOf<MusicSampleInfo>(player, IID_MusicSampleInfo);
    EXPECT_EQ(samples->GetPositionSamples(), heard / kFrameBytes);
    EXPECT_LT(samples->GetPositionSamples(), samples->GetLengthSamples());
    DisarmFaults();
    ASSERT_TRUE(player->Unload());
}

INSTANTIATE_TEST_SUITE_P(EveryPoint, FaultMatrix, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<FaultCase>& row) {
                             return std::string(row.param.name);
                         });

}  // namespace
}  // namespace sonaflux
