// The software DirectSound device: what the stream tests of both targets stand on.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "softds/sink.h"
#include "softds/softds.h"
#include "support/host_timer.h"
#include "support/test_files.h"
#include "support/wave_image.h"

namespace {

namespace ds = sonaflux::ds;
using softds::Device;
using softds::DeviceOptions;
using softds::Op;
using sonaflux::test::Bytes;
using sonaflux::test::PatternPcm;

constexpr uint32_t kStreamFlags =
    ds::DSBCAPS_CTRLVOLUME | ds::DSBCAPS_CTRLPOSITIONNOTIFY | ds::DSBCAPS_GETCURRENTPOSITION2;
constexpr uint32_t kOffsetStop = 0xFFFFFFFFu;
constexpr uint32_t kCtrlFrequency = 0x20;  // DSBCAPS_CTRLFREQUENCY

ds::WAVEFORMATEX Pcm(uint16_t channels, uint32_t rate, uint16_t bits) {
    ds::WAVEFORMATEX f{};
    f.wFormatTag = ds::WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    f.wBitsPerSample = bits;
    return f;
}

Bytes Slice(const Bytes& b, size_t from, size_t n) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
                 b.begin() + static_cast<std::ptrdiff_t>(from + n));
}

// A device and its buffers, released at the end of the test (the device first, as a
// host may: the buffers must keep working until their own release).
class SoftDs : public ::testing::Test {
protected:
    void Open(const DeviceOptions& options = {}) {
        m_Device = Device::Create(options);
        ASSERT_NE(m_Device, nullptr);
    }
    void SetUp() override { Open(); }
    void TearDown() override {
        if (m_Device) m_Device->Release();
        for (auto* b : m_Buffers) b->Release();
    }
    void Reopen(const DeviceOptions& options) {
        m_Device->Release();
        m_Device = nullptr;
        Open(options);
    }

    ds::IDirectSound* Ds() { return m_Device->Interface(); }

    ds::IDirectSoundBuffer* Make(uint32_t bytes, ds::WAVEFORMATEX format = Pcm(2, 44100, 16),
                                 uint32_t flags = kStreamFlags) {
        ds::DSBUFFERDESC d{};
        d.dwSize = sizeof d;
        d.dwFlags = flags;
        d.dwBufferBytes = bytes;
        d.lpwfxFormat = &format;
        ds::IDirectSoundBuffer* b = nullptr;
        EXPECT_EQ(Ds()->CreateSoundBuffer(&d, &b, nullptr), ds::DS_OK);
        if (b) m_Buffers.push_back(b);
        return b;
    }
    std::shared_ptr<softds::BufferRecord> Last() {
        return m_Device->Buffer(m_Device->BufferCount() - 1);
    }

    static void Write(ds::IDirectSoundBuffer* b, uint32_t offset, const Bytes& bytes) {
        void* p1 = nullptr;
        void* p2 = nullptr;
        uint32_t n1 = 0, n2 = 0;
        ASSERT_EQ(b->Lock(offset, static_cast<uint32_t>(bytes.size()), &p1, &n1, &p2, &n2, 0),
                  ds::DS_OK);
        ASSERT_EQ(n1 + n2, bytes.size());
        std::memcpy(p1, bytes.data(), n1);
        if (n2) std::memcpy(p2, bytes.data() + n1, n2);
        ASSERT_EQ(b->Unlock(p1, n1, p2, n2), ds::DS_OK);
    }

    // Forgets a buffer the test released itself.
    void Forget(ds::IDirectSoundBuffer* b) {
        m_Buffers.erase(std::remove(m_Buffers.begin(), m_Buffers.end(), b), m_Buffers.end());
    }

    Device* m_Device = nullptr;
    std::vector<ds::IDirectSoundBuffer*> m_Buffers;
};

// A stream worker in miniature, shaped like the module's: a thread started with
// _beginthreadex waits with WaitForMultipleObjects on a quit event and one event per
// notification. It records each notification index and, given a source, writes the next
// segment of it `ahead` segments past the one whose end was passed.
class Worker {
public:
    Worker(ds::IDirectSoundBuffer* buffer, uint32_t segments, uint32_t segmentBytes,
           const Bytes* source = nullptr, uint32_t ahead = 1, uint32_t delayMs = 0)
        : m_Buffer(buffer),
          m_Segments(segments),
          m_SegmentBytes(segmentBytes),
          m_Source(source),
          m_Ahead(ahead),
          m_DelayMs(delayMs) {
        for (uint32_t i = 0; i <= segments; ++i) {
            m_Events.push_back(CreateEventA(nullptr, FALSE, FALSE, nullptr));
        }
    }
    ~Worker() {
        if (m_Thread) {
            SetEvent(m_Events[0]);
            WaitForSingleObject(m_Thread, INFINITE);
            CloseHandle(m_Thread);
        }
        for (HANDLE e : m_Events) CloseHandle(e);
    }

    // One position at the last byte of each segment, or as given.
    std::vector<ds::DSBPOSITIONNOTIFY> Positions(std::vector<uint32_t> offsets = {}) const {
        if (offsets.empty()) {
            for (uint32_t j = 0; j < m_Segments; ++j)
                offsets.push_back((j + 1) * m_SegmentBytes - 1);
        }
        std::vector<ds::DSBPOSITIONNOTIFY> p;
        for (uint32_t j = 0; j < offsets.size(); ++j) p.push_back({offsets[j], m_Events[j + 1]});
        return p;
    }
    ds::HRESULT Attach(std::vector<uint32_t> offsets = {}) {
        ds::IDirectSoundNotify* notify = nullptr;
        const ds::HRESULT qi =
            m_Buffer->QueryInterface(ds::IID_IDirectSoundNotify, reinterpret_cast<void**>(&notify));
        if (qi != ds::DS_OK) return qi;
        const auto p = Positions(std::move(offsets));
        const ds::HRESULT hr =
            notify->SetNotificationPositions(static_cast<uint32_t>(p.size()), p.data());
        notify->Release();
        return hr;
    }
    // Writes the first `ahead` segments, then starts the thread.
    void Start() {
        for (uint32_t s = 0; m_Source && s < m_Ahead; ++s) WriteNext(s);
        m_Thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Main, this, 0, nullptr));
        ASSERT_NE(m_Thread, nullptr);
    }
    std::vector<uint32_t> Seen() {
        std::lock_guard<std::mutex> guard(m_Mutex);
        return m_Seen;
    }
    // Before Start: each notification refills the segment after the last one written, as
    // the module does, rather than the one `ahead` of the notification's own.
    void CountOn() { m_CountOn = true; }
    // Before Start: records the device clock's frame count at each notification too.
    void RecordFrames(Device* device) { m_Clock = device; }
    std::vector<uint64_t> Frames() {
        std::lock_guard<std::mutex> guard(m_Mutex);
        return m_Frames;
    }
    HANDLE Event(uint32_t index) const { return m_Events[index + 1]; }

private:
    static unsigned __stdcall Main(void* self) {
        auto* w = static_cast<Worker*>(self);
        for (;;) {
            const DWORD r = WaitForMultipleObjects(static_cast<DWORD>(w->m_Events.size()),
                                                   w->m_Events.data(), FALSE, INFINITE);
            if (r == WAIT_OBJECT_0 || r >= WAIT_OBJECT_0 + w->m_Events.size()) return 0;
            const uint32_t j = r - WAIT_OBJECT_0 - 1;
            if (w->m_DelayMs) Sleep(w->m_DelayMs);
            {
                std::lock_guard<std::mutex> guard(w->m_Mutex);
                w->m_Seen.push_back(j);
                if (w->m_Clock) w->m_Frames.push_back(w->m_Clock->Frames());
            }
            if (w->m_Source && j < w->m_Segments) {
                // Counting on: the segment after the last one written, whatever the index of
                // the notification taken first (the lowest of several pending ones).
                w->WriteNext(w->m_CountOn ? w->m_Next % w->m_Segments
                                          : (j + w->m_Ahead) % w->m_Segments);
            }
        }
    }
    void WriteNext(uint32_t segment) {
        void* p1 = nullptr;
        void* p2 = nullptr;
        uint32_t n1 = 0, n2 = 0;
        if (m_Buffer->Lock(segment * m_SegmentBytes, m_SegmentBytes, &p1, &n1, &p2, &n2, 0) !=
            ds::DS_OK) {
            return;
        }
        const size_t from = size_t{m_Next++} * m_SegmentBytes;
        for (uint32_t i = 0; i < n1; ++i) {
            static_cast<uint8_t*>(p1)[i] = from + i < m_Source->size() ? (*m_Source)[from + i] : 0;
        }
        m_Buffer->Unlock(p1, n1, p2, n2);
    }

    ds::IDirectSoundBuffer* m_Buffer;
    const uint32_t m_Segments;
    const uint32_t m_SegmentBytes;
    const Bytes* m_Source;
    const uint32_t m_Ahead;
    const uint32_t m_DelayMs;
    uint32_t m_Next = 0;  // next source segment; the worker's own once started
    bool m_CountOn = false;
    std::vector<HANDLE> m_Events;  // quit, then one per notification
    HANDLE m_Thread = nullptr;
    Device* m_Clock = nullptr;
    std::mutex m_Mutex;
    std::vector<uint32_t> m_Seen;
    std::vector<uint64_t> m_Frames;
};

// ---- Creation ----

struct BadDesc {
    const char* what;
    ds::HRESULT expected;
    void (*spoil)(ds::DSBUFFERDESC&, ds::WAVEFORMATEX&);
};

