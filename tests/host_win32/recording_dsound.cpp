#include "recording_dsound.h"

#include <cstring>

namespace hostwin {

namespace {

Call Make(Op op, int buffer, HRESULT result) {
    Call c;
    c.op = op;
    c.buffer = buffer;
    c.result = result;
    c.thread = GetCurrentThreadId();
    c.priority = GetThreadPriority(GetCurrentThread());
    return c;
}

bool Same(REFIID a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"  // see recording_dsound.h

class RecordingNotify final : public IDirectSoundNotify {
public:
    RecordingNotify(IDirectSoundNotify* real, int buffer, std::shared_ptr<CallLog> log)
        : m_Real(real), m_Buffer(buffer), m_Log(std::move(log)) {
        ++m_Log->live;
    }

    STDMETHOD_(HRESULT, QueryInterface)(REFIID riid, void** object) override {
        const HRESULT hr = m_Real->QueryInterface(riid, object);
        m_Log->Add(Make(Op::QueryInterface, m_Buffer, hr));
        return hr;
    }
    STDMETHOD_(ULONG, AddRef)() override {
        m_Real->AddRef();
        const ULONG refs = ++m_Refs;
        m_Log->Add(Make(Op::AddRef, m_Buffer, static_cast<HRESULT>(refs)));
        return refs;
    }
    STDMETHOD_(ULONG, Release)() override {
        m_Real->Release();
        const ULONG refs = --m_Refs;
        m_Log->Add(Make(Op::Release, m_Buffer, static_cast<HRESULT>(refs)));
        if (refs == 0) delete this;
        return refs;
    }
    STDMETHOD(SetNotificationPositions)(DWORD count, LPCDSBPOSITIONNOTIFY positions) override {
        m_Log->SetNotifications(m_Buffer, positions, count);
        const HRESULT hr = m_Real->SetNotificationPositions(count, positions);
        Call c = Make(Op::SetNotificationPositions, m_Buffer, hr);
        c.b = count;
        m_Log->Add(std::move(c));
        return hr;
    }

private:
    ~RecordingNotify() { --m_Log->live; }

    IDirectSoundNotify* m_Real;
    int m_Buffer;
    std::shared_ptr<CallLog> m_Log;
    std::atomic<ULONG> m_Refs{1};
};

class RecordingBuffer final : public IDirectSoundBuffer {
public:
    RecordingBuffer(IDirectSoundBuffer* real, int index, std::shared_ptr<CallLog> log)
        : m_Real(real), m_Index(index), m_Log(std::move(log)) {
        ++m_Log->live;
    }

    STDMETHOD_(HRESULT, QueryInterface)(REFIID riid, void** object) override {
        HRESULT hr;
        if (object != nullptr && (Same(riid, IID_IDirectSoundBuffer) || Same(riid, IID_IUnknown))) {
            AddRefQuiet();
            *object = static_cast<IDirectSoundBuffer*>(this);
            hr = DS_OK;
        } else {
            hr = m_Real->QueryInterface(riid, object);
            if (SUCCEEDED(hr) && Same(riid, IID_IDirectSoundNotify)) {
                *object = static_cast<IDirectSoundNotify*>(
                    new RecordingNotify(static_cast<IDirectSoundNotify*>(*object), m_Index, m_Log));
            } else if (SUCCEEDED(hr)) {
                // Any other interface would bypass the record: refuse to hand it out.
                static_cast<IUnknown*>(*object)->Release();
                *object = nullptr;
                hr = E_NOINTERFACE;
            }
        }
        m_Log->Add(Make(Op::QueryInterface, m_Index, hr));
        return hr;
    }
    STDMETHOD_(ULONG, AddRef)() override {
        const ULONG refs = AddRefQuiet();
        m_Log->Add(Make(Op::AddRef, m_Index, static_cast<HRESULT>(refs)));
        return refs;
    }
    STDMETHOD_(ULONG, Release)() override {
        m_Real->Release();
        const ULONG refs = --m_Refs;
        m_Log->Add(Make(Op::Release, m_Index, static_cast<HRESULT>(refs)));
        if (refs == 0) delete this;
        return refs;
    }
    STDMETHOD(GetCaps)(LPDSBCAPS caps) override { return Log(Op::GetCaps, m_Real->GetCaps(caps)); }
    STDMETHOD(GetCurrentPosition)(LPDWORD play, LPDWORD write) override {
        const HRESULT hr = m_Real->GetCurrentPosition(play, write);
        Call c = Make(Op::GetCurrentPosition, m_Index, hr);
        if (play) c.a = *play;
        m_Log->Add(std::move(c));
        return hr;
    }
    STDMETHOD(GetFormat)(LPWAVEFORMATEX format, DWORD size, LPDWORD written) override {
        return Log(Op::GetFormat, m_Real->GetFormat(format, size, written));
    }
    STDMETHOD(GetVolume)(LPLONG volume) override {
        return Log(Op::GetVolume, m_Real->GetVolume(volume));
    }
    STDMETHOD(GetPan)(LPLONG pan) override { return Log(Op::GetPan, m_Real->GetPan(pan)); }
    STDMETHOD(GetFrequency)(LPDWORD frequency) override {
        return Log(Op::GetFrequency, m_Real->GetFrequency(frequency));
    }
    STDMETHOD(GetStatus)(LPDWORD status) override {
        const HRESULT hr = m_Real->GetStatus(status);
        Call c = Make(Op::GetStatus, m_Index, hr);
        if (status) c.a = *status;
        m_Log->Add(std::move(c));
        return hr;
    }
    STDMETHOD(Initialize)(LPDIRECTSOUND device, LPCDSBUFFERDESC desc) override {
        return Log(Op::Initialize, m_Real->Initialize(device, desc));
    }
    STDMETHOD(Lock)
    (DWORD offset, DWORD bytes, LPVOID* first, LPDWORD firstBytes, LPVOID* second,
     LPDWORD secondBytes, DWORD flags) override {
        const HRESULT hr =
            m_Real->Lock(offset, bytes, first, firstBytes, second, secondBytes, flags);
        if (SUCCEEDED(hr) && first != nullptr && *first != nullptr) {
            std::lock_guard<std::mutex> guard(m_BaseLock);
            m_Base = static_cast<uint8_t*>(*first) - offset;
        }
        Call c = Make(Op::Lock, m_Index, hr);
        c.a = offset;
        c.b = bytes;
        m_Log->Add(std::move(c));
        return hr;
    }
    STDMETHOD(Play)(DWORD reserved, DWORD priority, DWORD flags) override {
        const HRESULT hr = m_Real->Play(reserved, priority, flags);
        Call c = Make(Op::Play, m_Index, hr);
        c.a = flags;
        c.b = reserved | priority;
        m_Log->Add(std::move(c));
        return hr;
    }
    STDMETHOD(SetCurrentPosition)(DWORD position) override {
        const HRESULT hr = m_Real->SetCurrentPosition(position);
        Call c = Make(Op::SetCurrentPosition, m_Index, hr);
        c.a = position;
        m_Log->Add(std::move(c));
        return hr;
    }
    STDMETHOD(SetFormat)(LPCWAVEFORMATEX format) override {
        return Log(Op::SetFormat, m_Real->SetFormat(format));
    }
    STDMETHOD(SetVolume)(LONG volume) override {
        const HRESULT hr = m_Real->SetVolume(volume);
        Call c = Make(Op::SetVolume, m_Index, hr);
        c.value = volume;
        m_Log->Add(std::move(c));
        return hr;
    }
    STDMETHOD(SetPan)(LONG pan) override { return Log(Op::SetPan, m_Real->SetPan(pan)); }
    STDMETHOD(SetFrequency)(DWORD frequency) override {
        return Log(Op::SetFrequency, m_Real->SetFrequency(frequency));
    }
    STDMETHOD(Stop)() override { return Log(Op::Stop, m_Real->Stop()); }
    STDMETHOD(Unlock)(LPVOID first, DWORD firstBytes, LPVOID second, DWORD secondBytes) override {
        Call c = Make(Op::Unlock, m_Index, 0);
        {
            std::lock_guard<std::mutex> guard(m_BaseLock);
            if (first != nullptr && m_Base != nullptr) {
                c.a = static_cast<DWORD>(static_cast<uint8_t*>(first) - m_Base);
            }
        }
        c.b = firstBytes + secondBytes;
        if (first)
            c.data.assign(static_cast<uint8_t*>(first), static_cast<uint8_t*>(first) + firstBytes);
        if (second) {
            c.data.insert(c.data.end(), static_cast<uint8_t*>(second),
                          static_cast<uint8_t*>(second) + secondBytes);
        }
        const HRESULT hr = m_Real->Unlock(first, firstBytes, second, secondBytes);
        c.result = hr;
        m_Log->Add(std::move(c));
        return hr;
    }
    STDMETHOD(Restore)() override { return Log(Op::Restore, m_Real->Restore()); }

private:
    ~RecordingBuffer() { --m_Log->live; }
    ULONG AddRefQuiet() {
        m_Real->AddRef();
        return ++m_Refs;
    }
    HRESULT Log(Op op, HRESULT result) {
        m_Log->Add(Make(op, m_Index, result));
        return result;
    }

    IDirectSoundBuffer* m_Real;
    int m_Index;
    std::shared_ptr<CallLog> m_Log;
    std::atomic<ULONG> m_Refs{1};
    std::mutex m_BaseLock;
    uint8_t* m_Base = nullptr;
};

#pragma GCC diagnostic pop

}  // namespace

// ---- CallLog ----

void CallLog::Add(Call call) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Calls.push_back(std::move(call));
}
std::vector<Call> CallLog::Calls() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Calls;
}
size_t CallLog::Size() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Calls.size();
}
void CallLog::Clear() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Calls.clear();
}
int CallLog::AddBuffer(const BufferDesc& desc) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Buffers.push_back(desc);
    return static_cast<int>(m_Buffers.size()) - 1;
}
void CallLog::SetNotifications(int buffer, const DSBPOSITIONNOTIFY* p, DWORD count) {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (buffer < 0 || buffer >= static_cast<int>(m_Buffers.size())) return;
    m_Buffers[buffer].notifications.assign(p, p + (p ? count : 0));
}
std::vector<BufferDesc> CallLog::Buffers() const {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Buffers;
}

