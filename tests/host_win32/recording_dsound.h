// A recording wrapper around a real DirectSound device, for the Windows host test.
//
// RecordingDevice implements IDirectSound (MinGW's <dsound.h>) over the system device and
// hands out RecordingBuffer and RecordingNotify objects over the real buffers. Every call
// is forwarded unchanged and recorded with its arguments, its result, the calling thread
// and that thread's priority; Unlock also records the bytes written. Records are kept in
// one CallLog shared by all wrappers, and stay readable after the wrappers are gone.
#pragma once

#include <windows.h>
#include <dsound.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace hostwin {

enum class Op {
    CreateSoundBuffer,
    QueryInterface,
    AddRef,
    Release,
    GetCaps,
    GetCurrentPosition,
    GetFormat,
    GetVolume,
    GetPan,
    GetFrequency,
    GetStatus,
    Initialize,
    Lock,
    Unlock,
    Play,
    Stop,
    SetCurrentPosition,
    SetFormat,
    SetVolume,
    SetPan,
    SetFrequency,
    Restore,
    SetNotificationPositions,
    DeviceCall,  // any IDirectSound operation other than CreateSoundBuffer
};

struct Call {
    Op op;
    int buffer = -1;  // index of the buffer the call was made on (-1: the device)
    DWORD a = 0;      // Lock/Unlock: offset; Play: flags; SetCurrentPosition: offset;
                      // GetStatus: the status; GetCurrentPosition: the play cursor
    DWORD b = 0;      // Lock/Unlock: bytes; SetNotificationPositions: count
    LONG value = 0;   // SetVolume: hundredths of a decibel
    HRESULT result = 0;
    DWORD thread = 0;
    int priority = 0;           // GetThreadPriority of the calling thread
    std::vector<uint8_t> data;  // Unlock: the bytes of both regions, in order
};

// What the module asked for when it created a buffer.
struct BufferDesc {
    DWORD dwSize = 0;
    DWORD dwFlags = 0;
    DWORD dwBufferBytes = 0;
    DWORD dwReserved = 0;
    WAVEFORMATEX format = {};
    GUID guid3DAlgorithm = {};
    std::vector<DSBPOSITIONNOTIFY> notifications;
};

class CallLog {
public:
    void Add(Call call);
    std::vector<Call> Calls() const;
    size_t Size() const;
    void Clear();  // the calls; buffer descriptions stay
    int AddBuffer(const BufferDesc& desc);
    void SetNotifications(int buffer, const DSBPOSITIONNOTIFY* p, DWORD count);
    std::vector<BufferDesc> Buffers() const;
    std::atomic<int> live{0};  // wrappers not yet destroyed

private:
    mutable std::mutex m_Lock;
    std::vector<Call> m_Calls;
    std::vector<BufferDesc> m_Buffers;
};

// COM objects are destroyed through Release, never through a pointer to their interface,
// and <dsound.h> declares no destructors: the warning about them does not apply here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

class RecordingDevice final : public IDirectSound {
public:
    RecordingDevice(IDirectSound* real, std::shared_ptr<CallLog> log);

    STDMETHOD_(HRESULT, QueryInterface)(REFIID riid, void** object) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;
    STDMETHOD(CreateSoundBuffer)
    (LPCDSBUFFERDESC desc, LPLPDIRECTSOUNDBUFFER buffer, IUnknown* outer) override;
    STDMETHOD(GetCaps)(LPDSCAPS caps) override;
    STDMETHOD(DuplicateSoundBuffer)
    (LPDIRECTSOUNDBUFFER original, LPLPDIRECTSOUNDBUFFER duplicate) override;
    STDMETHOD(SetCooperativeLevel)(HWND window, DWORD level) override;
    STDMETHOD(Compact)() override;
    STDMETHOD(GetSpeakerConfig)(LPDWORD config) override;
    STDMETHOD(SetSpeakerConfig)(DWORD config) override;
    STDMETHOD(Initialize)(LPCGUID guid) override;

private:
    ~RecordingDevice();
    HRESULT Log(Op op, HRESULT result);

    IDirectSound* m_Real;
    std::shared_ptr<CallLog> m_Log;
    std::atomic<ULONG> m_Refs{1};
};

#pragma GCC diagnostic pop

}  // namespace hostwin
