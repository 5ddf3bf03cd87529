// Puts the process-wide module back as a fresh load left it, for the end of a test that
// drove it through its interfaces: every entry and player released, no device, no timer,
// master volume 1.0, and the settings and options at their defaults.
#pragma once

#include "sonaflux/sonaflux.h"

namespace sonaflux::test {

void ResetModule(MusicModule* module);

}  // namespace sonaflux::test