// ---- RecordingDevice ----

RecordingDevice::RecordingDevice(IDirectSound* real, std::shared_ptr<CallLog> log)
    : m_Real(real), m_Log(std::move(log)) {
    m_Real->AddRef();
    ++m_Log->live;
}
RecordingDevice::~RecordingDevice() {
    m_Real->Release();
    --m_Log->live;
}

HRESULT RecordingDevice::Log(Op op, HRESULT result) {
    m_Log->Add(Make(op, -1, result));
    return result;
}

HRESULT RecordingDevice::QueryInterface(REFIID riid, void** object) {
    if (object != nullptr && (Same(riid, IID_IDirectSound) || Same(riid, IID_IUnknown))) {
        AddRef();
        *object = static_cast<IDirectSound*>(this);
        return Log(Op::QueryInterface, DS_OK);
    }
    if (object) *object = nullptr;
    return Log(Op::QueryInterface, E_NOINTERFACE);
}
ULONG RecordingDevice::AddRef() {
    return ++m_Refs;
}
ULONG RecordingDevice::Release() {
    const ULONG refs = --m_Refs;
    if (refs == 0) delete this;
    return refs;
}

HRESULT RecordingDevice::CreateSoundBuffer(LPCDSBUFFERDESC desc, LPLPDIRECTSOUNDBUFFER buffer,
                                           IUnknown* outer) {
    BufferDesc record;
    if (desc != nullptr) {
        // Only as many bytes as the description says it has: the 20-byte form ends early.
        record.dwSize = desc->dwSize;
        record.dwFlags = desc->dwFlags;
        record.dwBufferBytes = desc->dwBufferBytes;
        record.dwReserved = desc->dwReserved;
        if (desc->lpwfxFormat) record.format = *desc->lpwfxFormat;
        if (desc->dwSize >= sizeof(DSBUFFERDESC)) record.guid3DAlgorithm = desc->guid3DAlgorithm;
    }
    const int index = m_Log->AddBuffer(record);
    const HRESULT hr = m_Real->CreateSoundBuffer(desc, buffer, outer);
    if (SUCCEEDED(hr) && buffer != nullptr && *buffer != nullptr) {
        *buffer = new RecordingBuffer(*buffer, index, m_Log);
    }
    Call c = Make(Op::CreateSoundBuffer, index, hr);
    c.b = record.dwBufferBytes;
    m_Log->Add(std::move(c));
    return hr;
}

