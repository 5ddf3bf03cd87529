// Win32 wrappers, the two diagnostic outputs, the timer guard and the message bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/diagnostics.h"
#include "base/faults.h"
#include "base/message_delivery.h"
#include "base/messages.h"
#include "base/module_timer.h"
#include "base/sync.h"
#include "sonaflux/sonaflux.h"
#include "support/host_timer.h"
#include "support/report_capture.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace sonaflux {
namespace {

using test::ReportCapture;

TEST(BaseEvent, CreateReplacesTheHeldEventWithANonSignalledOne) {
    CEventObject e;
    ASSERT_TRUE(e.Create());
    HANDLE first = e.Handle();
    ASSERT_TRUE(e.Set());
    ASSERT_TRUE(e.Create());
    EXPECT_NE(e.Handle(), nullptr);
    EXPECT_EQ(WaitForSingleObject(e.Handle(), 0), WAIT_TIMEOUT);
    (void)first;
    EXPECT_TRUE(e.Close());
    EXPECT_FALSE(e.Close());  // nothing held
    EXPECT_FALSE(e.Set());
}

TEST(BaseEvent, CreationFailureIsShownAndLeavesTheWrapperEmpty) {
    ReportCapture reports;
    CEventObject e;
    ArmFault(FaultPoint::EventCreate);
    EXPECT_FALSE(e.Create());
    EXPECT_EQ(e.Handle(), nullptr);
    EXPECT_EQ(reports.CountBox(msg::kEventCreateFailed), 1);
    EXPECT_TRUE(e.Create());  // the fault fires once
    DisarmFaults();
}

unsigned __stdcall WaitForGate(void* gate) {
    WaitForSingleObject(static_cast<HANDLE>(gate), INFINITE);
    return 3;
}

TEST(BaseThread, EmptyWrapperAnswersFalseWithoutTouchingTheSystem) {
    CThreadObject t;
    EXPECT_FALSE(t.IsRunning());
    EXPECT_FALSE(t.Wait(0));
    EXPECT_FALSE(t.SetPriority(THREAD_PRIORITY_ABOVE_NORMAL));
}

TEST(BaseThread, IsRunningUntilTheThreadEndsEvenWithTheHandleHeld) {
    CEventObject gate;
    ASSERT_TRUE(gate.Create());
    CThreadObject t;
    ASSERT_TRUE(t.Start(WaitForGate, gate.Handle()));
    EXPECT_TRUE(t.IsRunning());
    EXPECT_TRUE(t.SetPriority(THREAD_PRIORITY_ABOVE_NORMAL));
    EXPECT_FALSE(t.Wait(10));
    gate.Set();
    EXPECT_TRUE(t.Wait(INFINITE));
    EXPECT_FALSE(t.IsRunning());
    EXPECT_NE(t.Handle(), nullptr);
}

TEST(BaseThread, StartFailureIsShown) {
    ReportCapture reports;
    CThreadObject t;
    ArmFault(FaultPoint::ThreadStart);
    EXPECT_FALSE(t.Start(WaitForGate, nullptr));
    EXPECT_EQ(t.Handle(), nullptr);
    EXPECT_EQ(reports.CountBox(msg::kThreadCreateFailed), 1);
    DisarmFaults();
}

#if !defined(NDEBUG)
// Debug builds stop at a ranked lock taken out of order; the order itself, re-entries and
// locks released out of order pass.
TEST(BaseLockDeathTest, RankedLocksAreTakenInTheirOrderOnly) {
    CCritSec fill(LockRank::Fill, "fill"), position(LockRank::Position, "position");
    CCritSec stop(LockRank::Stop, "stop"), plain;
    {
        CCritSecLock a(fill), b(position), c(stop), d(plain);
        CCritSecLock again(fill);  // a re-entry of a lock held
        a.Leave();                 // released out of order
        CCritSecLock e(stop);
    }
    EXPECT_DEATH(
        {
            CCritSecLock a(position);
            CCritSecLock b(fill);
        },
        "lock order: fill taken while holding position");
    EXPECT_DEATH(
        {
            CCritSecLock a(stop);
            CCritSecLock b(position);
        },
        "lock order: position taken while holding stop");
}
#endif

TEST(BaseLock, EarlyLeaveReleasesOnceAndScopeExitDoesNothingMore) {
    CCritSec cs;
    {
        CCritSecLock lock(cs);
        CCritSecLock again(cs);  // recursive
        again.Leave();
        lock.Leave();
        bool entered = false;
        std::thread other([&] {
            CCritSecLock l(cs);
            entered = true;
        });
        other.join();
        EXPECT_TRUE(entered);
    }
}

TEST(BaseDiagnostics, ReportsAreFormattedAndTruncatedToTheirBuffer) {
    ReportCapture reports;
    EXPECT_EQ(ErrorBox("%s:%d", "a", 5), IDOK);
    DebugPrint("x=%d", 3);
    const std::string longText(5000, 'z');
    ErrorBox("%s", longText.c_str());
    DebugPrint("%s", longText.c_str());
    const auto all = reports.All();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].text, "a:5");
    EXPECT_EQ(all[0].kind, ReportKind::Box);
    EXPECT_EQ(all[1].text, "x=3");
    EXPECT_EQ(all[1].kind, ReportKind::Debug);
    EXPECT_EQ(all[2].text, std::string(kReportBufferBytes - 1, 'z'));
    EXPECT_EQ(all[3].text, std::string(kReportBufferBytes - 1, 'z'));
}

