// The real DLL on real DirectSound, as an engine uses it: Sonaflux.dll is loaded with
// LoadLibraryA and reached only through GetProcAddress("CreateInterface"); the device is
// the system's (wine's, in the tests here), opened with DirectSoundCreate and a
// cooperative level, and handed to the module through a recording wrapper that forwards
// every call. Nothing of the module is linked in.
//
// wine's DirectSound plays in real time (over ALSA's null device it runs a few times
// faster), so every wait here is short and bounded.
#include <windows.h>
#include <dsound.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "recording_dsound.h"
#include "sonaflux/sonaflux.h"

namespace hostwin {
namespace {

// The sizes of the two buffer descriptions the module writes, which hold a pointer:
// 20/36 bytes for a 32-bit host, 24/40 bytes for a 64-bit one.
#if defined(__i386__)
constexpr DWORD kDesc1Bytes = 20, kDescBytes = 36;
#else
constexpr DWORD kDesc1Bytes = 24, kDescBytes = 40;
#endif

using CreateInterfaceFn = void* (*)(const GUID*);

struct Host {
    HMODULE dll = nullptr;
    CreateInterfaceFn create = nullptr;
    IDirectSound* device = nullptr;  // the system's
    HWND window = nullptr;
    std::string dir;   // scratch directory, the current directory of the test
    DWORD thread = 0;  // the host's thread
};
Host g;

// The engine's millisecond timer.
class HostTimer final : public ITimer {
public:
    int32_t Acquire() override { return 1; }
    uint32_t GetTime() override { return GetTickCount(); }
};
HostTimer g_Timer;

struct Settings {
    int streamBufferSize = 262144;
    int blockSize = 32768;
    int notifyMax = 16;
    int warningMax = 4;
    bool globalFocus = false;
    int fadeType = 0;
};

// Writes every key, so that nothing is left from an earlier file (keys keep their values).
void WriteSettings(const Settings& s) {
    FILE* f = std::fopen("Sonaflux.ini", "wb");
    ASSERT_NE(f, nullptr);
    std::fprintf(f,
                 "STREAM_BUFFER_SIZE=%d\r\nRING_BUFFER_BLOCK_SIZE=%d\r\nNOTIFY_MAX=%d\r\n"
                 "STREAM_WARNING_MAX=%d\r\nGLOBALFOCUS=%s\r\nFADETYPE=%d\r\n",
                 s.streamBufferSize, s.blockSize, s.notifyMax, s.warningMax,
                 s.globalFocus ? "true" : "false", s.fadeType);
    std::fclose(f);
}

// 16-bit stereo at 44.1 kHz in which every frame differs from the others.
std::vector<uint8_t> Pcm(uint32_t frames) {
    std::vector<uint8_t> pcm;
    pcm.reserve(frames * 4u);
    for (uint32_t i = 0; i < frames; ++i) {
        const uint16_t l = static_cast<uint16_t>(i * 3 + 7), r = static_cast<uint16_t>(0x8000 + i);
        pcm.insert(pcm.end(), {uint8_t(l), uint8_t(l >> 8), uint8_t(r), uint8_t(r >> 8)});
    }
    return pcm;
}

void Put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

// Writes a canonical WAVE image of `pcm` into `name`, after `lead` bytes of other data.
void WriteWave(const char* name, const std::vector<uint8_t>& pcm, uint32_t lead = 0) {
    std::vector<uint8_t> f(lead, 0x5A);
    const uint8_t head[] = {'R', 'I', 'F', 'F'};
    f.insert(f.end(), head, head + 4);
    Put32(f, 36 + static_cast<uint32_t>(pcm.size()));
    const uint8_t fmt[] = {'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 2, 0};
    f.insert(f.end(), fmt, fmt + sizeof fmt);
    Put32(f, 44100);
    Put32(f, 44100 * 4);
    const uint8_t tail[] = {4, 0, 16, 0, 'd', 'a', 't', 'a'};
    f.insert(f.end(), tail, tail + sizeof tail);
    Put32(f, static_cast<uint32_t>(pcm.size()));
    f.insert(f.end(), pcm.begin(), pcm.end());
    FILE* out = std::fopen(name, "wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(std::fwrite(f.data(), 1, f.size(), out), f.size());
    std::fclose(out);
}

bool WaitUntil(const std::function<bool()>& done, DWORD ms) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > ms) return false;
        Sleep(5);
    }
    return true;
}

template <typename T>
T* InterfaceOf(MusicPlayer* p, const GUID& iid) {
    return static_cast<T*>(p->GetInterface(&iid));
}

std::string Describe(const std::vector<Call>& calls);

class DllHost : public ::testing::Test {
protected:
    void SetUp() override {
        m_Log = std::make_shared<CallLog>();
        m_Device = new RecordingDevice(g.device, m_Log);
    }
    void TearDown() override {
        if (m_Module) {
            EXPECT_EQ(m_Module->Release(), 0);
            m_Module->SetDirectSound(nullptr);
            EXPECT_EQ(m_Log->live.load(), 1) << "every buffer and notify interface released";
        }
        m_Device->Release();
        EXPECT_EQ(m_Log->live.load(), 0);
    }

