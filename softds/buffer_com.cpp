// IDirectSoundBuffer and IDirectSoundNotify of one secondary buffer.
#include <cstring>

#include "softds/device_impl.h"

namespace softds::detail {

namespace {

constexpr ds::HRESULT kAlreadyInitialized = static_cast<ds::HRESULT>(0x88780082u);
constexpr uint32_t kCapsLocHardware = 0x4;  // DSBCAPS_LOCHARDWARE
constexpr uint32_t kCtrlFrequency = 0x20;   // DSBCAPS_CTRLFREQUENCY
constexpr uint32_t kCtrlPan = 0x40;         // DSBCAPS_CTRLPAN

struct BufferCaps {  // DSBCAPS
    uint32_t dwSize;
    uint32_t dwFlags;
    uint32_t dwBufferBytes;
    uint32_t dwUnlockTransferRate;
    uint32_t dwPlayCpuOverhead;
};

}  // namespace

BufferCom::BufferCom(DeviceImpl& device, std::shared_ptr<BufferState> state)
    : m_Device(device), m_State(std::move(state)) {
    m_Device.Retain();
}

template <typename Work, typename OnFault>
ds::HRESULT BufferCom::Call(Op op, Work&& work, uint32_t a, uint32_t b, int32_t value,
                            OnFault&& onFault) {
    const std::optional<ds::HRESULT> fault = m_Device.TakeFaultLocked(op);
    if (fault && *fault < 0) onFault();
    ds::HRESULT hr = (fault && *fault < 0) ? *fault : work();
    if (fault && *fault >= 0 && hr == ds::DS_OK) hr = *fault;
    m_State->Log(op, hr, m_Device.FramesLocked(), a, b, value);
    return hr;
}

ds::HRESULT BufferCom::QueryInterface(const GUID& iid, void** object) {
    if (object == nullptr) return ds::DSERR_INVALIDPARAM;
    *object = nullptr;
    std::lock_guard<std::mutex> guard(m_Device.Mutex());
    return Call(
        Op::QueryInterface,
        [&] {
            if (sonaflux::SameId(&iid, ds::IID_IUnknown) ||
                sonaflux::SameId(&iid, ds::IID_IDirectSoundBuffer)) {
                *object = static_cast<ds::IDirectSoundBuffer*>(this);
            } else if (sonaflux::SameId(&iid, ds::IID_IDirectSoundNotify) &&
                       (m_State->Flags() & ds::DSBCAPS_CTRLPOSITIONNOTIFY)) {
                *object = static_cast<ds::IDirectSoundNotify*>(this);
            } else {
                return ds::DSERR_NOINTERFACE;
            }
            ++m_Refs;
            return ds::DS_OK;
        },
        iid.Data1);
}

uint32_t BufferCom::AddRef() {
    std::lock_guard<std::mutex> guard(m_Device.Mutex());
    return ++m_Refs;
}

uint32_t BufferCom::Release() {
    uint32_t left;
    {
        std::lock_guard<std::mutex> guard(m_Device.Mutex());
        left = --m_Refs;
        m_State->Log(Op::Release, static_cast<ds::HRESULT>(left), m_Device.FramesLocked());
        if (left == 0) {
            m_State->MarkReleased();
            m_Device.ForgetBufferLocked(m_State.get());
        }
    }
    if (left == 0) {
        DeviceImpl& device = m_Device;
        delete this;
        device.Unretain();  // may end the device
    }
    return left;
}

ds::HRESULT BufferCom::GetCaps(void* caps) {
    auto* c = static_cast<BufferCaps*>(caps);
    if (c == nullptr || c->dwSize != sizeof(BufferCaps)) return ds::DSERR_INVALIDPARAM;
    const uint32_t flags = m_State->Flags();
    c->dwFlags = (flags & kCapsLocHardware) ? flags : (flags | ds::DSBCAPS_LOCSOFTWARE);
    c->dwBufferBytes = m_State->Bytes();
    c->dwUnlockTransferRate = 0;
    c->dwPlayCpuOverhead = 0;
    return ds::DS_OK;
}

ds::HRESULT BufferCom::GetCurrentPosition(uint32_t* play, uint32_t* write) {
    std::lock_guard<std::mutex> guard(m_Device.Mutex());
    return Call(Op::GetCurrentPosition, [&] {
        if (m_State->LostLocked()) return ds::DSERR_BUFFERLOST;
        // Nothing is mixed ahead of the play cursor, so the write cursor is the same.
        const uint32_t cursor = m_State->CursorBytes();
        if (play) *play = cursor;
        if (write) *write = cursor;
        return ds::DS_OK;
    });
}

ds::HRESULT BufferCom::GetFormat(ds::WAVEFORMATEX* format, uint32_t size, uint32_t* written) {
    if (format == nullptr && written == nullptr) return ds::DSERR_INVALIDPARAM;
    ds::WAVEFORMATEX f = m_State->Format();
    f.cbSize = 0;
    if (format) {
        if (size < sizeof f) return ds::DSERR_INVALIDPARAM;
        std::memcpy(format, &f, sizeof f);
    }
    if (written) *written = sizeof f;
    return ds::DS_OK;
}

ds::HRESULT BufferCom::GetVolume(int32_t* volume) {
    if ((m_State->Flags() & ds::DSBCAPS_CTRLVOLUME) == 0) return ds::DSERR_CONTROLUNAVAIL;
    if (volume == nullptr) return ds::DSERR_INVALIDPARAM;
    std::lock_guard<std::mutex> guard(m_Device.Mutex());
    *volume = m_State->VolumeLocked();
    return ds::DS_OK;
}

ds::HRESULT BufferCom::GetPan(int32_t* pan) {
    if ((m_State->Flags() & kCtrlPan) == 0) return ds::DSERR_CONTROLUNAVAIL;
    if (pan == nullptr) return ds::DSERR_INVALIDPARAM;
    std::lock_guard<std::mutex> guard(m_Device.Mutex());
    *pan = m_State->PanLocked();
    return ds::DS_OK;
}

ds::HRESULT BufferCom::GetFrequency(uint32_t* frequency) {
    if ((m_State->Flags() & kCtrlFrequency) == 0) return ds::DSERR_CONTROLUNAVAIL;
    if (frequency == nullptr) return ds::DSERR_INVALIDPARAM;
    std::lock_guard<std::mutex> guard(m_Device.Mutex());
    *frequency = m_State->FrequencyLocked();
    return ds::DS_OK;
}

ds::HRESULT BufferCom::GetStatus(uint32_t* status) {
    if (status == nullptr) return ds::DSERR_INVALIDPARAM;
    std::lock_guard<std::mutex> guard(m_Device.Mutex());
    return Call(Op::GetStatus, [&] {
        *status = m_State->StatusLocked();
        return ds::DS_OK;
    });
}

ds::HRESULT BufferCom::Initialize(ds::IDirectSound*, const ds::DSBUFFERDESC*) {
    return kAlreadyInitialized;
}

ds::HRESULT BufferCom::Lock(uint32_t offset, uint32_t bytes, void** first, uint32_t* firstBytes,
                            void** second, uint32_t* secondBytes, uint32_t flags) {
    std::lock_guard<std::mutex> guard(m_Device.Mutex());
    m_State->Touch();
    return Call(
        Op::Lock,
        [&] {
            if (m_State->LostLocked()) return ds::DSERR_BUFFERLOST;
            return m_State->DoLock(offset, bytes, first, firstBytes, second, secondBytes, flags);
        },
        offset, bytes);
}

ds::HRESULT BufferCom::Play(uint32_t reserved, uint32_t /*priority*/, uint32_t flags) {
    std::lock_guard<std::mutex> guard(m_Device.Mutex());
    m_State->Touch();
    return Call(
        Op::Play,
        [&] {
            if (reserved != 0) return ds::DSERR_INVALIDPARAM;
            if (m_State->LostLocked()) return ds::DSERR_BUFFERLOST;
            m_State->DoPlay((flags & ds::DSBPLAY_LOOPING) != 0);
            return ds::DS_OK;
        },
        flags);
}

ds::HRESULT BufferCom::SetCurrentPosition(uint32_t position) {
    std::lock_guard<std::mutex> guard(m_Device.Mutex());
    m_State->Touch();
    return Call(
        Op::SetCurrentPosition,
        [&] {
            return m_State->LostLocked() ? ds::DSERR_BUFFERLOST : m_State->DoSetPosition(position);
        },
        position);
}

ds::HRESULT BufferCom::SetFormat(const ds::WAVEFORMATEX*) {
    return ds::DSERR_INVALIDCALL;  // only a primary buffer's format can be set
}

ds::HRESULT BufferCom::SetVolume(int32_t volume) {
    std::lock_guard<std::mutex> guard(m_Device.Mutex());
    return Call(
        Op::SetVolume, [&] { return m_State->DoSetVolume(volume); }, 0, 0, volume);
}

ds::HRESULT BufferCom::SetPan(int32_t pan) {
    std::lock_guard<std::mutex> guard(m_Device.Mutex());
    return m_State->DoSetPan(pan);
}

ds::HRESULT BufferCom::SetFrequency(uint32_t frequency) {
    std::lock_guard<std::mutex> guard(m_Device.Mutex());
    return m_State->DoSetFrequency(frequency);
}

ds::HRESULT BufferCom::Stop() {
    std::vector<Signal> signals;
    ds::HRESULT hr;
    {
        std::lock_guard<std::mutex> guard(m_Device.Mutex());
        m_State->Touch();
        hr = Call(Op::Stop, [&] {
            m_State->DoStop(signals);
            return ds::DS_OK;
        });
    }
    if (!signals.empty()) m_Device.SignalOutsideClock(std::move(signals));
    return hr;
}

ds::HRESULT BufferCom::Unlock(void* first, uint32_t firstBytes, void* second,
                              uint32_t secondBytes) {
    std::lock_guard<std::mutex> guard(m_Device.Mutex());
    m_State->Touch();
    return Call(
        Op::Unlock,
        [&] {
            if (m_State->LostLocked()) return ds::DSERR_BUFFERLOST;
            return m_State->DoUnlock(first, firstBytes, second, secondBytes);
        },
        firstBytes, secondBytes, 0,
        // An injected failure still ends the lock, without publishing its bytes, so no
        // later call waits for it.
        [&] { m_State->AbandonLock(first); });
}

ds::HRESULT BufferCom::Restore() {
    std::lock_guard<std::mutex> guard(m_Device.Mutex());
    m_State->Touch();
    return Call(Op::Restore, [&] {
        m_State->RestoreLocked();
        return ds::DS_OK;
    });
}

ds::HRESULT BufferCom::SetNotificationPositions(uint32_t count,
                                                const ds::DSBPOSITIONNOTIFY* positions) {
    std::lock_guard<std::mutex> guard(m_Device.Mutex());
    m_State->Touch();
    return Call(
        Op::SetNotificationPositions,
        [&] {
            if (m_State->PlayingLocked()) return ds::DSERR_INVALIDCALL;
            const ds::HRESULT hr = m_State->DoSetNotifications(count, positions);
            if (hr == ds::DS_OK) m_Device.DropUnsettledLocked(m_State.get());
            return hr;
        },
        count);
}

}  // namespace softds::detail
