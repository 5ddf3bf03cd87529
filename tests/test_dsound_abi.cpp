// The module's DirectSound declarations against the system's own <dsound.h>: the same
// layouts and values, and a softds device reached through the real interface tables
// lands on the right operation in every slot the module uses. Windows only.
#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>

#include <cstddef>
#include <cstring>

// The values of the <dsound.h> macros whose names the module's header reuses, kept
// before the macros go.
namespace real {
constexpr HRESULT kOk = DS_OK;
constexpr HRESULT kNoInterface = DSERR_NOINTERFACE;
constexpr HRESULT kGeneric = DSERR_GENERIC;
constexpr HRESULT kUnsupported = DSERR_UNSUPPORTED;
constexpr HRESULT kOutOfMemory = DSERR_OUTOFMEMORY;
constexpr HRESULT kInvalidParam = DSERR_INVALIDPARAM;
constexpr HRESULT kNoAggregation = DSERR_NOAGGREGATION;
constexpr HRESULT kControlUnavail = DSERR_CONTROLUNAVAIL;
constexpr HRESULT kInvalidCall = DSERR_INVALIDCALL;
constexpr HRESULT kBadFormat = DSERR_BADFORMAT;
constexpr HRESULT kBufferLost = DSERR_BUFFERLOST;
constexpr HRESULT kAlreadyInitialized = DSERR_ALREADYINITIALIZED;
constexpr DWORD kLocSoftware = DSBCAPS_LOCSOFTWARE;
constexpr DWORD kCtrlVolume = DSBCAPS_CTRLVOLUME;
constexpr DWORD kCtrlPositionNotify = DSBCAPS_CTRLPOSITIONNOTIFY;
constexpr DWORD kGlobalFocus = DSBCAPS_GLOBALFOCUS;
constexpr DWORD kGetCurrentPosition2 = DSBCAPS_GETCURRENTPOSITION2;
constexpr DWORD kPlayLooping = DSBPLAY_LOOPING;
constexpr DWORD kStatusPlaying = DSBSTATUS_PLAYING;
constexpr DWORD kStatusLooping = DSBSTATUS_LOOPING;
constexpr DWORD kStatusBufferLost = DSBSTATUS_BUFFERLOST;
constexpr LONG kVolumeMin = DSBVOLUME_MIN;
constexpr LONG kVolumeMax = DSBVOLUME_MAX;
constexpr WORD kFormatPcm = WAVE_FORMAT_PCM;
}  // namespace real

#undef DS_OK
#undef DSERR_NOINTERFACE
#undef DSERR_GENERIC
#undef DSERR_UNSUPPORTED
#undef DSERR_OUTOFMEMORY
#undef DSERR_INVALIDPARAM
#undef DSERR_NOAGGREGATION
#undef DSERR_CONTROLUNAVAIL
#undef DSERR_INVALIDCALL
#undef DSERR_BADFORMAT
#undef DSERR_BUFFERLOST
#undef DSBCAPS_LOCSOFTWARE
#undef DSBCAPS_CTRLVOLUME
#undef DSBCAPS_CTRLPOSITIONNOTIFY
#undef DSBCAPS_GLOBALFOCUS
#undef DSBCAPS_GETCURRENTPOSITION2
#undef DSBPLAY_LOOPING
#undef DSBSTATUS_PLAYING
#undef DSBSTATUS_LOOPING
#undef DSBSTATUS_BUFFERLOST
#undef DSBVOLUME_MIN
#undef DSBVOLUME_MAX
#undef WAVE_FORMAT_PCM

#include <gtest/gtest.h>

#include "softds/softds.h"
#include "support/wave_image.h"