    // The settings file, then CreateInterface (which reads it) and the device and timer.
    MusicModule* Open(const Settings& s, bool software = true, bool shortDesc = false,
                      bool keepPriority = true) {
        WriteSettings(s);
        m_Module = static_cast<MusicModule*>(g.create(&IID_MusicModule));
        EXPECT_NE(m_Module, nullptr);
        EXPECT_TRUE(m_Module->SetDirectSound(m_Device));
        m_Module->SetTimer(&g_Timer);
        m_Module->SetSoftwareBuffer(software);
        m_Module->SetShortBufferDesc(shortDesc);
        m_Module->SetKeepPriority(keepPriority);
        return m_Module;
    }
    // Registers `file` as music 0 and loads it into player 0.
    MusicPlayer* Load(const char* file, int offset = 0, int size = -1) {
        if (size < 0) {
            WIN32_FILE_ATTRIBUTE_DATA a;
            EXPECT_TRUE(GetFileAttributesExA(file, GetFileExInfoStandard, &a));
            size = static_cast<int>(a.nFileSizeLow) - offset;
        }
        EXPECT_TRUE(m_Module->SetPlayInfo(0, file, offset, size));
        MusicPlayer* p = m_Module->GetPlayer(0);
        EXPECT_NE(p, nullptr);
        EXPECT_TRUE(p->Load(0));
        return p;
    }
    BufferDesc LastBuffer() const {
        const std::vector<BufferDesc> b = m_Log->Buffers();
        return b.empty() ? BufferDesc{} : b.back();
    }
    int LastIndex() const { return static_cast<int>(m_Log->Buffers().size()) - 1; }

    // The calls since `from` of the given kinds, on the current buffer.
    std::vector<Call> Since(size_t from, std::initializer_list<Op> ops) const {
        const std::vector<Call> all = m_Log->Calls();
        std::vector<Call> out;
        for (size_t i = from; i < all.size(); ++i) {
            if (all[i].buffer == LastIndex() &&
                std::find(ops.begin(), ops.end(), all[i].op) != ops.end()) {
                out.push_back(all[i]);
            }
        }
        return out;
    }
    // The host thread's calls of `calls`. A refill the worker had under way when the host
    // stopped the buffer may still finish; checks that it does so before the host's next
    // fill begins, so that no stale refill lands in the ring after it.
    static std::vector<Call> HostAfterWorker(const std::vector<Call>& calls) {
        std::vector<Call> host;
        bool late = false;
        for (const Call& c : calls) {
            if (c.thread == g.thread) {
                host.push_back(c);
            } else {
                late = late || !host.empty();
            }
        }
        EXPECT_FALSE(late) << "a worker wrote into the ring after the host's fill began:\n"
                           << Describe(calls);
        return host;
    }
    static std::vector<Call> Host(const std::vector<Call>& calls) {
        std::vector<Call> host;
        for (const Call& c : calls) {
            if (c.thread == g.thread) host.push_back(c);
        }
        return host;
    }
    static std::vector<Op> Ops(const std::vector<Call>& calls) {
        std::vector<Op> ops;
        for (const Call& c : calls) ops.push_back(c.op);
        return ops;
    }