TEST(BaseDiagnostics, ManyThreadsReportingAtOnceKeepEveryTextWhole) {
    ReportCapture reports;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                if (i % 2) {
                    ErrorBox("thread %d report %d %s", t, i, std::string(600, 'a' + t).c_str());
                } else {
                    DebugPrint("thread %d report %d %s", t, i, std::string(600, 'a' + t).c_str());
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    const auto all = reports.All();
    ASSERT_EQ(all.size(), 1600u);
    for (const auto& r : all) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(r.text.c_str(), "thread %d report %d", &t, &i), 2);
        const std::string tail = r.text.substr(r.text.size() - 600);
        EXPECT_EQ(tail, std::string(600, static_cast<char>('a' + t)));
        EXPECT_EQ(r.kind, (i % 2) ? ReportKind::Box : ReportKind::Debug);
    }
}

// A host callback that holds each message until the test opens its gate.
struct GatedHost {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    int returned = 0;
    std::vector<std::string> ids, texts;
    std::vector<std::thread::id> threads;
    static void SONAFLUX_CALL Hear(void* self, const MusicMessage* m) {
        auto& h = *static_cast<GatedHost*>(self);
        std::unique_lock<std::mutex> lock(h.mutex);
        h.ids.emplace_back(m->id);
        h.texts.emplace_back(m->cp932);
        h.threads.push_back(std::this_thread::get_id());
        h.cv.notify_all();
        h.cv.wait_for(lock, std::chrono::seconds(30), [&] { return h.open; });
        ++h.returned;
    }
    size_t Heard() {
        const std::lock_guard<std::mutex> lock(mutex);
        return ids.size();
    }
    void Open() {
        const std::lock_guard<std::mutex> lock(mutex);
        open = true;
        cv.notify_all();
    }
};

// Runs `body` on a thread that reports as one of the module's own.
void OnModuleThread(const std::function<void()>& body) {
    std::thread([&] {
        MarkModuleThread();
        body();
    }).join();
}