namespace {

namespace ds = sonaflux::ds;

#define SAME_FIELD(T, f) (offsetof(::T, f) == offsetof(ds::T, f))

// The descriptions hold a pointer: 20/36 bytes on i686, 24/40 bytes on x86_64.
#if defined(__i386__)
constexpr std::size_t kDesc1Bytes = 20, kDescBytes = 36;
#else
constexpr std::size_t kDesc1Bytes = 24, kDescBytes = 40;
#endif
static_assert(sizeof(::DSBUFFERDESC) == kDescBytes && sizeof(ds::DSBUFFERDESC) == kDescBytes,
              "DSBUFFERDESC");
static_assert(SAME_FIELD(DSBUFFERDESC, dwSize) && SAME_FIELD(DSBUFFERDESC, dwFlags) &&
                  SAME_FIELD(DSBUFFERDESC, dwBufferBytes) && SAME_FIELD(DSBUFFERDESC, dwReserved) &&
                  SAME_FIELD(DSBUFFERDESC, lpwfxFormat) &&
                  SAME_FIELD(DSBUFFERDESC, guid3DAlgorithm),
              "DSBUFFERDESC fields");
static_assert(sizeof(::DSBUFFERDESC1) == kDesc1Bytes && sizeof(ds::DSBUFFERDESC1) == kDesc1Bytes,
              "DSBUFFERDESC1");
static_assert(SAME_FIELD(DSBUFFERDESC1, dwSize) && SAME_FIELD(DSBUFFERDESC1, dwFlags) &&
                  SAME_FIELD(DSBUFFERDESC1, dwBufferBytes) &&
                  SAME_FIELD(DSBUFFERDESC1, dwReserved) && SAME_FIELD(DSBUFFERDESC1, lpwfxFormat),
              "DSBUFFERDESC1 fields");
static_assert(sizeof(::WAVEFORMATEX) == sizeof(ds::WAVEFORMATEX), "WAVEFORMATEX");
static_assert(SAME_FIELD(WAVEFORMATEX, wFormatTag) && SAME_FIELD(WAVEFORMATEX, nChannels) &&
                  SAME_FIELD(WAVEFORMATEX, nSamplesPerSec) &&
                  SAME_FIELD(WAVEFORMATEX, nAvgBytesPerSec) &&
                  SAME_FIELD(WAVEFORMATEX, nBlockAlign) &&
                  SAME_FIELD(WAVEFORMATEX, wBitsPerSample) && SAME_FIELD(WAVEFORMATEX, cbSize),
              "WAVEFORMATEX fields");
static_assert(sizeof(::DSBPOSITIONNOTIFY) == sizeof(ds::DSBPOSITIONNOTIFY) &&
                  SAME_FIELD(DSBPOSITIONNOTIFY, dwOffset) &&
                  SAME_FIELD(DSBPOSITIONNOTIFY, hEventNotify),
              "DSBPOSITIONNOTIFY");

static_assert(real::kOk == ds::DS_OK && real::kNoInterface == ds::DSERR_NOINTERFACE &&
                  real::kGeneric == ds::DSERR_GENERIC &&
                  real::kUnsupported == ds::DSERR_UNSUPPORTED &&
                  real::kOutOfMemory == ds::DSERR_OUTOFMEMORY &&
                  real::kInvalidParam == ds::DSERR_INVALIDPARAM &&
                  real::kNoAggregation == ds::DSERR_NOAGGREGATION &&
                  real::kControlUnavail == ds::DSERR_CONTROLUNAVAIL &&
                  real::kInvalidCall == ds::DSERR_INVALIDCALL &&
                  real::kBadFormat == ds::DSERR_BADFORMAT &&
                  real::kBufferLost == ds::DSERR_BUFFERLOST,
              "result codes");
static_assert(real::kLocSoftware == ds::DSBCAPS_LOCSOFTWARE &&
                  real::kCtrlVolume == ds::DSBCAPS_CTRLVOLUME &&
                  real::kCtrlPositionNotify == ds::DSBCAPS_CTRLPOSITIONNOTIFY &&
                  real::kGlobalFocus == ds::DSBCAPS_GLOBALFOCUS &&
                  real::kGetCurrentPosition2 == ds::DSBCAPS_GETCURRENTPOSITION2 &&
                  real::kPlayLooping == ds::DSBPLAY_LOOPING &&
                  real::kStatusPlaying == ds::DSBSTATUS_PLAYING &&
                  real::kStatusLooping == ds::DSBSTATUS_LOOPING &&
                  real::kStatusBufferLost == ds::DSBSTATUS_BUFFERLOST &&
                  real::kVolumeMin == ds::DSBVOLUME_MIN && real::kVolumeMax == ds::DSBVOLUME_MAX &&
                  real::kFormatPcm == ds::WAVE_FORMAT_PCM,
              "flags and limits");
// The limits under names of our own need no #undef: <dsound.h>'s macros are compared here.
static_assert(DSBSIZE_MIN == ds::kBufferBytesMin && DSBSIZE_MAX == ds::kBufferBytesMax &&
                  DSBFREQUENCY_MIN == ds::kFrequencyMin && DSBFREQUENCY_MAX == ds::kFrequencyMax &&
                  DSBPAN_LEFT == ds::kPanLeft && DSBPAN_RIGHT == ds::kPanRight,
              "DirectSound's limits");

TEST(DirectSoundAbi, IdentifiersMatch) {
    EXPECT_EQ(std::memcmp(&::IID_IUnknown, &ds::IID_IUnknown, 16), 0);
    EXPECT_EQ(std::memcmp(&::IID_IDirectSound, &ds::IID_IDirectSound, 16), 0);
    EXPECT_EQ(std::memcmp(&::IID_IDirectSoundBuffer, &ds::IID_IDirectSoundBuffer, 16), 0);
    EXPECT_EQ(std::memcmp(&::IID_IDirectSoundNotify, &ds::IID_IDirectSoundNotify, 16), 0);
    EXPECT_EQ(std::memcmp(&::DS3DALG_DEFAULT, &ds::DS3DALG_DEFAULT, 16), 0);
}

// Every slot the module calls, through the system's interface tables.
TEST(DirectSoundAbi, RealInterfaceTablesReachTheDeviceOperations) {
    softds::Device* device = softds::Device::Create();
    ASSERT_NE(device, nullptr);
    ::IDirectSound* dsound = device->HostInterface();

    WAVEFORMATEX format{real::kFormatPcm, 2, 44100, 176400, 4, 16, 0};
    DSBUFFERDESC desc{};
    desc.dwSize = sizeof desc;
    desc.dwFlags = real::kCtrlVolume | real::kCtrlPositionNotify | real::kGetCurrentPosition2 |
                   real::kLocSoftware | real::kGlobalFocus;
    desc.dwBufferBytes = 4000;
    desc.lpwfxFormat = &format;
    desc.guid3DAlgorithm = DS3DALG_DEFAULT;
    LPDIRECTSOUNDBUFFER buffer = nullptr;
    ASSERT_EQ(IDirectSound_CreateSoundBuffer(dsound, &desc, &buffer, nullptr), real::kOk);
    auto record = device->Buffer(0);
    EXPECT_EQ(record->Flags(), 0x18188u);
    EXPECT_EQ(record->DescSize(), kDescBytes);

    DSBUFFERDESC1 shortDesc{sizeof shortDesc, real::kCtrlVolume, 800, 0, &format};
    LPDIRECTSOUNDBUFFER second = nullptr;
    ASSERT_EQ(IDirectSound_CreateSoundBuffer(dsound, reinterpret_cast<LPCDSBUFFERDESC>(&shortDesc),
                                             &second, nullptr),
              real::kOk);
    EXPECT_EQ(device->Buffer(1)->DescSize(), kDesc1Bytes);
    EXPECT_EQ(IDirectSoundBuffer_Release(second), 0u);

    LPDIRECTSOUNDNOTIFY notify = nullptr;
    ASSERT_EQ(IDirectSoundBuffer_QueryInterface(buffer, IID_IDirectSoundNotify,
                                                reinterpret_cast<void**>(&notify)),
              real::kOk);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DSBPOSITIONNOTIFY positions[2] = {{1999, event}, {3999, event}};
    ASSERT_EQ(IDirectSoundNotify_SetNotificationPositions(notify, 2, positions), real::kOk);
    ASSERT_EQ(record->Notifications().size(), 2u);
    EXPECT_EQ(record->Notifications()[1].dwOffset, 3999u);

    void* p1 = nullptr;
    void* p2 = nullptr;
    DWORD n1 = 0, n2 = 0;
    ASSERT_EQ(IDirectSoundBuffer_Lock(buffer, 3000, 2000, &p1, &n1, &p2, &n2, 0), real::kOk);
    ASSERT_EQ(n1, 1000u);
    ASSERT_EQ(n2, 1000u);
    const auto data = sonaflux::test::PatternPcm(2000);
    std::memcpy(p1, data.data(), 1000);
    std::memcpy(p2, data.data() + 1000, 1000);
    ASSERT_EQ(IDirectSoundBuffer_Unlock(buffer, p1, n1, p2, n2), real::kOk);

    ASSERT_EQ(IDirectSoundBuffer_SetCurrentPosition(buffer, 3000), real::kOk);
    EXPECT_EQ(record->PlayCursor(), 3000u);
    ASSERT_EQ(IDirectSoundBuffer_Play(buffer, 0, 0, real::kPlayLooping), real::kOk);
    EXPECT_TRUE(record->Looping());
    DWORD status = 0;
    ASSERT_EQ(IDirectSoundBuffer_GetStatus(buffer, &status), real::kOk);
    EXPECT_EQ(status, real::kStatusPlaying | real::kStatusLooping);
    ASSERT_TRUE(device->Advance(500));
    EXPECT_EQ(record->Played(), data);
    DWORD play = 0, write = 0;
    ASSERT_EQ(IDirectSoundBuffer_GetCurrentPosition(buffer, &play, &write), real::kOk);
    EXPECT_EQ(play, 1000u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);  // 3999 was passed

    ASSERT_EQ(IDirectSoundBuffer_SetVolume(buffer, -600), real::kOk);
    EXPECT_EQ(record->Volume(), -600);
    LONG volume = 0;
    ASSERT_EQ(IDirectSoundBuffer_GetVolume(buffer, &volume), real::kOk);
    EXPECT_EQ(volume, -600);
    ASSERT_EQ(IDirectSoundBuffer_Stop(buffer), real::kOk);
    EXPECT_FALSE(record->Playing());

    // The slots the module leaves alone still answer from the right place.
    EXPECT_EQ(IDirectSoundBuffer_GetPan(buffer, &volume), real::kControlUnavail);
    EXPECT_EQ(IDirectSoundBuffer_SetFormat(buffer, &format), real::kInvalidCall);
    EXPECT_EQ(IDirectSoundBuffer_Initialize(buffer, dsound, &desc), real::kAlreadyInitialized);
    EXPECT_EQ(IDirectSoundBuffer_Restore(buffer), real::kOk);
    DSBCAPS caps{};
    caps.dwSize = sizeof caps;
    ASSERT_EQ(IDirectSoundBuffer_GetCaps(buffer, &caps), real::kOk);
    EXPECT_EQ(caps.dwBufferBytes, 4000u);
    WAVEFORMATEX got{};
    DWORD size = 0;
    ASSERT_EQ(IDirectSoundBuffer_GetFormat(buffer, &got, sizeof got, &size), real::kOk);
    EXPECT_EQ(got.nBlockAlign, 4u);
    DWORD speakers = 0;
    EXPECT_EQ(IDirectSound_GetSpeakerConfig(dsound, &speakers), real::kOk);
    EXPECT_EQ(IDirectSound_SetCooperativeLevel(dsound, nullptr, DSSCL_NORMAL), real::kOk);

    // One count for the buffer and its notify interface; the device's is its own.
    EXPECT_EQ(IDirectSoundBuffer_AddRef(buffer), 3u);
    EXPECT_EQ(IDirectSoundNotify_Release(notify), 2u);
    EXPECT_EQ(IDirectSoundBuffer_Release(buffer), 1u);
    EXPECT_EQ(IDirectSoundBuffer_Release(buffer), 0u);
    EXPECT_TRUE(record->Released());
    LPDIRECTSOUND again = nullptr;
    ASSERT_EQ(
        IDirectSound_QueryInterface(dsound, IID_IDirectSound, reinterpret_cast<void**>(&again)),
        real::kOk);
    EXPECT_EQ(again, dsound);
    EXPECT_EQ(IDirectSound_Release(again), 1u);
    EXPECT_EQ(IDirectSound_Release(dsound), 0u);
    CloseHandle(event);
}

}  // namespace
