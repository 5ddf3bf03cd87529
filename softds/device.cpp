// The device: buffer creation, the two clocks, the mix and the sink.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "platform/win32.h"
#include "softds/device_impl.h"

namespace softds {

Device* Device::Create(const DeviceOptions& options) {
    return detail::DeviceImpl::Make(options);
}

namespace detail {

namespace {

constexpr ds::HRESULT kAlreadyInitialized = static_cast<ds::HRESULT>(0x88780082u);
constexpr uint32_t kCapsPrimaryBuffer = 0x1;  // DSBCAPS_PRIMARYBUFFER
constexpr uint32_t kCapsLocHardware = 0x4;    // DSBCAPS_LOCHARDWARE
constexpr uint32_t kSpeakerStereo = 4;        // DSSPEAKER_STEREO
constexpr uint32_t kBlockFrames = 4096;       // the longest span mixed at once

struct DeviceCaps {  // DSCAPS: 24 DWORDs
    uint32_t dwSize;
    uint32_t dwFlags;
    uint32_t dwMinSecondarySampleRate;
    uint32_t dwMaxSecondarySampleRate;
    uint32_t rest[20];
};
static_assert(sizeof(DeviceCaps) == 96, "DSCAPS layout");

bool ValidPcm(const ds::WAVEFORMATEX& f) {
    if (f.wFormatTag != ds::WAVE_FORMAT_PCM) return false;
    if (f.nChannels != 1 && f.nChannels != 2) return false;
    if (f.wBitsPerSample != 8 && f.wBitsPerSample != 16) return false;
    if (f.nSamplesPerSec < ds::kFrequencyMin || f.nSamplesPerSec > ds::kFrequencyMax) return false;
    if (f.nBlockAlign != f.nChannels * f.wBitsPerSample / 8) return false;
    return f.nAvgBytesPerSec == f.nSamplesPerSec * f.nBlockAlign;
}

}  // namespace

// ---- IDirectSound ----

ds::HRESULT DeviceCom::QueryInterface(const GUID& iid, void** object) {
    if (object == nullptr) return ds::DSERR_INVALIDPARAM;
    if (sonaflux::SameId(&iid, ds::IID_IUnknown) || sonaflux::SameId(&iid, ds::IID_IDirectSound)) {
        *object = static_cast<ds::IDirectSound*>(this);
        m_Device.AddRef();
        return ds::DS_OK;
    }
    *object = nullptr;
    return ds::DSERR_NOINTERFACE;
}

uint32_t DeviceCom::AddRef() {
    return m_Device.AddRef();
}
uint32_t DeviceCom::Release() {
    return m_Device.Release();
}

ds::HRESULT DeviceCom::CreateSoundBuffer(const ds::DSBUFFERDESC* desc,
                                         ds::IDirectSoundBuffer** buffer, ds::IUnknown* outer) {
    return m_Device.CreateSoundBuffer(desc, buffer, outer);
}

ds::HRESULT DeviceCom::GetCaps(void* caps) {
    auto* c = static_cast<DeviceCaps*>(caps);
    if (c == nullptr || c->dwSize != sizeof(DeviceCaps)) return ds::DSERR_INVALIDPARAM;
    std::memset(reinterpret_cast<uint8_t*>(c) + 4, 0, sizeof(DeviceCaps) - 4);
    // Emulated: 8/16-bit mono/stereo at any rate, mixed in software.
    c->dwFlags = 0x1 | 0x2 | 0x4 | 0x8 | 0x10 | 0x20 | 0x100 | 0x200 | 0x400 | 0x800;
    c->dwMinSecondarySampleRate = ds::kFrequencyMin;
    c->dwMaxSecondarySampleRate = ds::kFrequencyMax;
    return ds::DS_OK;
}

ds::HRESULT DeviceCom::DuplicateSoundBuffer(ds::IDirectSoundBuffer*,
                                            ds::IDirectSoundBuffer** duplicate) {
    if (duplicate) *duplicate = nullptr;
    return ds::DSERR_UNSUPPORTED;
}

ds::HRESULT DeviceCom::SetCooperativeLevel(void*, uint32_t) {
    return ds::DS_OK;
}
ds::HRESULT DeviceCom::Compact() {
    return ds::DS_OK;
}

ds::HRESULT DeviceCom::GetSpeakerConfig(uint32_t* config) {
    if (config == nullptr) return ds::DSERR_INVALIDPARAM;
    *config = kSpeakerStereo;
    return ds::DS_OK;
}

ds::HRESULT DeviceCom::SetSpeakerConfig(uint32_t) {
    return ds::DS_OK;
}
ds::HRESULT DeviceCom::Initialize(const GUID*) {
    return kAlreadyInitialized;
}

// ---- Device ----

DeviceImpl* DeviceImpl::Make(const DeviceOptions& options) {
    if (options.outputRate < 1000 || options.outputRate > 384000) return nullptr;
    if (options.clock == ClockKind::RealTime && options.periodFrames == 0) return nullptr;
    const bool realTime = options.clock == ClockKind::RealTime;
    std::unique_ptr<Sink> sink;
    switch (options.sink) {
        case SinkKind::None:
            break;
        case SinkKind::WavFile:
            sink = MakeWavSink(options.wavPath, options.outputRate);
            if (!sink) return nullptr;
            break;
        case SinkKind::Sdl:
            sink = MakeSdlSink(options.outputRate, options.periodFrames, realTime);
            if (!sink) return nullptr;
            break;
    }
    auto* device = new DeviceImpl(options, std::move(sink));
    if (realTime) {
        if (device->m_Sink && device->m_Sink->Pulls()) {
            device->m_Sink->Start(
                [device](int16_t* out, size_t frames) { device->Pull(out, frames); });
        } else {
            device->m_ClockThread = std::thread(&DeviceImpl::ClockMain, device);
        }
    }
    return device;
}

DeviceImpl::DeviceImpl(const DeviceOptions& options, std::unique_ptr<Sink> sink)
    : m_Options(options),
      m_RecordPlayed(options.recordPlayed.value_or(options.clock == ClockKind::Manual)),
      m_RecordCalls(options.recordCalls.value_or(options.clock == ClockKind::Manual)),
      m_RampFrames(options.volumeRampFrames.value_or(
          options.clock == ClockKind::Manual ? 0 : options.outputRate / 200)),
      m_Sink(std::move(sink)) {}

DeviceImpl::~DeviceImpl() {
    StopClock();
}

uint32_t DeviceImpl::AddRef() {
    std::lock_guard<std::mutex> guard(*m_Lock);
    return ++m_Refs;
}

uint32_t DeviceImpl::Release() {
    uint32_t left;
    {
        std::lock_guard<std::mutex> guard(*m_Lock);
        if (m_Refs == 0) return 0;
        left = --m_Refs;
        if (left == 0) m_Closed = true;
    }
    if (left == 0) {
        // The clock ends before the sink closes; buffers still held keep the memory alive.
        StopClock();
        if (m_Sink && m_Sink->Pulls()) {
            // Stopped: its callback, the only renderer, runs no more. Closing waits on the
            // audio thread's own lock, which the callback holds while it takes the render
            // lock, so the render lock is not held here.
            m_Sink->Close();
        } else {
            std::lock_guard<std::mutex> render(m_RenderLock);  // a push may be under way
            if (m_Sink) m_Sink->Close();
        }
        {
            std::lock_guard<std::mutex> guard(*m_Lock);
            m_Unsettled.clear();
        }
        Unretain();
    }
    return left;
}

void DeviceImpl::Unretain() {
    if (m_Keep.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

ds::HRESULT DeviceImpl::CreateSoundBuffer(const ds::DSBUFFERDESC* desc,
                                          ds::IDirectSoundBuffer** buffer, ds::IUnknown* outer) {
    if (buffer == nullptr) return ds::DSERR_INVALIDPARAM;
    *buffer = nullptr;
    if (desc == nullptr) return ds::DSERR_INVALIDPARAM;
    if (outer != nullptr) return ds::DSERR_NOAGGREGATION;

    std::lock_guard<std::mutex> guard(*m_Lock);
    const std::optional<ds::HRESULT> fault = TakeFaultLocked(Op::CreateSoundBuffer);
    if (fault && *fault < 0) return *fault;

    // Only dwSize of the short form may be read before the size is known.
    const uint32_t size = desc->dwSize;
    if (size != sizeof(ds::DSBUFFERDESC1) && size != sizeof(ds::DSBUFFERDESC)) {
        return ds::DSERR_INVALIDPARAM;
    }
    const uint32_t flags = desc->dwFlags;
    if (flags & kCapsPrimaryBuffer) return ds::DSERR_UNSUPPORTED;  // secondary buffers only
    if ((flags & kCapsLocHardware) && (flags & ds::DSBCAPS_LOCSOFTWARE)) {
        return ds::DSERR_INVALIDPARAM;
    }
    if (desc->dwBufferBytes < ds::kBufferBytesMin || desc->dwBufferBytes > ds::kBufferBytesMax) {
        return ds::DSERR_INVALIDPARAM;
    }
    if (desc->lpwfxFormat == nullptr) return ds::DSERR_INVALIDPARAM;
    ds::WAVEFORMATEX format;
    std::memcpy(&format, desc->lpwfxFormat, sizeof format);
    if (!ValidPcm(format)) return ds::DSERR_BADFORMAT;
    GUID algorithm{};
    if (size == sizeof(ds::DSBUFFERDESC)) algorithm = desc->guid3DAlgorithm;

    auto state =
        std::make_shared<BufferState>(m_Lock, size, flags, desc->dwBufferBytes, format, algorithm,
                                      m_Options.outputRate, m_RecordPlayed, m_RecordCalls);
    const ds::HRESULT hr = fault ? *fault : ds::DS_OK;
    state->Log(Op::CreateSoundBuffer, hr, m_Frames, desc->dwBufferBytes, flags);
    m_Buffers.push_back(state);
    m_Live.push_back(state.get());
    *buffer = new BufferCom(*this, std::move(state));
    return hr;
}

std::optional<ds::HRESULT> DeviceImpl::TakeFaultLocked(Op op) {
    auto it = m_Faults.find(op);
    if (it == m_Faults.end() || it->second.empty()) return std::nullopt;
    const ds::HRESULT hr = it->second.front();
    it->second.pop_front();
    return hr;
}

void DeviceImpl::FailNext(Op op, ds::HRESULT result) {
    std::lock_guard<std::mutex> guard(*m_Lock);
    m_Faults[op].push_back(result);
}

bool DeviceImpl::LoseBuffer(size_t index) {
    std::lock_guard<std::mutex> guard(*m_Lock);
    return index < m_Buffers.size() && m_Buffers[index]->LoseLocked();
}

void DeviceImpl::ForgetBufferLocked(BufferState* state) {
    m_Live.erase(std::remove(m_Live.begin(), m_Live.end(), state), m_Live.end());
    DropUnsettledLocked(state);
}

void DeviceImpl::DropUnsettledLocked(BufferState* state) {
    m_Unsettled.erase(std::remove_if(m_Unsettled.begin(), m_Unsettled.end(),
                                     [&](const Signal& s) { return s.buffer == state; }),
                      m_Unsettled.end());
}

uint64_t DeviceImpl::Frames() const {
    std::lock_guard<std::mutex> guard(*m_Lock);
    return m_Frames;
}

uint64_t DeviceImpl::MixedFrames() const {
    std::lock_guard<std::mutex> guard(*m_Lock);
    return m_Mixed;
}

size_t DeviceImpl::HeldBytes() const {
    std::lock_guard<std::mutex> render(m_RenderLock);
    return m_Mixer.HeldBytes() + m_Pieces.capacity() * sizeof(MixPiece) + m_Arena.capacity() +
           m_Block.capacity() * sizeof(int16_t) + m_PullSignals.capacity() * sizeof(Signal);
}

size_t DeviceImpl::BufferCount() const {
    std::lock_guard<std::mutex> guard(*m_Lock);
    return m_Buffers.size();
}

std::shared_ptr<BufferRecord> DeviceImpl::Buffer(size_t index) const {
    std::lock_guard<std::mutex> guard(*m_Lock);
    return index < m_Buffers.size() ? m_Buffers[index] : nullptr;
}

// ---- Playback ----

uint32_t DeviceImpl::RenderSpan(uint32_t frames, bool stopAtSignal, int16_t* out,
                                std::vector<Signal>& signals) {
    m_Pieces.clear();
    m_Arena.clear();
    uint32_t span = std::min(frames, kBlockFrames);
    {
        std::lock_guard<std::mutex> guard(*m_Lock);
        if (m_Closed) return 0;
        if (stopAtSignal) {
            for (const BufferState* b : m_Live) span = b->FramesToEvent(span);
        }
        for (BufferState* b : m_Live) b->Run(span, m_RampFrames, m_Pieces, m_Arena, signals);
        m_Frames += span;
        m_Mixed += span;
    }
    if (out == nullptr) {
        m_Block.resize(2 * size_t{span});
        out = m_Block.data();
    }
    m_Mixer.Mix(m_Pieces, m_Arena, span, out);
    if (out == m_Block.data() && m_Sink) m_Sink->Write(out, span);
    return span;
}

void DeviceImpl::Pull(int16_t* out, size_t frames) {
    {
        std::lock_guard<std::mutex> render(m_RenderLock);
        m_PullSignals.clear();
        while (frames > 0) {
            const uint32_t want = static_cast<uint32_t>(std::min<size_t>(frames, kBlockFrames));
            const uint32_t done = RenderSpan(want, false, out, m_PullSignals);
            if (done == 0) {  // closed: silence until the sink stops
                std::fill_n(out, 2 * frames, int16_t{0});
                break;
            }
            out += 2 * size_t{done};
            frames -= done;
        }
    }
    // The audio callback is the only puller: the list is not touched until it runs again.
    if (!m_PullSignals.empty()) SignalOutsideClock(m_PullSignals);
}

void DeviceImpl::SetEvents(const std::vector<Signal>& signals) {
    for (const Signal& s : signals) SetEvent(static_cast<HANDLE>(s.event));
}

bool DeviceImpl::Settle(const std::vector<Signal>& signals) {
    const SettleTiming timing{m_Options.settleTimeoutMs, m_Options.settleGraceMs,
                              m_Options.settleQuietMs};
    return WaitHandled(signals, *this, timing);
}

bool DeviceImpl::Busy(const std::vector<BufferState*>& buffers, SteadyClock::time_point* last) {
    std::lock_guard<std::mutex> guard(*m_Lock);
    const std::thread::id self = std::this_thread::get_id();
    bool busy = false;
    *last = SteadyClock::time_point{};
    for (const BufferState* b : buffers) {
        busy = busy || b->RegionHeldByOther(self);
        *last = std::max(*last, b->LastActivity());
    }
    return busy;
}

void DeviceImpl::SignalOutsideClock(const std::vector<Signal>& signals) {
    SetEvents(signals);
    std::lock_guard<std::mutex> guard(*m_Lock);
    if (m_Closed) return;
    for (const Signal& s : signals) {
        const bool known = std::any_of(
            m_Unsettled.begin(), m_Unsettled.end(),
            [&](const Signal& u) { return u.event == s.event && u.buffer == s.buffer; });
        if (!known) m_Unsettled.push_back(s);
    }
}

bool DeviceImpl::Advance(uint32_t frames) {
    if (m_Options.clock != ClockKind::Manual) return false;
    std::lock_guard<std::mutex> one(m_AdvanceMutex);
    std::vector<Signal> signals;
    std::vector<Signal> pending;  // overlapWorkers: set, not yet waited for
    while (frames > 0) {
        signals.clear();
        {
            std::lock_guard<std::mutex> render(m_RenderLock);
            const uint32_t done = RenderSpan(frames, true, nullptr, signals);
            if (done == 0) return false;
            frames -= done;
        }
        if (signals.empty()) continue;
        if (!m_Options.overlapWorkers) {
            SetEvents(signals);
            // Playback goes no further than a step the workers did not keep up with.
            if (!Settle(signals)) return false;
            continue;
        }
        // An event set again before a worker took it would be one signal, not two.
        const bool again = std::any_of(signals.begin(), signals.end(), [&](const Signal& s) {
            return std::any_of(pending.begin(), pending.end(),
                               [&](const Signal& p) { return p.event == s.event; });
        });
        if (again && !SettlePending(pending)) return false;
        SetEvents(signals);
        pending.insert(pending.end(), signals.begin(), signals.end());
        if (!NextBytesWritten(pending) && !SettlePending(pending)) return false;
    }
    return SettlePending(pending);
}

bool DeviceImpl::SettlePending(std::vector<Signal>& pending) {
    if (pending.empty()) return true;
    const bool settled = Settle(pending);
    pending.clear();
    return settled;
}

bool DeviceImpl::NextBytesWritten(const std::vector<Signal>& pending) const {
    std::lock_guard<std::mutex> guard(*m_Lock);
    return std::all_of(pending.begin(), pending.end(), [](const Signal& s) {
        return !s.buffer->PlayingLocked() || s.buffer->CursorWritten();
    });
}

bool DeviceImpl::WaitIdle() {
    std::lock_guard<std::mutex> one(m_AdvanceMutex);
    std::vector<Signal> signals;
    {
        std::lock_guard<std::mutex> guard(*m_Lock);
        signals.swap(m_Unsettled);
    }
    return signals.empty() || Settle(signals);
}

// ---- Real-time clock ----

void DeviceImpl::ClockMain() {
    using std::chrono::nanoseconds;
    const uint64_t period = m_Options.periodFrames;
    const uint64_t rate = m_Options.outputRate;
    const auto start = SteadyClock::now();
    std::vector<Signal> signals;
    for (uint64_t ticks = 1;; ++ticks) {
        const uint64_t frames = ticks * period;  // split: no overflow for years
        const auto due = start + std::chrono::seconds(frames / rate) +
                         nanoseconds(frames % rate * 1000000000ull / rate);
        // A plain sleep wakes for less than a timed wait on a condition variable; slices
        // keep a stop prompt even with long periods.
        for (auto now = SteadyClock::now(); now < due; now = SteadyClock::now()) {
            if (m_ClockStop.load(std::memory_order_acquire)) return;
            std::this_thread::sleep_until(std::min(due, now + std::chrono::milliseconds(20)));
        }
        if (m_ClockStop.load(std::memory_order_acquire)) return;
        signals.clear();
        {
            std::lock_guard<std::mutex> render(m_RenderLock);
            for (uint64_t left = period; left > 0;) {
                const uint32_t done =
                    RenderSpan(static_cast<uint32_t>(std::min<uint64_t>(left, kBlockFrames)), false,
                               nullptr, signals);
                if (done == 0) return;
                left -= done;
            }
        }
        if (!signals.empty()) SignalOutsideClock(signals);
    }
}

void DeviceImpl::StopClock() {
    m_ClockStop.store(true, std::memory_order_release);
    if (m_ClockThread.joinable()) m_ClockThread.join();
    // A pulling sink's callback is the clock: no block is asked for once it stops.
    if (m_Sink) m_Sink->Stop();
}

}  // namespace detail
}  // namespace softds
