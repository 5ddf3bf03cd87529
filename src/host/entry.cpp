// The library's one export.
#include "config/settings_reader.h"
#include "host/module_object.h"
#include "sonaflux/sonaflux.h"

#if defined(_WIN32)
#define SFX_EXPORT  // exported undecorated through Sonaflux.def
#else
#define SFX_EXPORT __attribute__((visibility("default")))
#endif

extern "C" SFX_EXPORT void* SONAFLUX_CALL CreateInterface(const GUID* iid) {
    if (iid == nullptr) return nullptr;
    // The message route is handed out before the settings file is read, so that a host
    // hears what reading it reports.
    if (sonaflux::SameId(iid, IID_MusicDiagnostics)) {
        return static_cast<MusicDiagnostics*>(&sonaflux::TheModule());
    }
    if (!sonaflux::SameId(iid, IID_MusicModule)) return nullptr;
    sonaflux::ReadModuleSettings(sonaflux::kSettingsFileName);  // the values that stand apply
    return static_cast<MusicModule*>(&sonaflux::TheModule());
}