TEST_F(SoftDs, CreateRefusesBadDescriptionsWithDirectSoundErrors) {
    const BadDesc cases[] = {
        {"no bytes", ds::DSERR_INVALIDPARAM, [](auto& d, auto&) { d.dwBufferBytes = 0; }},
        {"too large", ds::DSERR_INVALIDPARAM, [](auto& d, auto&) { d.dwBufferBytes = 0x10000000; }},
        {"no format", ds::DSERR_INVALIDPARAM, [](auto& d, auto&) { d.lpwfxFormat = nullptr; }},
        {"odd size", ds::DSERR_INVALIDPARAM, [](auto& d, auto&) { d.dwSize = 24 + 40; }},
        {"primary", ds::DSERR_UNSUPPORTED, [](auto& d, auto&) { d.dwFlags |= 1; }},
        {"not PCM", ds::DSERR_BADFORMAT, [](auto&, auto& f) { f.wFormatTag = 3; }},
        {"24-bit", ds::DSERR_BADFORMAT, [](auto&, auto& f) { f = Pcm(2, 44100, 24); }},
        {"3 channels", ds::DSERR_BADFORMAT, [](auto&, auto& f) { f = Pcm(3, 44100, 16); }},
        {"rate 50", ds::DSERR_BADFORMAT, [](auto&, auto& f) { f = Pcm(2, 50, 16); }},
        {"block align", ds::DSERR_BADFORMAT, [](auto&, auto& f) { f.nBlockAlign = 2; }},
        {"byte rate", ds::DSERR_BADFORMAT, [](auto&, auto& f) { f.nAvgBytesPerSec += 1; }},
    };
    for (const BadDesc& c : cases) {
        ds::WAVEFORMATEX f = Pcm(2, 44100, 16);
        ds::DSBUFFERDESC d{sizeof d, kStreamFlags, 4096, 0, &f, {}};
        c.spoil(d, f);
        ds::IDirectSoundBuffer* b = reinterpret_cast<ds::IDirectSoundBuffer*>(&d);
        EXPECT_EQ(Ds()->CreateSoundBuffer(&d, &b, nullptr), c.expected) << c.what;
        EXPECT_EQ(b, nullptr) << c.what;
    }
    ds::WAVEFORMATEX f = Pcm(2, 44100, 16);
    ds::DSBUFFERDESC d{sizeof d, kStreamFlags, 4096, 0, &f, {}};
    ds::IDirectSoundBuffer* b = nullptr;
    EXPECT_EQ(Ds()->CreateSoundBuffer(&d, &b, reinterpret_cast<ds::IUnknown*>(Ds())),
              ds::DSERR_NOAGGREGATION);
    EXPECT_EQ(Ds()->CreateSoundBuffer(nullptr, &b, nullptr), ds::DSERR_INVALIDPARAM);
    EXPECT_EQ(Ds()->CreateSoundBuffer(&d, nullptr, nullptr), ds::DSERR_INVALIDPARAM);
    EXPECT_EQ(m_Device->BufferCount(), 0u);
}

TEST_F(SoftDs, CreateAcceptsEveryPcmFormatInBothDescriptionForms) {
    const ds::WAVEFORMATEX formats[] = {Pcm(1, 8000, 8), Pcm(2, 22050, 8), Pcm(1, 11025, 16),
                                        Pcm(2, 48000, 16), Pcm(2, 200000, 16)};
    for (const auto& format : formats) {
        ds::WAVEFORMATEX f = format;
        // The short form: exactly sizeof(DSBUFFERDESC1) bytes, nothing read past it.
        auto* shortDesc = new ds::DSBUFFERDESC1{sizeof(ds::DSBUFFERDESC1), 0x10188, 1000, 0, &f};
        ds::IDirectSoundBuffer* b = nullptr;
        EXPECT_EQ(
            Ds()->CreateSoundBuffer(reinterpret_cast<ds::DSBUFFERDESC*>(shortDesc), &b, nullptr),
            ds::DS_OK);
        delete shortDesc;
        ASSERT_NE(b, nullptr);
        m_Buffers.push_back(b);
        auto r = Last();
        EXPECT_EQ(r->DescSize(), sizeof(ds::DSBUFFERDESC1));
        EXPECT_EQ(r->Flags(), 0x10188u);
        EXPECT_EQ(r->Bytes(), 1000u);
        const ds::WAVEFORMATEX recorded = r->Format();
        EXPECT_EQ(std::memcmp(&recorded, &format, sizeof format), 0);
        EXPECT_EQ(r->Guid3DAlgorithm().Data1, 0u);

        ds::DSBUFFERDESC longDesc{sizeof longDesc, 0x18188, 999, 0, &f, {7, 8, 9, {1}}};
        EXPECT_EQ(Ds()->CreateSoundBuffer(&longDesc, &b, nullptr), ds::DS_OK);
        m_Buffers.push_back(b);
        EXPECT_EQ(Last()->DescSize(), sizeof(ds::DSBUFFERDESC));
        EXPECT_EQ(Last()->Guid3DAlgorithm().Data1, 7u);
        EXPECT_EQ(Last()->Bytes(), 999u);  // exactly as asked, even when not whole frames
        // A new buffer is stopped, at byte 0 and not attenuated.
        uint32_t status = 99, play = 99, write = 99;
        int32_t volume = 99;
        EXPECT_EQ(b->GetStatus(&status), ds::DS_OK);
        EXPECT_EQ(b->GetCurrentPosition(&play, &write), ds::DS_OK);
        EXPECT_EQ(b->GetVolume(&volume), ds::DS_OK);
        EXPECT_EQ(status + play + write, 0u);
        EXPECT_EQ(volume, 0);
    }
    EXPECT_EQ(m_Device->BufferCount(), 10u);
}

// ---- COM reference counts ----

