// Built with nothing but `pkg-config --cflags --libs sonaflux`: the module answers.
#include <cstdio>

#include "sonaflux/sonaflux.h"

int main() {
    auto* module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
    if (module == nullptr) return 1;
    auto* volume = static_cast<MusicVolumeControl*>(module->GetInterface(&IID_MusicVolumeControl));
    if (volume == nullptr || volume->GetMasterVolume() != 1.0) return 2;
    if (CreateInterface(&IID_MusicVolumeControl) != nullptr) return 3;
    std::printf("pkg-config host: the module answers, master volume %.1f\n",
                volume->GetMasterVolume());
    return module->Release();
}
