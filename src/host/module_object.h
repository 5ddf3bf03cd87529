// The single module object: the MusicModule, MusicVolumeControl, MusicDiagnostics and
// MusicFileSource interfaces, the play-info table and the host's device. Host thread only, except
// the master volume, which fade threads read (it lives in ModuleOptions), and the message route,
// which every reporting thread reads (it lives in base/diagnostics).
#pragma once

#include <cstdint>

#include "host/play_info.h"
#include "host/player_collection.h"
#include "sonaflux/sonaflux.h"

namespace sonaflux {

class ModuleObject final : public MusicModule,
                           public MusicVolumeControl,
                           public MusicDiagnostics,
                           public MusicFileSource {
public:
    ModuleObject() = default;
    ~ModuleObject();
    ModuleObject(const ModuleObject&) = delete;
    ModuleObject& operator=(const ModuleObject&) = delete;

    // MusicModule
    int32_t Acquire() override { return 1; }
    int32_t Release() override;
    bool SetDirectSound(IDirectSound* device) override;
    bool SetPlayInfo(int index, const char* fileName, int offset, int size) override;
    void SetShortBufferDesc(bool on) override;
    void SetSoftwareBuffer(bool on) override;
    void SetKeepPriority(bool on) override;
    void SetTimer(ITimer* timer) override;
    MusicPlayer* GetPlayer(int index) override;
    void* GetInterface(const GUID* iid) override;

    // MusicVolumeControl
    double GetMasterVolume() override;
    bool SetMasterVolume(double volume) override;

    // MusicDiagnostics
    void SetMessageCallback(MusicMessageCallback callback, void* context) override;
    void SetShowBoxes(bool show) override;
    bool GetShowBoxes() override;

    // MusicFileSource
    void SetFileSystem(MusicFileSystem* fileSystem) override;
    MusicFileSystem* GetFileSystem() override;

    IDirectSound* Device() const { return m_DirectSound; }
    PlayerCollection& Players() { return m_Players; }
    const PlayInfoTable& PlayInfos() const { return m_PlayInfo; }
    int32_t& LoadedStreamCount() { return m_LoadedStreamCount; }

private:
    PlayerCollection m_Players;
    IDirectSound* m_DirectSound = nullptr;  // borrowed from the host, never released
    PlayInfoTable m_PlayInfo;
    int32_t m_LoadedStreamCount = 0;  // players holding a loaded stream
};

// The module object of this process, built at library load.
ModuleObject& TheModule();

}  // namespace sonaflux