HRESULT RecordingDevice::GetCaps(LPDSCAPS caps) {
    return Log(Op::DeviceCall, m_Real->GetCaps(caps));
}
HRESULT RecordingDevice::DuplicateSoundBuffer(LPDIRECTSOUNDBUFFER,
                                              LPLPDIRECTSOUNDBUFFER duplicate) {
    // A duplicate of a wrapper would need the real original; the module never asks.
    if (duplicate) *duplicate = nullptr;
    return Log(Op::DeviceCall, DSERR_INVALIDCALL);
}
HRESULT RecordingDevice::SetCooperativeLevel(HWND window, DWORD level) {
    return Log(Op::DeviceCall, m_Real->SetCooperativeLevel(window, level));
}
HRESULT RecordingDevice::Compact() {
    return Log(Op::DeviceCall, m_Real->Compact());
}
HRESULT RecordingDevice::GetSpeakerConfig(LPDWORD config) {
    return Log(Op::DeviceCall, m_Real->GetSpeakerConfig(config));
}
HRESULT RecordingDevice::SetSpeakerConfig(DWORD config) {
    return Log(Op::DeviceCall, m_Real->SetSpeakerConfig(config));
}
HRESULT RecordingDevice::Initialize(LPCGUID guid) {
    return Log(Op::DeviceCall, m_Real->Initialize(guid));
}

}  // namespace hostwin