// The module's threads queue for the host: never waiting for its callback, in order, a
// full queue dropping and counting, the count delivered before the next message that got
// in; their boxes shown after the callback, from the delivery thread. The host's own
// thread is heard at once, on itself; without a callback a module thread's box is shown
// on that thread, as before.
TEST(BaseDiagnostics, ModuleThreadsQueueForTheHostAndNeverWait) {
    ReportCapture reports;
    GatedHost host;
    SetMessageRoute(&GatedHost::Hear, &host);
    const DeliveryCounts before = DeliveryFigures();
    OnModuleThread([&] {
        DebugPrint("message %d", 0);
        ASSERT_TRUE(test::Eventually([&] { return host.Heard() == 1; }));  // held there
        for (int i = 1; i < 100; ++i) DebugPrint("message %d", i);
        ErrorBox("a box that finds the queue full");
    });
    // The thread has ended while the callback still holds the first message.
    EXPECT_EQ(host.returned, 0);
    EXPECT_EQ(reports.DebugLines().size(), 101u);  // the debugger output, at once
    EXPECT_TRUE(reports.Boxes().empty());
    const DeliveryCounts full = DeliveryFigures();
    EXPECT_EQ(full.queued - before.queued, 1u + kMessageQueueSlots);
    EXPECT_EQ(full.dropped - before.dropped, 100u - kMessageQueueSlots);

    host.Open();
    ASSERT_TRUE(test::Eventually([&] { return host.Heard() == kMessageQueueSlots + 2; }));
    OnModuleThread([] { ErrorBox("box %d", 7); });
    ASSERT_TRUE(test::Eventually([&] { return reports.CountBox("box 7") == 1; }));
    ASSERT_EQ(host.Heard(), kMessageQueueSlots + 3);
    for (uint32_t i = 0; i <= kMessageQueueSlots; ++i) {
        EXPECT_EQ(host.texts[i], "message " + std::to_string(i));
        EXPECT_NE(host.threads[i], std::this_thread::get_id());
    }
    EXPECT_EQ(host.ids[kMessageQueueSlots + 1], "MessagesDropped");
    EXPECT_NE(host.texts[kMessageQueueSlots + 1].find(std::to_string(100 - kMessageQueueSlots)),
              std::string::npos);
    EXPECT_EQ(host.texts[kMessageQueueSlots + 2], "box 7");

    DebugPrint("from the host");  // heard before this returns, on this thread
    ASSERT_EQ(host.Heard(), kMessageQueueSlots + 4);
    EXPECT_EQ(host.texts.back(), "from the host");
    EXPECT_EQ(host.threads.back(), std::this_thread::get_id());

    SetMessageRoute(nullptr, nullptr);
    reports.Clear();
    OnModuleThread([] { ErrorBox("shown on the thread"); });
    EXPECT_EQ(reports.Boxes(), std::vector<std::string>{"shown on the thread"});
    EXPECT_EQ(host.Heard(), kMessageQueueSlots + 4);
}

class FixedTimer final : public ITimer {
public:
    int32_t Acquire() override { return 1; }
    uint32_t GetTime() override { return now; }
    uint32_t now = 1234;
};

TEST(BaseTimer, WithoutATimerEveryReadingIsShownAndAnswersAllOnes) {
    ReportCapture reports;
    ClearModuleTimer();
    EXPECT_EQ(TimerNow(), kNoTimerTime);
    EXPECT_EQ(TimerNow(), kNoTimerTime);
    EXPECT_EQ(reports.CountBox(msg::kTimerNotSet), 2);
    FixedTimer timer;
    SetModuleTimer(&timer);
    EXPECT_EQ(TimerNow(), 1234u);
    timer.now = 0xFFFFFFF0u;
    EXPECT_EQ(TimerNow(), 0xFFFFFFF0u);
    ClearModuleTimer();
    EXPECT_EQ(reports.CountBox(msg::kTimerNotSet), 2);
}

