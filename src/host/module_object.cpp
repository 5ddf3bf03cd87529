#include "host/module_object.h"

#include "base/module_timer.h"
#include "base/sync.h"
#include "config/module_options.h"
#include "host/music_player.h"

namespace sonaflux {

ModuleObject& TheModule() {
    static ModuleObject module;
    return module;
}

ModuleObject::~ModuleObject() {
    if (CurrentTeardown() == Teardown::ProcessExit) {
        // The workers went with the process: their objects are not touched again.
        m_Players.Abandon();
        return;
    }
    m_PlayInfo.Clear();
    m_Players.Clear();
}

int32_t ModuleObject::Release() {
    m_PlayInfo.Clear();
    m_Players.Clear();
    return 0;
}

bool ModuleObject::SetDirectSound(IDirectSound* device) {
    m_DirectSound = device;
    return device != nullptr;
}

bool ModuleObject::SetPlayInfo(int index, const char* fileName, int offset, int size) {
    return m_PlayInfo.SetPlayInfo(index, fileName, offset, size);
}

void ModuleObject::SetShortBufferDesc(bool on) {
    Options().shortBufferDesc = on;
}
void ModuleObject::SetSoftwareBuffer(bool on) {
    Options().softwareBuffer = on;
}
void ModuleObject::SetKeepPriority(bool on) {
    Options().keepPriority = on;
}
void ModuleObject::SetTimer(ITimer* timer) {
    SetModuleTimer(timer);
}

MusicPlayer* ModuleObject::GetPlayer(int index) {
    return m_Players.GetOrCreate(index);
}

void* ModuleObject::GetInterface(const GUID* iid) {
    if (iid != nullptr && SameId(iid, IID_MusicVolumeControl)) {
        return static_cast<MusicVolumeControl*>(this);
    }
    return nullptr;
}

double ModuleObject::GetMasterVolume() {
    return Options().masterVolume;
}

bool ModuleObject::SetMasterVolume(double volume) {
    Options().masterVolume = volume;
    return m_Players.ReapplyVolume();
}

}  // namespace sonaflux