    std::shared_ptr<CallLog> m_Log;
    std::vector<uint8_t> m_Pcm;
    RecordingDevice* m_Device = nullptr;
    MusicModule* m_Module = nullptr;
};

// A readable list of calls, for failure messages.
std::string Describe(const std::vector<Call>& calls) {
    static const char* const kNames[] = {"CreateSoundBuffer",
                                         "QueryInterface",
                                         "AddRef",
                                         "Release",
                                         "GetCaps",
                                         "GetCurrentPosition",
                                         "GetFormat",
                                         "GetVolume",
                                         "GetPan",
                                         "GetFrequency",
                                         "GetStatus",
                                         "Initialize",
                                         "Lock",
                                         "Unlock",
                                         "Play",
                                         "Stop",
                                         "SetCurrentPosition",
                                         "SetFormat",
                                         "SetVolume",
                                         "SetPan",
                                         "SetFrequency",
                                         "Restore",
                                         "SetNotificationPositions",
                                         "Device"};
    std::string text;
    for (const Call& c : calls) {
        char line[128];
        std::snprintf(line, sizeof line, "  %s(%lu, %lu) = 0x%lX on %s thread %lu\n",
                      kNames[static_cast<int>(c.op)], static_cast<unsigned long>(c.a),
                      static_cast<unsigned long>(c.b), static_cast<unsigned long>(c.result),
                      c.thread == g.thread ? "the host's" : "another",
                      static_cast<unsigned long>(c.thread));
        text += line;
    }
    return text;
}

// What the listener heard, segment by segment: the worker refills segment (half + k) mod n
// right after segment k mod n has played, so the k-th played segment is what that segment
// held just before the k-th refill. Every write, host's and worker's, lands in a shadow ring.
std::vector<uint8_t> Heard(const std::vector<Call>& calls, int buffer, uint32_t n, uint32_t S) {
    std::vector<uint8_t> ring(n * S, 0), heard;
    uint32_t k = 0;
    for (const Call& c : calls) {
        if (c.buffer != buffer || c.op != Op::Unlock) continue;
        if (c.thread != g.thread && c.b == S && c.a == ((n / 2 + k) % n) * S) {
            const uint32_t seg = (k % n) * S;
            heard.insert(heard.end(), ring.begin() + seg, ring.begin() + seg + S);
            ++k;
        }
        for (size_t i = 0; i < c.data.size(); ++i) ring[(c.a + i) % ring.size()] = c.data[i];
    }
    return heard;
}

// ---- buffer geometry and description ----

TEST_F(DllHost, DefaultGeometryWithoutASettingsFile) {
    // Runs first: no Sonaflux.ini has been written yet, so the built-in values stand.
    ASSERT_EQ(GetFileAttributesA("Sonaflux.ini"), INVALID_FILE_ATTRIBUTES);
    WriteWave("long.wav", Pcm(3 * 44100));
    m_Module = static_cast<MusicModule*>(g.create(&IID_MusicModule));
    ASSERT_NE(m_Module, nullptr);
    EXPECT_TRUE(m_Module->SetDirectSound(m_Device));
    Load("long.wav");
    const BufferDesc d = LastBuffer();
    EXPECT_EQ(d.dwSize, kDescBytes);
    EXPECT_EQ(d.dwFlags, 0x10188u);
    EXPECT_EQ(d.dwBufferBytes, 16u * 32768u);
    EXPECT_EQ(d.format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(d.format.nChannels, 2);
    EXPECT_EQ(d.format.nSamplesPerSec, 44100u);
    EXPECT_EQ(d.format.nBlockAlign, 4);
    EXPECT_EQ(d.format.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(d.format.wBitsPerSample, 16);
    EXPECT_EQ(d.format.cbSize, 0);
    ASSERT_EQ(d.notifications.size(), 16u);
    for (uint32_t j = 0; j < 16; ++j) EXPECT_EQ(d.notifications[j].dwOffset, j * 32768 + 32767);
}

TEST_F(DllHost, SettingsFileChangesTheRing) {
    Settings s;
    s.notifyMax = 4;
    s.blockSize = 4096;
    Open(s);
    WriteWave("long.wav", Pcm(3 * 44100));
    Load("long.wav");
    BufferDesc d = LastBuffer();
    EXPECT_EQ(d.dwBufferBytes, 16384u);
    ASSERT_EQ(d.notifications.size(), 4u);
    for (uint32_t j = 0; j < 4; ++j) {
        EXPECT_EQ(d.notifications[j].dwOffset, j * 4096 + 4095);
        EXPECT_NE(d.notifications[j].hEventNotify, nullptr);
        for (uint32_t i = 0; i < j; ++i) {
            EXPECT_NE(d.notifications[j].hEventNotify, d.notifications[i].hEventNotify);
        }
    }
    // Music shorter than the ring gets smaller segments: 10000 bytes in 4 of 2500.
    WriteWave("short.wav", Pcm(2500));
    Load("short.wav");
    d = LastBuffer();
    EXPECT_EQ(d.dwBufferBytes, 10000u);
    ASSERT_EQ(d.notifications.size(), 4u);
    for (uint32_t j = 0; j < 4; ++j) EXPECT_EQ(d.notifications[j].dwOffset, j * 2500 + 2499);
    EXPECT_EQ(m_Log->Buffers().size(), 2u);
}

TEST_F(DllHost, DescriptionForEveryOptionCombination) {
    WriteWave("long.wav", Pcm(44100));
    for (int gf = 0; gf < 2; ++gf) {
        for (int software = 0; software < 2; ++software) {
            for (int shortDesc = 0; shortDesc < 2; ++shortDesc) {
                Settings s;
                s.globalFocus = gf != 0;
                Open(s, software != 0, shortDesc != 0);
                const size_t from = m_Log->Size();
                Load("long.wav");
                const BufferDesc d = LastBuffer();
                SCOPED_TRACE("GLOBALFOCUS " + std::to_string(gf) + ", software " +
                             std::to_string(software) + ", short " + std::to_string(shortDesc));
                EXPECT_EQ(d.dwSize, shortDesc ? kDesc1Bytes : kDescBytes);
                EXPECT_EQ(d.dwFlags, 0x10180u | (software ? 0x8u : 0u) | (gf ? 0x8000u : 0u));
                EXPECT_EQ(d.dwReserved, 0u);
                const GUID zero = {};
                EXPECT_EQ(std::memcmp(&d.guid3DAlgorithm, &zero, sizeof zero), 0);
                // The system's DirectSound accepted it.
                const std::vector<Call> created = Since(from, {Op::CreateSoundBuffer});
                ASSERT_EQ(created.size(), 1u);
                EXPECT_EQ(created[0].result, DS_OK);
            }
        }
    }
    // The combinations named in the documentation (both with the 36-byte form).
    ASSERT_EQ(m_Log->Buffers().size(), 8u);
    EXPECT_EQ(m_Log->Buffers()[0].dwFlags, 0x10180u);  // software off, GLOBALFOCUS false
    EXPECT_EQ(m_Log->Buffers()[2].dwFlags, 0x10188u);  // software on, GLOBALFOCUS false
    EXPECT_EQ(m_Log->Buffers()[6].dwFlags, 0x18188u);  // software on, GLOBALFOCUS true
    EXPECT_EQ(m_Log->Buffers()[6].dwSize, kDescBytes);
}

// ---- playback ----

TEST_F(DllHost, PlayStopsRewindsAndLoopsTheBuffer) {
    Settings s;
    s.notifyMax = 8;
    s.blockSize = 8192;
    Open(s);
    const std::vector<uint8_t> pcm = Pcm(3 * 44100);
    WriteWave("long.wav", pcm);
    MusicPlayer* p = Load("long.wav");
    const size_t beforePlay = m_Log->Size();
    ASSERT_TRUE(p->Play());
    // Primed by the load: nothing is refilled, the ring restarts at byte 0, looping.
    std::vector<Call> c = Since(beforePlay, {Op::Lock, Op::Stop, Op::SetCurrentPosition, Op::Play});
    ASSERT_EQ(Ops(c), (std::vector<Op>{Op::Stop, Op::SetCurrentPosition, Op::Play}));
    EXPECT_EQ(c[1].a, 0u);
    EXPECT_EQ(c[2].a, static_cast<DWORD>(DSBPLAY_LOOPING));
    EXPECT_EQ(c[2].b, 0u) << "reserved and priority 0";
    EXPECT_TRUE(p->IsPlaying());

    // The worker refills half a ring ahead, one segment per notification, in ring order.
    ASSERT_TRUE(WaitUntil([&] { return Since(beforePlay, {Op::Lock}).size() >= 10; }, 5000));
    c = Since(beforePlay, {Op::Lock});
    for (size_t k = 0; k < 10; ++k) {
        EXPECT_EQ(c[k].a, ((4 + k) % 8) * 8192) << "refill " << k;
        EXPECT_EQ(c[k].b, 8192u);
        EXPECT_NE(c[k].thread, g.thread) << "refills are the worker's";
    }

    const size_t beforeStop = m_Log->Size();
    ASSERT_TRUE(p->Stop());
    EXPECT_FALSE(p->IsPlaying());
    EXPECT_EQ(Ops(Host(Since(beforeStop, {Op::Lock, Op::Stop, Op::SetCurrentPosition, Op::Play}))),
              (std::vector<Op>{Op::Stop}));

    // After a stop, Play starts the music over: half the ring refilled from its start.
    const size_t replay = m_Log->Size();
    ASSERT_TRUE(p->Play());
    c = HostAfterWorker(
        Since(replay, {Op::Lock, Op::Unlock, Op::Stop, Op::SetCurrentPosition, Op::Play}));
    ASSERT_EQ(Ops(c),
              (std::vector<Op>{Op::Lock, Op::Unlock, Op::Lock, Op::Unlock, Op::Lock, Op::Unlock,
                               Op::Lock, Op::Unlock, Op::Stop, Op::SetCurrentPosition, Op::Play}))
        << Describe(Since(beforeStop,
                          {Op::Lock, Op::Unlock, Op::Stop, Op::SetCurrentPosition, Op::Play}));
    for (size_t i = 0; i < 4; ++i) {
        const Call& u = c[2 * i + 1];
        EXPECT_EQ(u.a, i * 8192);
        ASSERT_EQ(u.data.size(), 8192u);
        EXPECT_TRUE(std::equal(u.data.begin(), u.data.end(), pcm.begin() + i * 8192))
            << "segment " << i << " holds the start of the music";
    }
    ASSERT_TRUE(p->Stop());
}

// The loaded music with its loops, then a queued piece joined to it in the ring.
TEST_F(DllHost, WhatPlaysIsTheMusicWithItsLoopsThenSilence) {
    Settings s;
    s.notifyMax = 8;
    s.blockSize = 16384;
    Open(s);
    const std::vector<uint8_t> pcm = Pcm(44100);
    WriteWave("music.pak", pcm, 4321);  // inside a larger file, at an offset
    MusicPlayer* p = Load("music.pak", 4321, static_cast<int>(pcm.size() + 44));
    auto* loop = InterfaceOf<MusicLoopControl>(p, IID_MusicLoopControl);
    auto* points = InterfaceOf<MusicLoopPoints>(p, IID_MusicLoopPoints);
    ASSERT_TRUE(loop && points);
    EXPECT_TRUE(loop->SetLoopCount(2));
    EXPECT_TRUE(points->SetLoopStart(11025));
    EXPECT_TRUE(points->SetLoopEnd(33075));
    std::vector<uint8_t> piece = Pcm(5000);
    std::reverse(piece.begin(), piece.end());  // not the music's bytes
    WriteWave("piece.wav", piece);
    ASSERT_TRUE(m_Module->SetPlayInfo(1, "piece.wav", 0, static_cast<int>(piece.size() + 44)));
    auto* sequence = InterfaceOf<MusicSequence>(p, IID_MusicSequence);
    ASSERT_TRUE(sequence && sequence->QueuePiece(1, 1, 0));
    const size_t from = m_Log->Size();
    ASSERT_TRUE(p->Play());
    // About 1.25 s of music, then the worker stops the buffer. (wine's DirectSound over
    // ALSA's null device, on a loaded machine, at times stops a looping buffer by itself:
    // that is told apart below, since no Stop call comes before it.)
    auto workerStopped = [&] {
        for (const Call& c : Since(from, {Op::Stop})) {
            if (c.thread != g.thread) return true;
        }
        return false;
    };
    ASSERT_TRUE(WaitUntil([&] { return workerStopped() || !p->IsPlaying(); }, 15000))
        << "did not stop at the end";
    WaitUntil(workerStopped, 1000);
    EXPECT_EQ(loop->GetLoopCount(), 2);

    std::vector<uint8_t> expected(pcm.begin(), pcm.begin() + 33075 * 4);
    expected.insert(expected.end(), pcm.begin() + 11025 * 4, pcm.begin() + 33075 * 4);
    expected.insert(expected.end(), piece.begin(), piece.end());
    const std::vector<Call> all = m_Log->Calls();
    const std::vector<uint8_t> heard = Heard(all, LastIndex(), 8, 16384);
    ASSERT_GE(heard.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), heard.begin()))
        << "the streamed bytes differ from the music";
    EXPECT_TRUE(std::all_of(heard.begin() + expected.size(), heard.end(), [](uint8_t b) {
        return b == 0;
    })) << "silence after the music";
    // The stop came from the worker, after the music.
    if (!workerStopped()) {
        EXPECT_EQ(Since(from, {Op::Stop}).size(), 1u) << "only Play's own Stop came from the host";
        std::printf(
            "note: the system's DirectSound stopped the buffer by itself, after "
            "the music had played\n");
    }
}

TEST_F(DllHost, PauseResumeAndSeek) {
    Settings s;
    s.notifyMax = 8;
    s.blockSize = 8192;
    Open(s);
    const std::vector<uint8_t> pcm = Pcm(4 * 44100);
    WriteWave("long.wav", pcm);
    MusicPlayer* p = Load("long.wav");
    auto* pause = InterfaceOf<MusicPauseControl>(p, IID_MusicPauseControl);
    auto* seek = InterfaceOf<MusicSeekControl>(p, IID_MusicSeekControl);
    auto* samples = InterfaceOf<MusicSampleInfo>(p, IID_MusicSampleInfo);
    auto* time = InterfaceOf<MusicTimeInfo>(p, IID_MusicTimeInfo);
    ASSERT_TRUE(pause && seek && samples && time);
    EXPECT_EQ(pause->IsPaused(), 1);
    ASSERT_TRUE(p->Play());
    EXPECT_EQ(pause->IsPaused(), 0);
    ASSERT_TRUE(WaitUntil([&] { return samples->GetPositionSamples() > 20000; }, 5000));

    size_t from = m_Log->Size();
    EXPECT_FALSE(seek->Seek(1000)) << "no seeking while playing";
    EXPECT_TRUE(Host(Since(from, {Op::Lock})).empty());

    ASSERT_TRUE(pause->Pause());
    EXPECT_EQ(pause->IsPaused(), 1);
    const uint32_t at = samples->GetPositionSamples();
    from = m_Log->Size();
    ASSERT_TRUE(pause->Resume());
    // Resume continues where the cursor stopped: no rewind, no refill.
    EXPECT_EQ(Ops(Host(Since(from, {Op::Lock, Op::Stop, Op::SetCurrentPosition, Op::Play}))),
              (std::vector<Op>{Op::Play}));
    EXPECT_EQ(pause->IsPaused(), 0);
    EXPECT_GE(samples->GetPositionSamples(), at);

    const size_t stopAt = m_Log->Size();
    ASSERT_TRUE(p->Stop());
    from = m_Log->Size();
    ASSERT_TRUE(seek->Seek(88200));  // two seconds in
    std::vector<Call> c = HostAfterWorker(Since(from, {Op::Lock, Op::Unlock}));
    ASSERT_EQ(c.size(), 8u) << Describe(Since(stopAt, {Op::Lock, Op::Unlock, Op::Stop}));
    c = Since(from, {Op::Unlock});
    c.erase(c.begin(), c.end() - 4);
    EXPECT_TRUE(std::equal(c[0].data.begin(), c[0].data.end(), pcm.begin() + 88200 * 4));
    from = m_Log->Size();
    ASSERT_TRUE(p->Play());
    EXPECT_EQ(Ops(Since(from, {Op::Lock, Op::Stop, Op::SetCurrentPosition, Op::Play})),
              (std::vector<Op>{Op::Stop, Op::SetCurrentPosition, Op::Play}));
    const uint32_t pos = samples->GetPositionSamples();
    EXPECT_GE(pos, 88200u);
    EXPECT_LT(pos, 88200u + 44100u);
    EXPECT_GE(time->GetPositionMs(), 2000);
    ASSERT_TRUE(p->Stop());
}

TEST_F(DllHost, FormatAndLength) {
    Open(Settings{});
    WriteWave("long.wav", Pcm(3 * 44100 + 50));
    MusicPlayer* p = Load("long.wav");
    auto* format = InterfaceOf<MusicFormatInfo>(p, IID_MusicFormatInfo);
    auto* time = InterfaceOf<MusicTimeInfo>(p, IID_MusicTimeInfo);
    auto* samples = InterfaceOf<MusicSampleInfo>(p, IID_MusicSampleInfo);
    ASSERT_TRUE(format && time && samples);
    EXPECT_EQ(format->GetFormatTag(), 1u);
    EXPECT_EQ(format->GetChannels(), 2u);
    EXPECT_EQ(format->GetSamplesPerSec(), 44100u);
    EXPECT_EQ(format->GetAvgBytesPerSec(), 176400u);
    EXPECT_EQ(format->GetBlockAlign(), 4u);
    EXPECT_EQ(format->GetBitsPerSample(), 16u);
    EXPECT_EQ(samples->GetLengthSamples(), 3u * 44100u + 50u);
    EXPECT_EQ(time->GetLengthMs(), 3001);
    EXPECT_EQ(time->GetPositionMs(), 0);
}

// ---- volume ----

TEST_F(DllHost, ImmediateVolumesInHundredthsOfADecibel) {
    Open(Settings{});
    WriteWave("long.wav", Pcm(2 * 44100));
    MusicPlayer* p = Load("long.wav");
    auto* fade = InterfaceOf<MusicFadeControl>(p, IID_MusicFadeControl);
    auto* master =
        static_cast<MusicVolumeControl*>(m_Module->GetInterface(&IID_MusicVolumeControl));
    ASSERT_TRUE(fade && master);
    for (const Call& v : Since(0, {Op::SetVolume})) {
        EXPECT_EQ(v.value, 0) << "a new stream starts at the full master volume";
    }

    auto volumes = [&](size_t from) {
        std::vector<LONG> v;
        for (const Call& c : Since(from, {Op::SetVolume})) v.push_back(c.value);
        return v;
    };
    size_t from = m_Log->Size();
    EXPECT_TRUE(fade->Fade(0, 50, false));
    EXPECT_EQ(volumes(from), (std::vector<LONG>{-1200}));  // 0.5 squared: -12.04 dB
    EXPECT_EQ(Since(from, {Op::SetVolume})[0].thread, g.thread);

    from = m_Log->Size();
    EXPECT_TRUE(master->SetMasterVolume(0.5));  // 0.5 x 0.5, squared: -24.08 dB
    EXPECT_EQ(volumes(from), (std::vector<LONG>{-2400}));
    EXPECT_DOUBLE_EQ(master->GetMasterVolume(), 0.5);

    ASSERT_TRUE(p->Play());
    from = m_Log->Size();
    EXPECT_TRUE(fade->Fade(0, 100, true));  // 0.5 master, squared: -12.04 dB, then a stop
    EXPECT_EQ(volumes(from), (std::vector<LONG>{-1200}));
    EXPECT_EQ(Ops(Since(from, {Op::SetVolume, Op::Stop})),
              (std::vector<Op>{Op::SetVolume, Op::Stop}));
    EXPECT_FALSE(p->IsPlaying());

    // FADETYPE 1: the conversion takes levels unchanged.
    Settings linear;
    linear.fadeType = 1;
    WriteSettings(linear);
    ASSERT_EQ(g.create(&IID_MusicModule), m_Module) << "the same module, settings read again";
    from = m_Log->Size();
    EXPECT_TRUE(fade->Fade(0, 50, false));      // 0.25: -12.04 dB
    EXPECT_TRUE(master->SetMasterVolume(1.0));  // 0.5: -6.02 dB
    EXPECT_TRUE(fade->Fade(0, 0, false));
    EXPECT_EQ(volumes(from), (std::vector<LONG>{-1200, -600, -10000}));

    // A stream loaded under a master volume plays at it from its first byte.
    EXPECT_TRUE(master->SetMasterVolume(0.5));
    from = m_Log->Size();
    Load("long.wav");
    EXPECT_EQ(volumes(from), (std::vector<LONG>{-600}));  // FADETYPE 1: 0.5 is -6.02 dB
    EXPECT_TRUE(master->SetMasterVolume(1.0));
    WriteSettings(Settings{});
    g.create(&IID_MusicModule);
}

TEST_F(DllHost, TimedFadesRunOnTheHostsTimer) {
    Settings s;
    s.notifyMax = 8;
    s.blockSize = 8192;
    Open(s);
    m_Pcm = Pcm(8 * 44100);
    WriteWave("long.wav", m_Pcm);
    MusicPlayer* p = Load("long.wav");
    auto* fade = InterfaceOf<MusicFadeControl>(p, IID_MusicFadeControl);
    ASSERT_NE(fade, nullptr);
    auto* loop = InterfaceOf<MusicLoopControl>(p, IID_MusicLoopControl);
    loop->SetLoopCount(0);
    ASSERT_TRUE(p->Play());

    size_t from = m_Log->Size();
    const DWORD start = GetTickCount();
    ASSERT_TRUE(fade->Fade(300, 0, true));
    EXPECT_TRUE(fade->IsFading());
    ASSERT_TRUE(WaitUntil([&] { return !fade->IsFading(); }, 5000));
    EXPECT_GE(GetTickCount() - start, 250u) << "the fade takes its time";
    EXPECT_FALSE(p->IsPlaying()) << "stopped at the end";
    std::vector<Call> c = Since(from, {Op::SetVolume, Op::Stop});
    ASSERT_GE(c.size(), 3u);
    // Falling levels from the fade thread, then its end: the stop, then the target.
    EXPECT_EQ(c.back().op, Op::SetVolume);
    EXPECT_EQ(c.back().value, -10000);
    EXPECT_EQ(c[c.size() - 2].op, Op::Stop);
    LONG last = 0;
    size_t steps = 0;
    for (const Call& call : c) {
        EXPECT_NE(call.thread, g.thread) << "fades run on their own thread";
        if (call.op != Op::SetVolume) continue;
        EXPECT_LE(call.value, last);
        EXPECT_EQ(call.value % 100, 0) << "whole decibels";
        last = call.value;
        ++steps;
    }
    EXPECT_GE(steps, 3u);

    // A timed fade stops only the buffer: Play goes on from the frame that was heard, not
    // from the start of the music, with the ring refilled from there.
    auto* samples = InterfaceOf<MusicSampleInfo>(p, IID_MusicSampleInfo);
    const uint32_t heard = samples->GetPositionSamples();
    EXPECT_GT(heard, 0u);
    from = m_Log->Size();
    ASSERT_TRUE(p->Play());
    c = Since(from, {Op::Unlock, Op::Stop, Op::SetCurrentPosition, Op::Play});
    ASSERT_EQ(Ops(c), (std::vector<Op>{Op::Unlock, Op::Unlock, Op::Unlock, Op::Unlock, Op::Stop,
                                       Op::SetCurrentPosition, Op::Play}));
    ASSERT_EQ(c[0].data.size(), 8192u);
    EXPECT_TRUE(std::equal(c[0].data.begin(), c[0].data.end(), m_Pcm.begin() + heard * 4))
        << "the music goes on at frame " << heard;

    // A rising fade from silence ends at full level.
    from = m_Log->Size();
    ASSERT_TRUE(fade->Fade(200, 100, false));
    ASSERT_TRUE(WaitUntil([&] { return !fade->IsFading(); }, 5000));
    c = Since(from, {Op::SetVolume});
    ASSERT_FALSE(c.empty());
    EXPECT_EQ(c.back().value, 0);
    for (size_t i = 1; i < c.size(); ++i) EXPECT_GE(c[i].value, c[i - 1].value);
    EXPECT_TRUE(p->IsPlaying());
    ASSERT_TRUE(p->Stop());
}

// ---- threads ----

TEST_F(DllHost, KeepPriorityDecidesTheWorkersPriority) {
    Settings s;
    s.notifyMax = 8;
    s.blockSize = 8192;
    WriteWave("long.wav", Pcm(3 * 44100));
    for (int keep = 0; keep < 2; ++keep) {
        Open(s, true, false, keep != 0);
        MusicPlayer* p = Load("long.wav");
        const size_t from = m_Log->Size();
        ASSERT_TRUE(p->Play());
        ASSERT_TRUE(WaitUntil([&] { return Since(from, {Op::Lock}).size() >= 2; }, 5000));
        for (const Call& c : Since(from, {Op::Lock})) {
            EXPECT_EQ(c.priority, keep ? THREAD_PRIORITY_NORMAL : THREAD_PRIORITY_ABOVE_NORMAL);
        }
        ASSERT_TRUE(p->Stop());
        ASSERT_TRUE(p->Unload());
    }
}

// ---- the end of the library ----

TEST(DllUnload, ReleaseThenFreeLibraryWhilePlayingThenLoadAgain) {
    // Declared last: the library goes away here, and comes back fresh, with its defaults.
    auto log = std::make_shared<CallLog>();
    auto* device = new RecordingDevice(g.device, log);
    WriteSettings(Settings{});
    auto* module = static_cast<MusicModule*>(g.create(&IID_MusicModule));
    ASSERT_NE(module, nullptr);
    module->SetDirectSound(device);
    module->SetTimer(&g_Timer);
    WriteWave("long.wav", Pcm(3 * 44100));
    ASSERT_TRUE(module->SetPlayInfo(0, "long.wav", 0, 3 * 44100 * 4 + 44));
    MusicPlayer* p = module->GetPlayer(0);
    ASSERT_TRUE(p->Load(0));
    ASSERT_TRUE(p->Play());
    InterfaceOf<MusicFadeControl>(p, IID_MusicFadeControl)->Fade(2000, 0, false);
    const DWORD start = GetTickCount();
    EXPECT_EQ(module->Release(), 0);
    EXPECT_EQ(log->live.load(), 1) << "the buffer went with its player";
    EXPECT_NE(FreeLibrary(g.dll), 0);
    g.dll = nullptr;
    EXPECT_LT(GetTickCount() - start, 5000u);
    device->Release();
    EXPECT_EQ(log->live.load(), 0);

    DeleteFileA("Sonaflux.ini");
    g.dll = LoadLibraryA("Sonaflux.dll");
    ASSERT_NE(g.dll, nullptr);
    g.create = reinterpret_cast<CreateInterfaceFn>(
        reinterpret_cast<void*>(GetProcAddress(g.dll, "CreateInterface")));
    ASSERT_NE(g.create, nullptr);
    module = static_cast<MusicModule*>(g.create(&IID_MusicModule));
    ASSERT_NE(module, nullptr);
    auto* volume = static_cast<MusicVolumeControl*>(module->GetInterface(&IID_MusicVolumeControl));
    ASSERT_NE(volume, nullptr);
    EXPECT_DOUBLE_EQ(volume->GetMasterVolume(), 1.0) << "a fresh module";
}

}  // namespace
}  // namespace hostwin