TEST_F(SoftDs, BufferAndNotifyShareOneCountAndRecordsOutliveThem) {
    ds::IDirectSoundBuffer* b = Make(4096);
    auto record = Last();
    EXPECT_EQ(b->AddRef(), 2u);
    ds::IDirectSoundNotify* n = nullptr;
    ASSERT_EQ(b->QueryInterface(ds::IID_IDirectSoundNotify, reinterpret_cast<void**>(&n)),
              ds::DS_OK);
    EXPECT_EQ(n->AddRef(), 4u);
    void* unknown = nullptr;
    ASSERT_EQ(n->QueryInterface(ds::IID_IUnknown, &unknown), ds::DS_OK);
    EXPECT_EQ(unknown, static_cast<void*>(b));  // one identity whichever interface asks
    void* other = &other;
    EXPECT_EQ(b->QueryInterface(ds::IID_IDirectSound, &other), ds::DSERR_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(n->Release(), 4u);
    EXPECT_EQ(n->Release(), 3u);
    EXPECT_EQ(b->Release(), 2u);
    EXPECT_EQ(b->Release(), 1u);
    EXPECT_FALSE(record->Released());
    Forget(b);
    EXPECT_EQ(n->Release(), 0u);
    EXPECT_TRUE(record->Released());
    EXPECT_EQ(record->Bytes(), 4096u);
    EXPECT_EQ(record->Calls().back().op, Op::Release);

    // Without CTRLPOSITIONNOTIFY there is no notify interface.
    ds::IDirectSoundBuffer* plain = Make(4096, Pcm(2, 44100, 16), ds::DSBCAPS_CTRLVOLUME);
    EXPECT_EQ(plain->QueryInterface(ds::IID_IDirectSoundNotify, reinterpret_cast<void**>(&n)),
              ds::DSERR_NOINTERFACE);
    EXPECT_EQ(n, nullptr);
}

TEST_F(SoftDs, DeviceCountIsItsOwnAndBuffersOutliveTheDevice) {
    EXPECT_EQ(Ds()->AddRef(), 2u);
    EXPECT_EQ(Ds()->Release(), 1u);
    ds::IDirectSoundBuffer* b = Make(4096);
    EXPECT_EQ(Ds()->AddRef(), 2u);  // buffers hold no reference the host can see
    EXPECT_EQ(m_Device->Release(), 1u);
    auto record = Last();
    EXPECT_EQ(m_Device->Release(), 0u);
    m_Device = nullptr;
    // The buffer still answers; its release then ends the device (LeakSanitizer checks).
    Write(b, 0, PatternPcm(4096));
    EXPECT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
    Forget(b);
    EXPECT_EQ(b->Release(), 0u);
    EXPECT_TRUE(record->Released());
}

// ---- Lock and Unlock ----

TEST_F(SoftDs, LockWrapsIntoTwoRegionsAndUnlockPublishesOnlyWhatWasGiven) {
    ds::IDirectSoundBuffer* b = Make(1000, Pcm(1, 44100, 8));
    void* base = nullptr;
    uint32_t all = 0;
    ASSERT_EQ(b->Lock(0, 1000, &base, &all, nullptr, nullptr, 0), ds::DS_OK);
    EXPECT_EQ(all, 1000u);
    ASSERT_EQ(b->Unlock(base, 0, nullptr, 0), ds::DS_OK);

    void* p1 = nullptr;
    void* p2 = &p2;
    uint32_t n1 = 0, n2 = 7;
    ASSERT_EQ(b->Lock(100, 200, &p1, &n1, &p2, &n2, 0), ds::DS_OK);
    EXPECT_EQ(p1, static_cast<uint8_t*>(base) + 100);
    EXPECT_EQ(n1, 200u);
    EXPECT_EQ(p2, nullptr);
    EXPECT_EQ(n2, 0u);
    ASSERT_EQ(b->Unlock(p1, n1, p2, n2), ds::DS_OK);

    ASSERT_EQ(b->Lock(900, 300, &p1, &n1, &p2, &n2, 0), ds::DS_OK);
    EXPECT_EQ(p1, static_cast<uint8_t*>(base) + 900);
    EXPECT_EQ(n1, 100u);
    EXPECT_EQ(p2, base);
    EXPECT_EQ(n2, 200u);
    const Bytes data = PatternPcm(300);
    std::memcpy(p1, data.data(), 100);
    std::memcpy(p2, data.data() + 100, 200);
    // Regions other than those locked, or larger, are refused and the lock stays open.
    EXPECT_EQ(b->Unlock(static_cast<uint8_t*>(p1) + 1, 10, nullptr, 0), ds::DSERR_INVALIDPARAM);
    EXPECT_EQ(b->Unlock(p1, 101, p2, n2), ds::DSERR_INVALIDPARAM);
    EXPECT_EQ(b->Unlock(p1, n1, p2, 201), ds::DSERR_INVALIDPARAM);
    EXPECT_EQ(b->Unlock(p1, n1, p2, 150), ds::DS_OK);  // 50 bytes written but not given
    EXPECT_EQ(b->Unlock(p1, n1, p2, 150), ds::DSERR_INVALIDPARAM);

    EXPECT_EQ(b->Lock(0, 1001, &p1, &n1, &p2, &n2, 0), ds::DSERR_INVALIDPARAM);
    EXPECT_EQ(b->Lock(1000, 1, &p1, &n1, &p2, &n2, 0), ds::DSERR_INVALIDPARAM);
    EXPECT_EQ(b->Lock(0, 0, &p1, &n1, &p2, &n2, 0), ds::DSERR_INVALIDPARAM);
    EXPECT_EQ(b->Lock(0, 10, nullptr, &n1, &p2, &n2, 0), ds::DSERR_INVALIDPARAM);
    ASSERT_EQ(b->Lock(500, 0, &p1, &n1, &p2, &n2, 2 /* DSBLOCK_ENTIREBUFFER */), ds::DS_OK);
    EXPECT_EQ(n1 + n2, 1000u);
    EXPECT_EQ(b->Unlock(p1, 0, p2, 0), ds::DS_OK);

    // One pass plays the published bytes; the 50 withheld ones still play silence.
    ASSERT_EQ(b->Play(0, 0, 0), ds::DS_OK);
    ASSERT_TRUE(m_Device->Advance(1000));
    const Bytes played = Last()->Played();
    ASSERT_EQ(played.size(), 1000u);
    EXPECT_EQ(Slice(played, 0, 150), Slice(data, 100, 150));
    EXPECT_EQ(Slice(played, 150, 50), Bytes(50, 0x80));
    EXPECT_EQ(Slice(played, 900, 100), Slice(data, 0, 100));
    EXPECT_EQ(Last()->Underruns(), 1000u - 400u);  // unlocked: [0, 300) and [900, 1000)
}

// ---- Notifications ----

TEST_F(SoftDs, NotificationPositionsAreValidated) {
    ds::IDirectSoundBuffer* b = Make(4000);
    Worker w(b, 4, 1000);
    EXPECT_EQ(w.Attach({999, 1999, 1998, 3999}), ds::DSERR_INVALIDPARAM);  // unsorted
    EXPECT_EQ(w.Attach({999, 1999, 2999, 4000}), ds::DSERR_INVALIDPARAM);  // past the end
    EXPECT_TRUE(Last()->Notifications().empty());
    EXPECT_EQ(w.Attach({0, 0, 3999, kOffsetStop}), ds::DS_OK);
    EXPECT_EQ(Last()->Notifications().size(), 4u);
    ds::IDirectSoundNotify* n = nullptr;
    ASSERT_EQ(b->QueryInterface(ds::IID_IDirectSoundNotify, reinterpret_cast<void**>(&n)),
              ds::DS_OK);
    const ds::DSBPOSITIONNOTIFY noEvent{10, nullptr};
    EXPECT_EQ(n->SetNotificationPositions(1, &noEvent), ds::DSERR_INVALIDPARAM);
    EXPECT_EQ(n->SetNotificationPositions(1, nullptr), ds::DSERR_INVALIDPARAM);
    ASSERT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
    const auto p = w.Positions();
    EXPECT_EQ(n->SetNotificationPositions(4, p.data()), ds::DSERR_INVALIDCALL);  // playing
    ASSERT_EQ(b->Stop(), ds::DS_OK);
    EXPECT_EQ(n->SetNotificationPositions(0, nullptr), ds::DS_OK);
    EXPECT_TRUE(Last()->Notifications().empty());
    n->Release();
}

TEST_F(SoftDs, NotificationsFireOnceEachInOrderAcrossWrapsAndNeverWhileStopped) {
    ds::IDirectSoundBuffer* b = Make(4000);  // 1000 frames, segments of 250 frames
    Worker w(b, 4, 1000);
    ASSERT_EQ(w.Attach(), ds::DS_OK);
    w.Start();
    ASSERT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
    ASSERT_TRUE(m_Device->Advance(249));  // one frame short of the first position
    EXPECT_TRUE(w.Seen().empty());
    ASSERT_TRUE(m_Device->Advance(1));
    EXPECT_EQ(w.Seen(), (std::vector<uint32_t>{0}));
    ASSERT_TRUE(m_Device->Advance(2250));  // 2.5 loops in one call
    const std::vector<uint32_t> expected = {0, 1, 2, 3, 0, 1, 2, 3, 0, 1};
    EXPECT_EQ(w.Seen(), expected);
    EXPECT_EQ(Last()->Signalled(), expected);
    EXPECT_EQ(Last()->PlayCursor(), 2500u * 4 % 4000);

    ASSERT_EQ(b->Stop(), ds::DS_OK);
    const Bytes before = Last()->Played();
    ASSERT_TRUE(m_Device->Advance(5000));
    EXPECT_EQ(w.Seen().size(), expected.size());
    EXPECT_EQ(Last()->Played(), before);
    EXPECT_EQ(Last()->PlayCursor(), 2000u);  // where it stopped
    EXPECT_EQ(m_Device->Frames(), 7500u);
}

TEST_F(SoftDs, EachBufferPlaysAndSignalsAtItsOwnRate) {
    // A plays 44100 frames/s, B 22050: B's positions come half as often.
    ds::IDirectSoundBuffer* a = Make(400, Pcm(1, 44100, 8));
    ds::IDirectSoundBuffer* b = Make(400, Pcm(1, 22050, 8));
    Worker wa(a, 2, 200);
    Worker wb(b, 2, 200);
    ASSERT_EQ(wa.Attach(), ds::DS_OK);
    ASSERT_EQ(wb.Attach(), ds::DS_OK);
    wa.Start();
    wb.Start();
    ASSERT_EQ(a->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
    ASSERT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
    ASSERT_TRUE(m_Device->Advance(1000));
    EXPECT_EQ(wa.Seen(), (std::vector<uint32_t>{0, 1, 0, 1, 0}));
    EXPECT_EQ(wb.Seen(), (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(m_Device->Buffer(0)->Played().size(), 1000u);
    EXPECT_EQ(m_Device->Buffer(1)->Played().size(), 500u);
}

// The clock frame by frame, as the reference for its spans: each output frame adds the
// buffer's rate to its phase, and each whole output rate of phase plays one buffer frame.
struct FrameModel {
    uint32_t bytes = 0, align = 1, rate = 0, outputRate = 0;
    bool looping = false;
    std::vector<uint32_t> offsets;
    uint32_t frame = 0, phase = 0;
    bool playing = true;
    Bytes played;
    std::vector<bool> fresh;
    uint64_t underruns = 0;

    // One output frame; appends the notifications it passes.
    void Step(const Bytes& data, std::vector<uint32_t>& passed) {
        if (!playing) return;
        const uint32_t frames = (bytes + align - 1) / align;
        for (phase += rate; playing && phase >= outputRate; phase -= outputRate) {
            const uint32_t from = frame * align, to = std::min(from + align, bytes);
            for (uint32_t i = from; i < to; ++i) {
                underruns += fresh[i] ? 0 : 1;
                fresh[i] = false;
            }
            played.insert(played.end(), data.begin() + from, data.begin() + to);
            for (uint32_t i = 0; i < offsets.size(); ++i) {
                if (offsets[i] >= from && offsets[i] < to) passed.push_back(i);
            }
            if (++frame == frames) {
                frame = 0;
                if (!looping) {
                    playing = false;
                    phase = outputRate;  // the loop's decrement leaves 0
                    for (uint32_t i = 0; i < offsets.size(); ++i) {
                        if (offsets[i] == kOffsetStop) passed.push_back(i);
                    }
                }
            }
        }
    }
};

struct SpanCase {
    const char* what;
    uint32_t outputRate;
    ds::WAVEFORMATEX format;
    uint32_t bytes;
    bool looping;
    std::vector<uint32_t> offsets;
    std::vector<uint32_t> advances;
};

// Spans reach from one notification to the next: whatever the rates and however Advance
// is cut, the bytes played, the underruns, the order of the signals and the clock frame
// at which each one is handled are those of the clock stepped frame by frame.
TEST_F(SoftDs, SpansCrossNotificationsExactlyAsFrameByFrame) {
    const SpanCase cases[] = {
        {"same rate, one call over loops",
         44100,
         Pcm(2, 44100, 16),
         4000,
         true,
         {999, 1999, 2999, 3999},
         {2500}},
        {"half rate, two positions in one frame",
         44100,
         Pcm(1, 22050, 8),
         999,
         true,
         {0, 0, 500, 998},
         {1, 1, 2999, 7}},
        {"short last frame, played once",
         44100,
         Pcm(2, 48000, 16),
         1002,
         false,
         {1, 1001, kOffsetStop},
         {100, 400}},
        {"several frames per output frame",
         44100,
         Pcm(2, 96000, 16),
         8000,
         true,
         {3, 7, 11, 4000, 7999},
         {3000}},
        {"25 frames per output frame across the wrap",
         8000,
         Pcm(1, 200000, 16),
         1000,
         true,
         {10, 500, 998},
         {9, 10, 11}},
        {"a quarter frame per output frame, played once",
         44100,
         Pcm(1, 11025, 16),
         700,
         false,
         {1, 699, kOffsetStop},
         {10000}},
    };
    for (const SpanCase& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceOptions o;
        o.outputRate = c.outputRate;
        Reopen(o);
        ds::IDirectSoundBuffer* b = Make(c.bytes, c.format);
        const Bytes data = PatternPcm(c.bytes, c.bytes);
        Write(b, 0, data);
        Worker w(b, static_cast<uint32_t>(c.offsets.size()), 1);
        ASSERT_EQ(w.Attach(c.offsets), ds::DS_OK);
        w.RecordFrames(m_Device);
        w.Start();
        ASSERT_EQ(b->Play(0, 0, c.looping ? ds::DSBPLAY_LOOPING : 0), ds::DS_OK);
        uint64_t total = 0;
        for (uint32_t a : c.advances) {
            ASSERT_TRUE(m_Device->Advance(a));
            total += a;
        }

        FrameModel model;
        model.bytes = c.bytes;
        model.align = c.format.nBlockAlign;
        model.rate = c.format.nSamplesPerSec;
        model.outputRate = c.outputRate;
        model.looping = c.looping;
        model.offsets = c.offsets;
        model.fresh.assign(c.bytes, true);
        std::vector<uint32_t> order;
        std::vector<std::pair<uint64_t, uint32_t>> handled;  // (clock frame, position)
        for (uint64_t k = 1; k <= total; ++k) {
            std::vector<uint32_t> passed;
            model.Step(data, passed);
            for (uint32_t i : passed) handled.push_back({k, i});
            order.insert(order.end(), passed.begin(), passed.end());
        }
        ASSERT_FALSE(order.empty());
        EXPECT_EQ(Last()->Signalled(), order);
        // The worker takes signals given in one step lowest index first: compare per step.
        const std::vector<uint32_t> seen = w.Seen();
        const std::vector<uint64_t> frames = w.Frames();
        ASSERT_EQ(seen.size(), frames.size());
        std::vector<std::pair<uint64_t, uint32_t>> got;
        for (size_t i = 0; i < seen.size(); ++i) got.push_back({frames[i], seen[i]});
        std::sort(got.begin(), got.end());
        std::sort(handled.begin(), handled.end());
        EXPECT_EQ(got, handled);
        EXPECT_EQ(Last()->Played(), model.played);
        EXPECT_EQ(Last()->Underruns(), model.underruns);
        EXPECT_EQ(Last()->PlayCursor(), model.frame * model.align);
        EXPECT_EQ(Last()->Playing(), model.playing);
        ASSERT_EQ(b->Stop(), ds::DS_OK);
        EXPECT_TRUE(m_Device->WaitIdle());
    }
}

TEST_F(SoftDs, BufferPlayedOnceStopsAtItsEndAndSignalsTheStopPosition) {
    ds::IDirectSoundBuffer* b = Make(4000);
    const Bytes data = PatternPcm(4000);
    Write(b, 0, data);
    Worker w(b, 5, 1000);  // four positions and the stop
    ASSERT_EQ(w.Attach({999, 1999, 2999, 3999, kOffsetStop}), ds::DS_OK);
    w.Start();
    ASSERT_EQ(b->Play(0, 0, 0), ds::DS_OK);
    uint32_t status = 0;
    ASSERT_EQ(b->GetStatus(&status), ds::DS_OK);
    EXPECT_EQ(status, ds::DSBSTATUS_PLAYING);
    ASSERT_TRUE(m_Device->Advance(3000));
    EXPECT_EQ(w.Seen(), (std::vector<uint32_t>{0, 1, 2, 3, 4}));
    ASSERT_EQ(b->GetStatus(&status), ds::DS_OK);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(Last()->PlayCursor(), 0u);
    EXPECT_EQ(Last()->Played(), data);
    EXPECT_EQ(Last()->Underruns(), 0u);

    // Played again and stopped by hand: the stop position fires again, once.
    ASSERT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
    ASSERT_EQ(b->GetStatus(&status), ds::DS_OK);
    EXPECT_EQ(status, ds::DSBSTATUS_PLAYING | ds::DSBSTATUS_LOOPING);
    ASSERT_TRUE(m_Device->Advance(100));
    ASSERT_EQ(b->Stop(), ds::DS_OK);
    ASSERT_EQ(b->Stop(), ds::DS_OK);
    EXPECT_TRUE(m_Device->WaitIdle());
    EXPECT_EQ(w.Seen(), (std::vector<uint32_t>{0, 1, 2, 3, 4, 4}));
    EXPECT_EQ(b->GetStatus(nullptr), ds::DSERR_INVALIDPARAM);
    EXPECT_EQ(b->Play(1, 0, 0), ds::DSERR_INVALIDPARAM);
}

// The manual clock waits for the worker after every notification: a worker that refills
// the very segment about to play, after a pause, is never late.
TEST_F(SoftDs, AdvanceWaitsForTheWorkersAfterEachNotification) {
    const uint32_t segments = 4, segmentBytes = 400;
    const Bytes source = PatternPcm(40 * segmentBytes);
    ds::IDirectSoundBuffer* b = Make(segments * segmentBytes);
    Worker w(b, segments, segmentBytes, &source, /*ahead=*/1, /*delayMs=*/5);
    ASSERT_EQ(w.Attach(), ds::DS_OK);
    w.Start();
    ASSERT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
    ASSERT_TRUE(m_Device->Advance(10 * segmentBytes / 4 + 37));
    const size_t bytes = 10 * segmentBytes + 37 * 4;
    EXPECT_EQ(Last()->Played(), Slice(source, 0, bytes));
    EXPECT_EQ(Last()->Underruns(), 0u);
    EXPECT_EQ(w.Seen().size(), 10u);
}

// With overlapWorkers the clock plays on while workers that refill half a ring ahead do
// their work, and waits only when a buffer reaches bytes not written yet: the buffer plays
// the same bytes as when stepped notification by notification, without an underrun, and
// every notification was handled when Advance returns. Rings of one-frame segments (a
// loop of a few frames) included.
TEST_F(SoftDs, OverlappedWorkersPlayTheSameBytesWithoutUnderruns) {
    struct Row {
        uint32_t segments, segmentBytes, delayMs, step;
    };
    constexpr uint32_t kFrames = 800;
    for (const Row& r : {Row{16, 4, 0, 1000}, Row{16, 4, 0, 7}, Row{8, 400, 2, 1234}}) {
        SCOPED_TRACE(testing::Message() << r.segments << " x " << r.segmentBytes << " bytes");
        DeviceOptions o;
        o.overlapWorkers = true;
        Reopen(o);
        const Bytes source = PatternPcm(kFrames * 4 + r.segments * r.segmentBytes);
        ds::IDirectSoundBuffer* b = Make(r.segments * r.segmentBytes);
        Worker w(b, r.segments, r.segmentBytes, &source, r.segments / 2, r.delayMs);
        w.CountOn();
        ASSERT_EQ(w.Attach(), ds::DS_OK);
        w.Start();
        ASSERT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
        for (uint32_t done = 0; done < kFrames; done += r.step) {
            ASSERT_TRUE(m_Device->Advance(std::min(r.step, kFrames - done)));
        }
        EXPECT_EQ(Last()->Played(), Slice(source, 0, kFrames * 4));
        EXPECT_EQ(Last()->Underruns(), 0u);
        EXPECT_EQ(w.Seen().size(), kFrames * 4 / r.segmentBytes);
        ASSERT_EQ(b->Stop(), ds::DS_OK);
    }
}

// ---- Position, status and volume ----

TEST_F(SoftDs, PositionMovesInWholeFramesAndPlayResumesFromIt) {
    ds::IDirectSoundBuffer* b = Make(4000);
    const Bytes data = PatternPcm(4000);
    Write(b, 0, data);
    EXPECT_EQ(b->SetCurrentPosition(4000), ds::DSERR_INVALIDPARAM);
    ASSERT_EQ(b->SetCurrentPosition(1003), ds::DS_OK);
    uint32_t play = 0, write = 0;
    ASSERT_EQ(b->GetCurrentPosition(&play, &write), ds::DS_OK);
    EXPECT_EQ(play, 1000u);
    EXPECT_EQ(write, 1000u);
    ASSERT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
    ASSERT_TRUE(m_Device->Advance(100));
    ASSERT_EQ(b->Stop(), ds::DS_OK);
    ASSERT_EQ(b->GetCurrentPosition(&play, nullptr), ds::DS_OK);
    EXPECT_EQ(play, 1400u);
    ASSERT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
    ASSERT_TRUE(m_Device->Advance(750));  // to the end and 100 frames round
    Bytes expected = Slice(data, 1000, 3000);
    expected.insert(expected.end(), data.begin(), data.begin() + 400);
    EXPECT_EQ(Last()->Played(), expected);
}

TEST_F(SoftDs, VolumeIsRangeCheckedAndNeedsItsControl) {
    ds::IDirectSoundBuffer* b = Make(4000);
    EXPECT_EQ(b->SetVolume(-10001), ds::DSERR_INVALIDPARAM);
    EXPECT_EQ(b->SetVolume(1), ds::DSERR_INVALIDPARAM);
    EXPECT_EQ(Last()->Volume(), 0);
    EXPECT_EQ(b->SetVolume(-10000), ds::DS_OK);
    EXPECT_EQ(b->SetVolume(-600), ds::DS_OK);
    int32_t v = 0;
    EXPECT_EQ(b->GetVolume(&v), ds::DS_OK);
    EXPECT_EQ(v, -600);
    EXPECT_EQ(Last()->Volume(), -600);
    const auto calls = Last()->Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls.back().op, Op::SetVolume);
    EXPECT_EQ(calls.back().value, -600);

    ds::IDirectSoundBuffer* fixed = Make(4000, Pcm(2, 44100, 16), ds::DSBCAPS_CTRLPOSITIONNOTIFY);
    EXPECT_EQ(fixed->SetVolume(-600), ds::DSERR_CONTROLUNAVAIL);
    EXPECT_EQ(fixed->GetVolume(&v), ds::DSERR_CONTROLUNAVAIL);
    EXPECT_EQ(Last()->Volume(), 0);
}

// ---- What was played ----

TEST_F(SoftDs, UnderrunsCountBytesPlayedThatNothingWroteSinceTheyLastPlayed) {
    ds::IDirectSoundBuffer* b = Make(1000, Pcm(1, 44100, 8));
    Write(b, 0, PatternPcm(400));
    ASSERT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
    ASSERT_TRUE(m_Device->Advance(1000));
    EXPECT_EQ(Last()->Underruns(), 600u);  // never written
    ASSERT_TRUE(m_Device->Advance(1000));
    EXPECT_EQ(Last()->Underruns(), 1600u);  // written once, already played
    Write(b, 0, PatternPcm(1000, 2));
    ASSERT_TRUE(m_Device->Advance(1000));
    EXPECT_EQ(Last()->Underruns(), 1600u);
    Write(b, 200, PatternPcm(100, 3));
    ASSERT_TRUE(m_Device->Advance(500));
    EXPECT_EQ(Last()->Underruns(), 1600u + 400u);
}

struct FormatCase {
    uint16_t channels;
    uint32_t rate;
    uint16_t bits;
    uint32_t bytes;
};

class PlayedBytes : public SoftDs, public ::testing::WithParamInterface<FormatCase> {};

// The buffer plays at its own rate whatever the output rate, byte for byte, the short
// last frame of a size that is not whole frames included.
TEST_P(PlayedBytes, AreTheBufferBytesInPlayingOrder) {
    const FormatCase c = GetParam();
    ds::IDirectSoundBuffer* b = Make(c.bytes, Pcm(c.channels, c.rate, c.bits));
    const Bytes data = PatternPcm(c.bytes, c.rate);
    Write(b, 0, data);
    ASSERT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
    const uint32_t outFrames = 12345;
    ASSERT_TRUE(m_Device->Advance(outFrames));
    const uint32_t align = c.channels * c.bits / 8;
    const uint64_t frames = uint64_t{outFrames} * c.rate / 44100;
    const uint32_t perLoop = (c.bytes + align - 1) / align;
    const uint64_t bytes =
        frames / perLoop * c.bytes + std::min<uint64_t>(frames % perLoop * align, c.bytes);
    Bytes expected;
    while (expected.size() < bytes) expected.insert(expected.end(), data.begin(), data.end());
    expected.resize(bytes);
    EXPECT_EQ(Last()->Played(), expected);
    Last()->ClearPlayed();
    EXPECT_TRUE(Last()->Played().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PlayedBytes,
    ::testing::Values(FormatCase{2, 44100, 16, 4000}, FormatCase{1, 22050, 8, 999},
                      FormatCase{2, 48000, 16, 1002}, FormatCase{1, 11025, 16, 700},
                      FormatCase{2, 8000, 8, 3001}, FormatCase{2, 96000, 16, 8000}));

// ---- Sinks ----

struct Wav {
    uint32_t riffSize, channels, rate, bits, dataSize;
    std::vector<int16_t> samples;
};

Wav ReadWav(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Wav w{};
    if (b.size() < 44 || std::memcmp(b.data(), "RIFF", 4) != 0) return w;
    const auto u32 = [&](size_t at) {
        return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
               uint32_t{b[at + 3]} << 24;
    };
    w.riffSize = u32(4);
    w.channels = b[22];
    w.rate = u32(24);
    w.bits = b[34];
    w.dataSize = u32(40);
    for (size_t i = 44; i + 1 < b.size(); i += 2) {
        w.samples.push_back(static_cast<int16_t>(b[i] | b[i + 1] << 8));
    }
    return w;
}

Bytes Constant16(uint32_t frames, int16_t left, int16_t right) {
    Bytes b;
    for (uint32_t i = 0; i < frames; ++i) {
        sonaflux::test::PutLe16(b, static_cast<uint16_t>(left));
        sonaflux::test::PutLe16(b, static_cast<uint16_t>(right));
    }
    return b;
}

TEST_F(SoftDs, WavSinkHoldsTheMixWithVolumeResamplingAndClipping) {
    const std::string path = sonaflux::test::TempPath("mix.wav");
    DeviceOptions o;
    o.sink = softds::SinkKind::WavFile;
    o.wavPath = path;
    Reopen(o);
    ds::IDirectSoundBuffer* a = Make(4000);
    Write(a, 0, Constant16(1000, 20000, -16000));
    ASSERT_EQ(a->SetVolume(-600), ds::DS_OK);  // 10^(-0.3): about half
    ASSERT_TRUE(m_Device->Advance(100));       // silence first
    ASSERT_EQ(a->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
    ASSERT_TRUE(m_Device->Advance(500));
    // An 8-bit mono buffer at half the rate joins; the sum clips.
    ds::IDirectSoundBuffer* c = Make(500, Pcm(1, 22050, 8));
    Write(c, 0, Bytes(500, 0xC0));  // +64 steps of 256: 16384 on both sides
    ASSERT_EQ(a->SetVolume(0), ds::DS_OK);
    ASSERT_EQ(c->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
    ASSERT_TRUE(m_Device->Advance(400));
    EXPECT_EQ(m_Device->MixedFrames(), 1000u);
    ASSERT_EQ(m_Device->Release(), 0u);  // the header is completed now
    m_Device = nullptr;

    const Wav w = ReadWav(path);
    sonaflux::test::RemoveFile(path);
    EXPECT_EQ(w.channels, 2u);
    EXPECT_EQ(w.rate, 44100u);
    EXPECT_EQ(w.bits, 16u);
    EXPECT_EQ(w.dataSize, 4000u);
    EXPECT_EQ(w.riffSize, 4036u);
    ASSERT_EQ(w.samples.size(), 2000u);
    EXPECT_EQ(w.samples[0], 0);
    EXPECT_EQ(w.samples[199], 0);
    const double half = std::pow(10.0, -0.3);
    for (size_t f = 100; f < 600; ++f) {
        ASSERT_NEAR(w.samples[2 * f], 20000 * half, 1.0) << f;
        ASSERT_NEAR(w.samples[2 * f + 1], -16000 * half, 1.0) << f;
    }
    // The resampled buffer rises from its start like a band-limited step, then holds.
    for (size_t f = 700; f < 1000; ++f) {
        ASSERT_EQ(w.samples[2 * f], 32767) << f;
        ASSERT_NEAR(w.samples[2 * f + 1], 16384 - 16000, 1.0) << f;
    }
}

class SoftDsMix : public SoftDs {
protected:
    // The mix a manual clock writes to a WAV file: `run` plays it, then the device is
    // released (which completes the file) and the file read.
    template <typename Run>
    Wav MixToWav(DeviceOptions o, Run run) {
        const std::string path = sonaflux::test::TempPath("mix.wav");
        o.sink = softds::SinkKind::WavFile;
        o.wavPath = path;
        Reopen(o);
        run();
        Reopen({});
        Wav w = ReadWav(path);
        sonaflux::test::RemoveFile(path);
        return w;
    }
};

struct RampCase {
    const char* what;
    int32_t from, to;  // hundredths of a decibel
    uint32_t rampFrames;
    std::vector<uint32_t> offsets;  // notifications: spans shorter than the ramp
};

// A volume change moves the gain in a straight line over the ramp, across span ends,
// with no step; without a ramp (the manual clock's default) it applies at once.
TEST_F(SoftDsMix, VolumeChangesRampWithoutAStep) {
    const RampCase cases[] = {
        {"down by 6 dB", 0, -600, 64, {}},
        {"up by 20 dB across four spans", -2000, 0, 100, {110 * 4, 125 * 4, 150 * 4, 175 * 4}},
        {"to silence", -300, ds::DSBVOLUME_MIN, 32, {101 * 4}},
        {"at once", 0, -600, 0, {}},
    };
    const auto gain = [](int32_t v) {
        return v <= ds::DSBVOLUME_MIN ? 0.0 : std::pow(10.0, v / 2000.0);
    };
    for (const RampCase& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceOptions o;
        o.volumeRampFrames = c.rampFrames;
        std::unique_ptr<Worker> w;
        const Wav wav = MixToWav(o, [&] {
            ds::IDirectSoundBuffer* b = Make(4000);
            Write(b, 0, Constant16(1000, 20000, -20000));
            if (!c.offsets.empty()) {
                w = std::make_unique<Worker>(b, static_cast<uint32_t>(c.offsets.size()), 1);
                ASSERT_EQ(w->Attach(c.offsets), ds::DS_OK);
                w->Start();
            }
            ASSERT_EQ(b->SetVolume(c.from), ds::DS_OK);
            ASSERT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
            ASSERT_TRUE(m_Device->Advance(100));
            ASSERT_EQ(b->SetVolume(c.to), ds::DS_OK);
            ASSERT_TRUE(m_Device->Advance(300));
            ASSERT_EQ(b->Stop(), ds::DS_OK);
            ASSERT_TRUE(m_Device->WaitIdle());
        });
        w.reset();
        ASSERT_EQ(wav.samples.size(), 800u);
        const double from = 20000 * gain(c.from), to = 20000 * gain(c.to);
        const double step = c.rampFrames ? std::abs(to - from) / c.rampFrames : std::abs(to - from);
        for (size_t f = 0; f < 400; ++f) {
            double expected = f < 100 ? from : to;
            if (f >= 100 && f < 100 + c.rampFrames) {
                expected = from + (to - from) * static_cast<double>(f - 100) / c.rampFrames;
            }
            ASSERT_NEAR(wav.samples[2 * f], expected, 2.0) << f;
            ASSERT_NEAR(wav.samples[2 * f + 1], -expected, 2.0) << f;
            if (f > 0) {
                ASSERT_LE(std::abs(wav.samples[2 * f] - wav.samples[2 * f - 2]), step + 2.0) << f;
            }
        }
    }
}

// A tone fitted by least squares at a known frequency: its amplitude, and the RMS of what
// is left (every other product: aliases, images, noise), both in 16-bit units.
struct ToneFit {
    double amplitude, residual;
};

ToneFit FitTone(const std::vector<double>& y, double cyclesPerSample) {
    // y ~ a cos + b sin + c: the normal equations, solved by elimination.
    double m[3][4] = {};
    const double w = 2.0 * 3.14159265358979323846 * cyclesPerSample;
    for (size_t n = 0; n < y.size(); ++n) {
        const double v[3] = {std::cos(w * n), std::sin(w * n), 1.0};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) m[r][c] += v[r] * v[c];
            m[r][3] += v[r] * y[n];
        }
    }
    for (int p = 0; p < 3; ++p) {
        for (int r = p + 1; r < 3; ++r) {
            const double f = m[r][p] / m[p][p];
            for (int c = p; c < 4; ++c) m[r][c] -= f * m[p][c];
        }
    }
    double x[3];
    for (int r = 2; r >= 0; --r) {
        double v = m[r][3];
        for (int c = r + 1; c < 3; ++c) v -= m[r][c] * x[c];
        x[r] = v / m[r][r];
    }
    double sum = 0.0;
    for (size_t n = 0; n < y.size(); ++n) {
        const double e = y[n] - (x[0] * std::cos(w * n) + x[1] * std::sin(w * n) + x[2]);
        sum += e * e;
    }
    return {std::hypot(x[0], x[1]), std::sqrt(sum / static_cast<double>(y.size()))};
}

double Dbfs(double rms) {  // relative to a full-scale sine
    return 20.0 * std::log10(rms / (32768.0 / std::sqrt(2.0)));
}

struct SweepCase {
    uint32_t bufferRate;          // the rate the buffer is created with, and plays at until...
    uint32_t playRate;            // ...SetFrequency sets this one, 1500 frames in (when it differs)
    double passEdge;              // Hz: flat within 0.1 dB up to here
    std::vector<uint32_t> tenHz;  // tones, in tens of cycles per buffer second
};

// Stepped sine sweeps through the rate conversion, rendered by the manual clock in uneven
// steps between notifications (so spans and blocks end anywhere): every tone below the
// passband's edge comes out within 0.1 dB of its level, every product other than the tone
// (aliases, images, clicks at span ends) stays at or below -90 dBFS, and a tone above the
// output's Nyquist frequency leaves nothing above -90 dBFS.
TEST_F(SoftDsMix, SineSweepsResampleFlatAndWithoutAliasing) {
    const SweepCase cases[] = {
        {48000, 48000, 20000, {2, 100, 500, 1000, 1500, 1900, 2000, 2100, 2210, 2300, 2399}},
        {22050, 22050, 10000, {2, 100, 300, 600, 900, 1000}},
        // A rate no exact kernel serves (interpolated rows), reached by SetFrequency.
        {44100, 47999, 20000, {100, 900, 1837}},
    };
    constexpr double kAmplitude = 29000;
    constexpr uint32_t kOut = 44100, kFrames = 9000, kFrom = 3000;
    for (const SweepCase& c : cases) {
        const uint32_t frames = c.bufferRate / 10;  // a tenth of a second: whole cycles
        for (const uint32_t tone : c.tenHz) {
            const double hz = tone * 10.0 * c.playRate / c.bufferRate;
            SCOPED_TRACE(testing::Message()
                         << c.bufferRate << " -> " << c.playRate << " Hz, tone " << hz << " Hz");
            Bytes data;
            for (uint32_t n = 0; n < frames; ++n) {
                const double a = 2.0 * 3.14159265358979323846 * tone * n / frames;
                sonaflux::test::PutLe16(data, static_cast<uint16_t>(static_cast<int16_t>(
                                                  std::lround(kAmplitude * std::sin(a)))));
                sonaflux::test::PutLe16(data, static_cast<uint16_t>(static_cast<int16_t>(
                                                  std::lround(kAmplitude * std::cos(a)))));
            }
            std::unique_ptr<Worker> w;
            const Wav wav = MixToWav({}, [&] {
                ds::IDirectSoundBuffer* b =
                    Make(frames * 4, Pcm(2, c.bufferRate, 16), kStreamFlags | kCtrlFrequency);
                Write(b, 0, data);
                w = std::make_unique<Worker>(b, 3, 1);
                ASSERT_EQ(w->Attach({401 * 4, 1777 * 4, (frames - 3) * 4}), ds::DS_OK);
                w->Start();
                ASSERT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
                for (uint32_t done = 0; done < kFrames; done += 997) {
                    if (done == 997 * 2 && c.playRate != c.bufferRate) {
                        ASSERT_EQ(b->SetFrequency(c.playRate), ds::DS_OK);
                    }
                    ASSERT_TRUE(m_Device->Advance(std::min(997u, kFrames - done)));
                }
                ASSERT_EQ(b->Stop(), ds::DS_OK);
            });
            w.reset();
            ASSERT_EQ(wav.samples.size(), 2u * kFrames);
            for (unsigned ch = 0; ch < 2; ++ch) {
                std::vector<double> y;
                for (uint32_t k = kFrom; k < kFrames; ++k) y.push_back(wav.samples[2 * k + ch]);
                const ToneFit fit = FitTone(y, hz / kOut);
                if (hz >= kOut / 2.0) {
                    double sum = 0.0;
                    for (double v : y) sum += v * v;
                    EXPECT_LE(Dbfs(std::sqrt(sum / static_cast<double>(y.size()))), -90.0) << ch;
                    continue;
                }
                EXPECT_LE(Dbfs(fit.residual), -90.0) << ch;
                if (hz <= c.passEdge) {
                    EXPECT_NEAR(20.0 * std::log10(fit.amplitude / kAmplitude), 0.0, 0.1) << ch;
                }
            }
        }
    }
}

// SetFrequency while a buffer plays changes neither the level nor the continuity of what
// it plays: a steady level stays steady to the sample across changes between the output
// rate (a plain copy) and others (the kernel then reads the frames heard before).
TEST_F(SoftDsMix, RateChangesWhilePlayingKeepASteadyLevelSteady) {
    const Wav wav = MixToWav({}, [&] {
        ds::IDirectSoundBuffer* b = Make(4000, Pcm(2, 44100, 16), kStreamFlags | kCtrlFrequency);
        Write(b, 0, Constant16(1000, 12000, -12000));
        ASSERT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
        for (const uint32_t rate : {48000u, 22050u, 47999u, 0u}) {  // 0: the buffer's own
            ASSERT_TRUE(m_Device->Advance(500));
            ASSERT_EQ(b->SetFrequency(rate), ds::DS_OK);
        }
        ASSERT_TRUE(m_Device->Advance(500));
        ASSERT_EQ(b->Stop(), ds::DS_OK);
    });
    ASSERT_EQ(wav.samples.size(), 2u * 2500);
    for (size_t f = 0; f < 2500; ++f) {
        ASSERT_NEAR(wav.samples[2 * f], 12000, 1.0) << f;
        ASSERT_NEAR(wav.samples[2 * f + 1], -12000, 1.0) << f;
    }
}

struct SplitCase {
    ds::WAVEFORMATEX format;
    uint32_t bytes;
    std::vector<uint32_t> offsets;
};

// What a buffer at another rate sounds like does not depend on where spans and blocks
// end: the mix of one long step and that of many short ones, split again at notifications
// and across wraps of small rings, are the same to the sample. A buffer played once ends
// in silence, and one at the output rate plays its bytes as they are.
TEST_F(SoftDsMix, ResampledSoundIsTheSameHoweverTheClockIsSplit) {
    const SplitCase cases[] = {
        {Pcm(2, 22050, 16), 4000, {999, 1999, 2999, 3999}},
        {Pcm(1, 22050, 8), 999, {0, 500}},
        {Pcm(1, 11025, 16), 700, {}},
        {Pcm(2, 48000, 16), 4000, {1, 2001}},
        {Pcm(2, 96000, 16), 64, {}},
    };
    constexpr uint32_t kFrames = 3000;
    for (const SplitCase& c : cases) {
        const ds::WAVEFORMATEX& f = c.format;
        SCOPED_TRACE(testing::Message() << f.nSamplesPerSec << " Hz, " << f.nChannels << " ch, "
                                        << f.wBitsPerSample << " bits");
        const Bytes data = PatternPcm(c.bytes, f.nSamplesPerSec);
        const auto render = [&](uint32_t step, bool looping) {
            std::unique_ptr<Worker> w;
            const Wav wav = MixToWav({}, [&] {
                ds::IDirectSoundBuffer* b = Make(c.bytes, f);
                Write(b, 0, data);
                if (!c.offsets.empty()) {
                    w = std::make_unique<Worker>(b, static_cast<uint32_t>(c.offsets.size()), 1);
                    ASSERT_EQ(w->Attach(c.offsets), ds::DS_OK);
                    w->Start();
                }
                ASSERT_EQ(b->Play(0, 0, looping ? ds::DSBPLAY_LOOPING : 0), ds::DS_OK);
                for (uint32_t done = 0; done < kFrames; done += step) {
                    ASSERT_TRUE(m_Device->Advance(std::min(step, kFrames - done)));
                }
                b->Stop();
            });
            w.reset();
            return wav.samples;
        };
        const std::vector<int16_t> whole = render(kFrames, true);
        ASSERT_EQ(whole.size(), 2u * kFrames);
        EXPECT_EQ(render(37, true), whole);
        EXPECT_TRUE(std::any_of(whole.begin(), whole.end(), [](int16_t v) { return v != 0; }));
        // Played once: the same sound up to the end, then silence, however it is split.
        const std::vector<int16_t> once = render(kFrames, false);
        EXPECT_EQ(render(53, false), once);
        const uint64_t end = uint64_t{c.bytes / f.nBlockAlign} * 44100 / f.nSamplesPerSec;
        for (size_t i = 2 * (end + 1); i < once.size(); ++i) ASSERT_EQ(once[i], 0) << i;
    }
}

TEST_F(SoftDs, RealTimeClockPlaysOnItsOwnAndStopsCleanly) {
    const std::string path = sonaflux::test::TempPath("rt.wav");
    DeviceOptions o;
    o.clock = softds::ClockKind::RealTime;
    o.sink = softds::SinkKind::WavFile;
    o.wavPath = path;
    o.periodFrames = 441;
    Reopen(o);
    EXPECT_FALSE(m_Device->Advance(100));
    ds::IDirectSoundBuffer* b = Make(4000);
    Write(b, 0, PatternPcm(4000));
    Worker w(b, 4, 1000);
    ASSERT_EQ(w.Attach(), ds::DS_OK);
    w.Start();
    ASSERT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (w.Seen().size() < 8 && std::chrono::steady_clock::now() < deadline) Sleep(5);
    ASSERT_GE(w.Seen().size(), 8u);
    const std::vector<uint32_t> seen = w.Seen();
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i % 4);
    ASSERT_EQ(b->Stop(), ds::DS_OK);
    const uint64_t mixed = m_Device->MixedFrames();
    EXPECT_GE(mixed, 2000u);
    ASSERT_EQ(m_Device->Release(), 0u);
    m_Device = nullptr;
    const Wav wav = ReadWav(path);
    sonaflux::test::RemoveFile(path);
    EXPECT_GE(wav.dataSize, mixed * 4);
    EXPECT_EQ(wav.dataSize, wav.samples.size() * 2);
    EXPECT_EQ(wav.dataSize % (441 * 4), 0u);  // whole periods
}

TEST_F(SoftDs, SdlSinkPlaysThroughTheDummyDriverWhenBuiltIn) {
#ifdef _WIN32
    GTEST_SKIP() << "the SDL sink is built natively only";
#else
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    DeviceOptions o;
    o.clock = softds::ClockKind::RealTime;
    o.sink = softds::SinkKind::Sdl;
    o.recordPlayed = true;  // the real-time clock keeps no record unless asked
    Device* d = Device::Create(o);
    if (!d) GTEST_SKIP() << "built without SDL2";
    ds::IDirectSoundBuffer* b = nullptr;
    ds::WAVEFORMATEX f = Pcm(2, 44100, 16);
    ds::DSBUFFERDESC desc{sizeof desc, kStreamFlags, 4000, 0, &f, {}};
    ASSERT_EQ(d->Interface()->CreateSoundBuffer(&desc, &b, nullptr), ds::DS_OK);
    ASSERT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (d->Buffer(0)->Played().size() < 8000 && std::chrono::steady_clock::now() < deadline) {
        Sleep(5);
    }
    EXPECT_GE(d->Buffer(0)->Played().size(), 8000u);
    EXPECT_EQ(d->Release(), 0u);
    EXPECT_EQ(b->Release(), 0u);
#endif
}

// With SDL, the audio callback is the real-time clock: each block it pulls moves the
// buffers on and signals the notifications passed, in order, with no clock thread.
TEST_F(SoftDs, SdlCallbackPullsBlocksAndSignalsInOrder) {
#ifdef _WIN32
    GTEST_SKIP() << "the SDL sink is built natively only";
#else
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    DeviceOptions o;
    o.clock = softds::ClockKind::RealTime;
    o.sink = softds::SinkKind::Sdl;
    o.periodFrames = 441;  // blocks of 512 frames
    Device* d = Device::Create(o);
    if (!d) GTEST_SKIP() << "built without SDL2";
    m_Device->Release();
    m_Device = d;
    // Segments of 50 ms: one notification per block at most, and a ring of 200 ms that a
    // worker slowed by a loaded machine does not fall a lap behind.
    constexpr uint32_t kSegmentBytes = 2205 * 4;
    ds::IDirectSoundBuffer* b = Make(4 * kSegmentBytes);
    Write(b, 0, PatternPcm(4 * kSegmentBytes));
    Worker w(b, 4, kSegmentBytes);
    ASSERT_EQ(w.Attach(), ds::DS_OK);
    w.Start();
    ASSERT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (w.Seen().size() < 8 && std::chrono::steady_clock::now() < deadline) Sleep(5);
    ASSERT_EQ(b->Stop(), ds::DS_OK);
    const std::vector<uint32_t> seen = w.Seen();
    ASSERT_GE(seen.size(), 8u);
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i % 4) << i;
    const uint64_t frames = d->Frames();
    EXPECT_EQ(frames % 512, 0u);  // whole blocks of the callback
    EXPECT_GE(d->MixedFrames(), frames);
    EXPECT_TRUE(Last()->Calls().empty());  // the real-time clock keeps no record
#endif
}

// ---- Memory over a long play ----

// With the records off, nothing a buffer or the device holds grows with the length of the
// play: the fresh bytes are a few intervals, the mixer's scratch is reused. With them on,
// the same measure grows with every byte played.
TEST_F(SoftDs, MemoryStaysFlatOverALongPlayWithRecordsOff) {
    constexpr uint32_t kRate = 8000, kSegments = 4, kSegmentBytes = 44100;  // 1 s each
    const Bytes source = PatternPcm(kSegments * kSegmentBytes * 4);
    const auto held = [&](bool records, uint32_t firstSeconds, uint32_t thenSeconds) {
        DeviceOptions o;
        o.outputRate = kRate;
        o.recordPlayed = records;
        o.recordCalls = records;
        Reopen(o);
        ds::IDirectSoundBuffer* b = Make(kSegments * kSegmentBytes, Pcm(2, 11025, 16));
        Worker w(b, kSegments, kSegmentBytes, &source, kSegments / 2);
        EXPECT_EQ(w.Attach(), ds::DS_OK);
        w.Start();
        EXPECT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
        for (uint32_t s = 0; s < firstSeconds; ++s) EXPECT_TRUE(m_Device->Advance(kRate));
        const size_t before = Last()->HeldBytes() + m_Device->HeldBytes();
        for (uint32_t s = 0; s < thenSeconds; ++s) EXPECT_TRUE(m_Device->Advance(kRate));
        const size_t after = Last()->HeldBytes() + m_Device->HeldBytes();
        EXPECT_EQ(Last()->Underruns(), 0u);
        EXPECT_EQ(Last()->Played().empty(), !records);
        EXPECT_EQ(Last()->Calls().empty(), !records);
        EXPECT_EQ(Last()->Signalled().empty(), !records);
        EXPECT_EQ(b->Stop(), ds::DS_OK);
        EXPECT_TRUE(m_Device->WaitIdle());
        return std::make_pair(before, after);
    };
    const auto off = held(false, 10, 100);
    EXPECT_EQ(off.second, off.first);
    const auto on = held(true, 1, 2);
    EXPECT_GT(on.second, on.first + 2 * 11025 * 4);
}

// The real-time clock keeps neither the played bytes nor the call log unless asked.
TEST_F(SoftDs, RealTimeClockKeepsNoRecordsUnlessAsked) {
    DeviceOptions o;
    o.clock = softds::ClockKind::RealTime;
    Reopen(o);
    ds::IDirectSoundBuffer* b = Make(4000);
    Write(b, 0, PatternPcm(4000));
    Worker w(b, 4, 1000);
    ASSERT_EQ(w.Attach(), ds::DS_OK);
    w.Start();
    ASSERT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (w.Seen().size() < 8 && std::chrono::steady_clock::now() < deadline) Sleep(5);
    ASSERT_GE(w.Seen().size(), 8u);  // it played two loops
    ASSERT_EQ(b->Stop(), ds::DS_OK);
    EXPECT_GE(Last()->Underruns(), 4000u);  // still counted
    EXPECT_TRUE(Last()->Played().empty());
    EXPECT_TRUE(Last()->Calls().empty());
    EXPECT_TRUE(Last()->Signalled().empty());
    EXPECT_GE(m_Device->MixedFrames(), 2000u);  // mixed without a sink
}

// ---- Fault injection ----

TEST_F(SoftDs, FailNextFailsExactlyOneCallWithoutItsEffect) {
    ds::IDirectSoundBuffer* b = Make(4000);
    auto r = Last();
    const ds::HRESULT bad = ds::DSERR_OUTOFMEMORY;

    m_Device->FailNext(Op::CreateSoundBuffer, bad);
    ds::WAVEFORMATEX f = Pcm(2, 44100, 16);
    ds::DSBUFFERDESC d{sizeof d, kStreamFlags, 4000, 0, &f, {}};
    ds::IDirectSoundBuffer* none = nullptr;
    EXPECT_EQ(Ds()->CreateSoundBuffer(&d, &none, nullptr), bad);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(m_Device->BufferCount(), 1u);

    m_Device->FailNext(Op::QueryInterface, bad);
    ds::IDirectSoundNotify* n = nullptr;
    EXPECT_EQ(b->QueryInterface(ds::IID_IDirectSoundNotify, reinterpret_cast<void**>(&n)), bad);
    EXPECT_EQ(n, nullptr);
    EXPECT_EQ(b->AddRef(), 2u);  // the failed query added no reference
    b->Release();

    Worker w(b, 4, 1000);
    m_Device->FailNext(Op::SetNotificationPositions, bad);
    EXPECT_EQ(w.Attach(), bad);
    EXPECT_TRUE(r->Notifications().empty());
    EXPECT_EQ(w.Attach(), ds::DS_OK);

    void* p1 = nullptr;
    void* p2 = nullptr;
    uint32_t n1 = 0, n2 = 0;
    m_Device->FailNext(Op::Lock, bad);
    EXPECT_EQ(b->Lock(0, 100, &p1, &n1, &p2, &n2, 0), bad);
    EXPECT_EQ(p1, nullptr);
    ASSERT_EQ(b->Lock(0, 100, &p1, &n1, &p2, &n2, 0), ds::DS_OK);
    std::memset(p1, 0x11, n1);
    m_Device->FailNext(Op::Unlock, bad);
    EXPECT_EQ(b->Unlock(p1, n1, p2, n2), bad);
    // The failed unlock ended the lock without publishing, as a worker that gives up
    // on a segment would leave it: no later call waits for it.
    EXPECT_EQ(b->Unlock(p1, n1, p2, n2), ds::DSERR_INVALIDPARAM);

    m_Device->FailNext(Op::Play, bad);
    EXPECT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), bad);
    EXPECT_FALSE(r->Playing());
    ASSERT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
    m_Device->FailNext(Op::Stop, bad);
    EXPECT_EQ(b->Stop(), bad);
    EXPECT_TRUE(r->Playing());
    m_Device->FailNext(Op::GetCurrentPosition, bad);
    uint32_t play = 77;
    EXPECT_EQ(b->GetCurrentPosition(&play, nullptr), bad);
    EXPECT_EQ(play, 77u);

    m_Device->FailNext(Op::SetVolume, bad);
    EXPECT_EQ(b->SetVolume(-300), bad);
    EXPECT_EQ(r->Volume(), 0);
    m_Device->FailNext(Op::SetVolume, 1);  // a success that is not DS_OK
    EXPECT_EQ(b->SetVolume(-300), 1);
    EXPECT_EQ(r->Volume(), -300);
    EXPECT_EQ(b->SetVolume(-400), ds::DS_OK);
    EXPECT_EQ(r->Calls().back().result, ds::DS_OK);
    EXPECT_EQ(r->Calls()[r->Calls().size() - 2].result, 1);
}

