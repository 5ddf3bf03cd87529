// The module's own declarations of what it uses of DirectSound, shared with softds.
//
// On Windows they are ABI-identical to <dsound.h> (IUnknown first, __stdcall on i686,
// the real slot order and struct layouts), so the module can be handed a real device.
// They live in sonaflux::ds so that a translation unit can include <dsound.h> as well.
// Only plain fixed-width types are used, so no system header is needed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sonaflux/guid.h"

#if defined(_WIN32) && defined(__i386__)
#define SFX_DSCALL __stdcall
#else
#define SFX_DSCALL
#endif

struct IDirectSound;  // the host-facing name of a device (sonaflux.h)

namespace sonaflux::ds {

using HRESULT = int32_t;

// Results. The names are those of <dsound.h>; a translation unit that includes both
// must include <dsound.h> first and #undef the macros it compares.
inline constexpr HRESULT DS_OK = 0;
inline constexpr HRESULT DSERR_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT DSERR_GENERIC = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT DSERR_UNSUPPORTED = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT DSERR_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT DSERR_INVALIDPARAM = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT DSERR_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
inline constexpr HRESULT DSERR_CONTROLUNAVAIL = static_cast<HRESULT>(0x8878001Eu);
inline constexpr HRESULT DSERR_INVALIDCALL = static_cast<HRESULT>(0x88780032u);
inline constexpr HRESULT DSERR_BADFORMAT = static_cast<HRESULT>(0x88780064u);
inline constexpr HRESULT DSERR_BUFFERLOST = static_cast<HRESULT>(0x88780096u);

inline bool Succeeded(HRESULT hr) {
    return hr >= 0;
}

// Buffer description flags
inline constexpr uint32_t DSBCAPS_LOCSOFTWARE = 0x00000008u;
inline constexpr uint32_t DSBCAPS_CTRLVOLUME = 0x00000080u;
inline constexpr uint32_t DSBCAPS_CTRLPOSITIONNOTIFY = 0x00000100u;
inline constexpr uint32_t DSBCAPS_GLOBALFOCUS = 0x00008000u;
inline constexpr uint32_t DSBCAPS_GETCURRENTPOSITION2 = 0x00010000u;

inline constexpr uint32_t DSBPLAY_LOOPING = 0x00000001u;
inline constexpr uint32_t DSBSTATUS_PLAYING = 0x00000001u;
inline constexpr uint32_t DSBSTATUS_BUFFERLOST = 0x00000002u;
inline constexpr uint32_t DSBSTATUS_LOOPING = 0x00000004u;

inline constexpr int32_t DSBVOLUME_MIN = -10000;
inline constexpr int32_t DSBVOLUME_MAX = 0;

// DirectSound's other limits, under names of our own (<dsound.h> has macros by the names
// in brackets): buffer sizes (DSBSIZE_MIN/MAX), the rates a buffer may have or be played
// at (DSBFREQUENCY_MIN/MAX), and the pan (DSBPAN_LEFT/RIGHT).
inline constexpr uint32_t kBufferBytesMin = 4;
inline constexpr uint32_t kBufferBytesMax = 0x0FFFFFFFu;
inline constexpr uint32_t kFrequencyMin = 100;
inline constexpr uint32_t kFrequencyMax = 200000;
inline constexpr int32_t kPanLeft = -10000;
inline constexpr int32_t kPanRight = 10000;

inline constexpr uint16_t WAVE_FORMAT_PCM = 1;

#pragma pack(push, 1)
struct WAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is packed");

// The description as DirectSound before version 7 knows it (20 bytes on i686).
struct DSBUFFERDESC1 {
    uint32_t dwSize;
    uint32_t dwFlags;
    uint32_t dwBufferBytes;
    uint32_t dwReserved;
    WAVEFORMATEX* lpwfxFormat;
};

// The full description (36 bytes on i686, 40 on x86_64).
struct DSBUFFERDESC {
    uint32_t dwSize;
    uint32_t dwFlags;
    uint32_t dwBufferBytes;
    uint32_t dwReserved;
    WAVEFORMATEX* lpwfxFormat;
    GUID guid3DAlgorithm;
};

#if defined(__i386__) || defined(_M_IX86)
static_assert(sizeof(DSBUFFERDESC1) == 20 && sizeof(DSBUFFERDESC) == 36, "i686 layouts");
#elif defined(__x86_64__) || defined(_M_X64)
static_assert(sizeof(DSBUFFERDESC1) == 24 && sizeof(DSBUFFERDESC) == 40, "x86_64 layouts");
#endif

struct DSBPOSITIONNOTIFY {
    uint32_t dwOffset;
    void* hEventNotify;
};

inline constexpr GUID DS3DALG_DEFAULT = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr GUID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID IID_IDirectSound = {
    0x279AFA83, 0x4981, 0x11CE, {0xA5, 0x21, 0x00, 0x20, 0xAF, 0x0B, 0xE5, 0x60}};
inline constexpr GUID IID_IDirectSoundBuffer = {
    0x279AFA85, 0x4981, 0x11CE, {0xA5, 0x21, 0x00, 0x20, 0xAF, 0x0B, 0xE5, 0x60}};
inline constexpr GUID IID_IDirectSoundNotify = {
    0xB0210783, 0x89CD, 0x11D0, {0xAF, 0x08, 0x00, 0xA0, 0xC9, 0x25, 0xCD, 0x16}};

struct IUnknown {
    virtual HRESULT SFX_DSCALL QueryInterface(const GUID& iid, void** object) = 0;
    virtual uint32_t SFX_DSCALL AddRef() = 0;
    virtual uint32_t SFX_DSCALL Release() = 0;

protected:
    ~IUnknown() = default;
};

struct IDirectSoundBuffer;

struct IDirectSound : IUnknown {
    virtual HRESULT SFX_DSCALL CreateSoundBuffer(const DSBUFFERDESC* desc,
                                                 IDirectSoundBuffer** buffer, IUnknown* outer) = 0;
    virtual HRESULT SFX_DSCALL GetCaps(void* caps) = 0;
    virtual HRESULT SFX_DSCALL DuplicateSoundBuffer(IDirectSoundBuffer* original,
                                                    IDirectSoundBuffer** duplicate) = 0;
    virtual HRESULT SFX_DSCALL SetCooperativeLevel(void* window, uint32_t level) = 0;
    virtual HRESULT SFX_DSCALL Compact() = 0;
    virtual HRESULT SFX_DSCALL GetSpeakerConfig(uint32_t* config) = 0;
    virtual HRESULT SFX_DSCALL SetSpeakerConfig(uint32_t config) = 0;
    virtual HRESULT SFX_DSCALL Initialize(const GUID* device) = 0;

protected:
    ~IDirectSound() = default;
};

struct IDirectSoundBuffer : IUnknown {
    virtual HRESULT SFX_DSCALL GetCaps(void* caps) = 0;
    virtual HRESULT SFX_DSCALL GetCurrentPosition(uint32_t* play, uint32_t* write) = 0;
    virtual HRESULT SFX_DSCALL GetFormat(WAVEFORMATEX* format, uint32_t size,
                                         uint32_t* written) = 0;
    virtual HRESULT SFX_DSCALL GetVolume(int32_t* volume) = 0;
    virtual HRESULT SFX_DSCALL GetPan(int32_t* pan) = 0;
    virtual HRESULT SFX_DSCALL GetFrequency(uint32_t* frequency) = 0;
    virtual HRESULT SFX_DSCALL GetStatus(uint32_t* status) = 0;
    virtual HRESULT SFX_DSCALL Initialize(IDirectSound* device, const DSBUFFERDESC* desc) = 0;
    virtual HRESULT SFX_DSCALL Lock(uint32_t offset, uint32_t bytes, void** first,
                                    uint32_t* firstBytes, void** second, uint32_t* secondBytes,
                                    uint32_t flags) = 0;
    virtual HRESULT SFX_DSCALL Play(uint32_t reserved, uint32_t priority, uint32_t flags) = 0;
    virtual HRESULT SFX_DSCALL SetCurrentPosition(uint32_t position) = 0;
    virtual HRESULT SFX_DSCALL SetFormat(const WAVEFORMATEX* format) = 0;
    virtual HRESULT SFX_DSCALL SetVolume(int32_t volume) = 0;
    virtual HRESULT SFX_DSCALL SetPan(int32_t pan) = 0;
    virtual HRESULT SFX_DSCALL SetFrequency(uint32_t frequency) = 0;
    virtual HRESULT SFX_DSCALL Stop() = 0;
    virtual HRESULT SFX_DSCALL Unlock(void* first, uint32_t firstBytes, void* second,
                                      uint32_t secondBytes) = 0;
    virtual HRESULT SFX_DSCALL Restore() = 0;

protected:
    ~IDirectSoundBuffer() = default;
};

struct IDirectSoundNotify : IUnknown {
    virtual HRESULT SFX_DSCALL SetNotificationPositions(uint32_t count,
                                                        const DSBPOSITIONNOTIFY* positions) = 0;

protected:
    ~IDirectSoundNotify() = default;
};

// The host's device as the module sees it.
inline IDirectSound* FromHost(::IDirectSound* device) {
    return reinterpret_cast<IDirectSound*>(device);
}
inline ::IDirectSound* ToHost(IDirectSound* device) {
    return reinterpret_cast<::IDirectSound*>(device);
}

}  // namespace sonaflux::ds
