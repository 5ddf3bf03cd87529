#include "host/module_object.h"

#include "base/diagnostics.h"
#include "base/message_delivery.h"
#include "base/module_timer.h"
#include "base/sync.h"
#include "config/module_options.h"
#include "host/music_player.h"
#include "source/host_file.h"

namespace sonaflux {

ModuleObject& TheModule() {
    static ModuleObject module;
    return module;
}

ModuleObject::~ModuleObject() {
    // A host that unloads without Release may have left its callback set: the delivery
    // thread stops (or is left to the process's end) before the library's code goes.
    StopDeliveryForTeardown();
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
    // The players' threads have ended: nothing reports any more, and nothing of the host
    // may be called after Release.
    SetMessageRoute(nullptr, nullptr);
    SetBoxesShown(true);
    SetHostFileSystem(nullptr);  // no stream reads through it any more
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
    if (iid == nullptr) return nullptr;
    if (SameId(iid, IID_MusicVolumeControl)) return static_cast<MusicVolumeControl*>(this);
    if (SameId(iid, IID_MusicDiagnostics)) return static_cast<MusicDiagnostics*>(this);
    if (SameId(iid, IID_MusicFileSource)) return static_cast<MusicFileSource*>(this);
    return nullptr;
}

double ModuleObject::GetMasterVolume() {
    return Options().masterVolume;
}

bool ModuleObject::SetMasterVolume(double volume) {
    Options().masterVolume = volume;
    return m_Players.ReapplyVolume();
}

void ModuleObject::SetMessageCallback(MusicMessageCallback callback, void* context) {
    SetMessageRoute(callback, context);
}

void ModuleObject::SetShowBoxes(bool show) {
    SetBoxesShown(show);
}

bool ModuleObject::GetShowBoxes() {
    return BoxesShown();
}

void ModuleObject::SetFileSystem(MusicFileSystem* fileSystem) {
    SetHostFileSystem(fileSystem);
}

MusicFileSystem* ModuleObject::GetFileSystem() {
    return HostFileSystem();
}

}  // namespace sonaflux