// Converts UTF-8 to CP932 with the platform's own converter, independent of the build.
std::string ToCp932(const std::string& utf8) {
#ifdef _WIN32
    const int wide = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring w(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, w.data(), wide);
    const int n = WideCharToMultiByte(932, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(932, 0, w.c_str(), -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
#else
    iconv_t cd = iconv_open("CP932", "UTF-8");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::string in = utf8;
    std::string out(in.size() * 2 + 4, '\0');
    char* src = in.data();
    size_t srcLeft = in.size();
    char* dst = out.data();
    size_t dstLeft = out.size();
    EXPECT_NE(iconv(cd, &src, &srcLeft, &dst, &dstLeft), static_cast<size_t>(-1));
    iconv_close(cd);
    out.resize(out.size() - dstLeft);
    return out;
#endif
}

TEST(BaseMessages, JapaneseTextsAreCp932Bytes) {
    const std::pair<const char*, const char*> texts[] = {
        {msg::kNoDirectSound, "DirectSoundのインターフェイスの取得に失敗しました"},
        {msg::kStreamsRunning, "警告：現在%d本以上のMusicスレッドが走っています。"},
        {msg::kPlayInfoMissing,
         "ストリーム再生情報 %d番の取得に失敗しました。再生ファイルが存在しない可能性があります"},
        {msg::kStreamLoadFailed, "ストリームバッファーのロードに失敗"},
        {msg::kStreamsPlaying, "警告：現在%d本以上のMusicスレッドが再生中です。"},
        {msg::kEventCreateFailed, "ウィンドウズイベントの生成に失敗しました"},
        {msg::kThreadCreateFailed, "スレッドの生成に失敗しました"},
        {msg::kTimerNotSet, "ITimerがセットされていない"},
        {msg::kFileStreamOpenFailed, "m_FileStream.Open失敗"},
        {msg::kSetPriorityFailed, "m_Thread.SetPriorityに失敗"},
        {msg::kBufferCreateFailed, "IID_IDirectSoundBufferの生成に失敗しました"},
        {msg::kNotifyQueryFailed, "IID_IDirectSoundNotifyの取得に失敗しました"},
        {msg::kSetPositionsFailed, "IDirectSoundNotify::SetNotificationPositions()が失敗しました"},
        {msg::kWaitError, "エラーイベントが発生しました。"},
        {msg::kPositionFailed, "再生位置の取得に失敗しました。"},
        {msg::kSeekFailedAt, "Sonaflux Seekで失敗:%d"},
        {msg::kRegionTooLarge,
         "読み取り可能サイズがデーターサイズを超えた。CFileStreamRead::OnBufferMemory\n"},
        {msg::kReadCounterOver,
         "_ReadCounter >= m_UnitFileSize リードカウンターがファイルサイズを超えた"},
        {msg::kFileReadFailed, "ファイル読み取り失敗"},
        {msg::kSeekReadFailed, "seekで読み取り失敗"},
        {msg::kRequestTooLarge, "バッファ要求サイズが異常に大きすぎますCWaveFileStream::Gets"},
        {msg::kLoopSeekFailed, "Seekに失敗"},
        {msg::kReadErrorAfterWrap,
         "ファイルのリードエラー、ファイルの読み取り負荷が増大している可能性あり。"},
        {msg::kInvalidToken, "は無効なトークン"},
        {msg::kFadeThreadAlive, "スレッドが生きたまま殺されました。::~CFadeThread"},
    };
    for (const auto& [bytes, utf8] : texts) {
        EXPECT_EQ(std::string(bytes), ToCp932(utf8)) << utf8;
    }
    // A second byte of 0x5C (可能 ends in 0x94 0x5C) survives as a byte, not an escape.
    EXPECT_NE(std::string(msg::kPlayInfoMissing).find("\x94\x5C"), std::string::npos);
    EXPECT_STREQ(msg::kCaption, "Sonaflux.dll");
    EXPECT_STREQ(msg::kVolumeRefused, "dmvol = %d, doubleVol=%f");
    EXPECT_STREQ(msg::kInvalidTokenFormat, "%s,%d,%s");
    EXPECT_STREQ(msg::kInvalidHandle, "INVALID_HANDLE_VALUE");
}

#ifndef _WIN32
TEST(BaseDiagnostics, PosixBoxIsOneUtf8LineOnStderr) {
    SetReportHook(nullptr, nullptr);
    ::testing::internal::CaptureStderr();
    ErrorBox(msg::kStreamsRunning, 4);
    const std::string out = ::testing::internal::GetCapturedStderr();
    test::DiscardReports();
    EXPECT_EQ(out, "Sonaflux.dll: 警告：現在4本以上のMusicスレッドが走っています。\n");
}
#endif

}  // namespace
}  // namespace sonaflux