// ---- Threads ----

// The host thread advances while the worker refills and a fade-like thread sets volumes
// and reads the status; run under TSan this proves the locking.
TEST_F(SoftDs, HostWorkerAndFadeThreadsCallAtOnce) {
    const uint32_t segments = 8, segmentBytes = 800;
    const Bytes source = PatternPcm(200 * segmentBytes);
    ds::IDirectSoundBuffer* b = Make(segments * segmentBytes);
    Worker w(b, segments, segmentBytes, &source, segments / 2);
    ASSERT_EQ(w.Attach(), ds::DS_OK);
    w.Start();
    std::atomic<bool> stop{false};
    std::thread fade([&] {
        for (int32_t v = 0; !stop.load(); v = (v - 100) % 10000) {
            b->SetVolume(v);
            uint32_t status = 0;
            b->GetStatus(&status);
            // Far more often than a fade, which steps at most every 10 ms.
            Sleep(v % 1000 == 0 ? 1 : 0);
        }
        b->SetVolume(-1200);
    });
    ASSERT_EQ(b->Play(0, 0, ds::DSBPLAY_LOOPING), ds::DS_OK);
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(m_Device->Advance(segmentBytes));  // 4 segments each
    stop = true;
    fade.join();
    EXPECT_EQ(Last()->Played(), Slice(source, 0, 160 * segmentBytes));
    EXPECT_EQ(Last()->Underruns(), 0u);
    EXPECT_EQ(Last()->Volume(), -1200);
    EXPECT_EQ(w.Seen().size(), 160u);
}

}  // namespace

