// The options and the master volume that the host sets through the module interface.
// The module object writes them on the host's thread; stream loads read the options and
// every volume change (fade threads included) reads the master volume.
#pragma once

#include <atomic>

namespace sonaflux {

struct ModuleOptions {
    std::atomic<bool> shortBufferDesc{false};  // 20-byte DSBUFFERDESC without guid3DAlgorithm
    std::atomic<bool> softwareBuffer{true};    // add DSBCAPS_LOCSOFTWARE
    std::atomic<bool> keepPriority{true};      // false: raise workers to ABOVE_NORMAL
    std::atomic<double> masterVolume{1.0};     // linear factor applied to every stream

    void ResetToDefaults() {
        shortBufferDesc = false;
        softwareBuffer = true;
        keepPriority = true;
        masterVolume = 1.0;
    }
};

ModuleOptions& Options();

}  // namespace sonaflux
