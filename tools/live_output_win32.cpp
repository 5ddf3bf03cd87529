// Live output on Windows: the system's DirectSound, as a game engine would open it.
#include <windows.h>
#include <dsound.h>

#include <cstdio>

#include "live_output.h"

namespace sfplay {

namespace {

class SystemOutput final : public LiveOutput {
public:
    explicit SystemOutput(IDirectSound* device) : m_Device(device) {}
    ~SystemOutput() override { m_Device->Release(); }
    ::IDirectSound* Device() override { return m_Device; }
    const char* Name() const override { return "DirectSound"; }

private:
    IDirectSound* m_Device;
};

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

}  // namespace

std::unique_ptr<LiveOutput> OpenLiveOutput(bool /*verbose*/, std::string* why) {
    IDirectSound* device = nullptr;
    const HRESULT hr = DirectSoundCreate(nullptr, &device, nullptr);
    if (FAILED(hr) || device == nullptr) {
        *why = "DirectSoundCreate failed (" + Hex(hr) + ")";
        return nullptr;
    }
    HWND window = GetConsoleWindow();
    if (window == nullptr) window = GetDesktopWindow();
    const HRESULT level = device->SetCooperativeLevel(window, DSSCL_PRIORITY);
    if (FAILED(level)) {
        device->Release();
        *why = "IDirectSound::SetCooperativeLevel failed (" + Hex(level) + ")";
        return nullptr;
    }
    return std::make_unique<SystemOutput>(device);
}

}  // namespace sfplay