namespace softds::detail {
namespace {

// Audio devices the test drives: each pulls when the test asks, and the system may remove
// it, or refuse to open one, on demand.
struct FakeDevices {
    class Port final : public OutputPort {
    public:
        Port(FakeDevices& all, Sink::RenderFn render) : m_All(all), m_Render(std::move(render)) {}
        void Start() override { started = true; }
        void Stop() override { started = false; }
        bool Lost() const override { return m_All.removed.load(); }
        void Pull(size_t frames) {
            std::vector<int16_t> out(2 * frames);
            if (started) m_Render(out.data(), frames);
        }
        std::atomic<bool> started{false};

    private:
        FakeDevices& m_All;
        Sink::RenderFn m_Render;
    };

    OpenPort Opener() {
        return [this](Sink::RenderFn render) -> std::unique_ptr<OutputPort> {
            ++attempts;
            if (refuse.load()) return nullptr;
            auto port = std::make_unique<Port>(*this, std::move(render));
            const std::lock_guard<std::mutex> lock(mutex);
            latest = port.get();
            ++opened;
            return port;
        };
    }
    Port* Latest() {
        const std::lock_guard<std::mutex> lock(mutex);
        return latest;
    }

    std::atomic<bool> removed{false}, refuse{false};
    std::atomic<int> attempts{0}, opened{0};
    std::mutex mutex;
    Port* latest = nullptr;
};

// The real-time clock outlives its device: when the system removes it, the mix goes on
// being rendered at the output rate (positions carry on), the default device is tried
// again until one opens, and the mix plays there; each of the two is said once.
TEST(SoftDsSink, ThePullingSinkSurvivesItsDevice) {
    FakeDevices devices;
    std::mutex saidMutex;
    std::vector<std::string> said;
    auto sink = MakeRecoveringSink(
        8000, 80, devices.Opener(),
        [&](const char* text) {
            const std::lock_guard<std::mutex> lock(saidMutex);
            said.emplace_back(text);
        },
        20);
    ASSERT_NE(sink, nullptr);
    std::atomic<uint64_t> rendered{0};  // the clock: every frame of the mix asked for
    sink->Start([&](int16_t*, size_t frames) { rendered += frames; });
    auto lines = [&] {
        const std::lock_guard<std::mutex> lock(saidMutex);
        return said;
    };
    devices.Latest()->Pull(160);
    EXPECT_EQ(rendered.load(), 160u);

    devices.refuse = true;
    devices.removed = true;
    ASSERT_TRUE(sonaflux::test::Eventually([&] { return lines().size() == 1; }));
    EXPECT_NE(lines()[0].find("removed"), std::string::npos);
    // No device: the clock still runs, and the default device is tried again and again.
    ASSERT_TRUE(sonaflux::test::Eventually(
        [&] { return rendered.load() >= 160 + 800 && devices.attempts.load() >= 4; }));
    EXPECT_EQ(lines().size(), 1u);

    devices.removed = false;  // a device is there again
    devices.refuse = false;
    ASSERT_TRUE(sonaflux::test::Eventually([&] { return lines().size() == 2; }));
    EXPECT_NE(lines()[1].find("again"), std::string::npos);
    EXPECT_EQ(devices.opened.load(), 2);
    FakeDevices::Port* port = devices.Latest();
    EXPECT_TRUE(port->started.load());
    const uint64_t before = rendered.load();
    port->Pull(160);  // the new device pulls the same mix on
    EXPECT_GE(rendered.load(), before + 160);
    sink->Stop();
    EXPECT_FALSE(port->started.load());
    sink->Close();
    EXPECT_EQ(lines().size(), 2u);
}

}  // namespace
}  // namespace softds::detail