using hostwin::g;

namespace {

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    return DefWindowProcA(window, message, w, l);
}

// A hidden window for the cooperative level, as an engine has its own.
HWND MakeWindow() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "SonafluxHostTest";
    RegisterClassA(&wc);
    return CreateWindowExA(0, wc.lpszClassName, "Sonaflux host test", WS_OVERLAPPEDWINDOW, 0, 0, 64,
                           64, nullptr, nullptr, wc.hInstance, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    g.thread = GetCurrentThreadId();
    g.dll = LoadLibraryA("Sonaflux.dll");
    if (g.dll == nullptr) {
        std::fprintf(stderr, "LoadLibraryA(\"Sonaflux.dll\") failed: %lu\n", GetLastError());
        return 1;
    }
    g.create = reinterpret_cast<hostwin::CreateInterfaceFn>(
        reinterpret_cast<void*>(GetProcAddress(g.dll, "CreateInterface")));
    if (g.create == nullptr) {
        std::fprintf(stderr, "Sonaflux.dll exports no CreateInterface\n");
        return 1;
    }
    HRESULT hr = DirectSoundCreate(nullptr, &g.device, nullptr);
    if (FAILED(hr)) {
        std::fprintf(stderr, "DirectSoundCreate failed: 0x%08lX\n", static_cast<unsigned long>(hr));
        return 1;
    }
    g.window = MakeWindow();
    hr = g.device->SetCooperativeLevel(g.window ? g.window : GetDesktopWindow(), DSSCL_PRIORITY);
    if (FAILED(hr)) {
        std::fprintf(stderr, "SetCooperativeLevel failed: 0x%08lX\n",
                     static_cast<unsigned long>(hr));
        return 1;
    }
    // A scratch directory of our own becomes the current one: the module reads
    // Sonaflux.ini from there, and the music files are written there.
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    g.dir = std::string(temp) + "sonaflux-host-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(g.dir.c_str(), nullptr);
    SetCurrentDirectoryA(g.dir.c_str());
    DeleteFileA("Sonaflux.ini");

    const int result = RUN_ALL_TESTS();

    for (const char* f : {"Sonaflux.ini", "long.wav", "short.wav", "music.pak"}) DeleteFileA(f);
    SetCurrentDirectoryA(temp);
    RemoveDirectoryA(g.dir.c_str());
    if (g.dll) FreeLibrary(g.dll);
    g.device->Release();
    if (g.window) DestroyWindow(g.window);
    return result;
}
