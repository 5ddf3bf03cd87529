#include "config/module_settings.h"

#include "config/module_options.h"

namespace sonaflux {

void ModuleSettings::ResetToDefaults() {
    STREAM_BUFFER_SIZE = 262144;
    RING_BUFFER_BLOCK_SIZE = 32768;
    NOTIFY_MAX = 16;
    STREAM_WARNING_MAX = 4;
    GLOBALFOCUS = false;
    FADETYPE = 0;
    FILE_LOOP_POINTS = false;
}

ModuleSettings& Settings() {
    static ModuleSettings settings;  // constant-initialised: ready before any caller
    return settings;
}

ModuleOptions& Options() {
    static ModuleOptions options;
    return options;
}

}  // namespace sonaflux
