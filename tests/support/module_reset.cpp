#include "support/module_reset.h"

#include "config/module_options.h"
#include "config/module_settings.h"

namespace sonaflux::test {

void ResetModule(MusicModule* module) {
    if (module) {
        module->Release();
        module->SetDirectSound(nullptr);
        module->SetTimer(nullptr);
    }
    Settings().ResetToDefaults();
    Options().ResetToDefaults();  // master volume 1.0 included
}

}  // namespace sonaflux::test
