// A tiny Linux host of the installed package: a softds device on the manual clock, a tone
// played through the module for a few steps, and the played bytes compared with the tone.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "softds/softds.h"
#include "sonaflux/sonaflux.h"

namespace {

void Put(std::vector<uint8_t>& v, uint32_t x, int bytes) {
    for (int i = 0; i < bytes; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

// Half a second of a 440 Hz tone with a slow tremolo, 44.1 kHz 16-bit stereo.
std::vector<uint8_t> Tone(std::vector<uint8_t>* pcm) {
    const uint32_t frames = 22050;
    for (uint32_t i = 0; i < frames; ++i) {
        const double t = i / 44100.0;
        const double v = 0.5 * std::sin(2 * 3.14159265358979 * 440 * t) *
                         (0.75 + 0.25 * std::sin(2 * 3.14159265358979 * 3 * t));
        const auto s = static_cast<uint16_t>(static_cast<int16_t>(std::lround(v * 32767)));
        Put(*pcm, s, 2);
        Put(*pcm, s, 2);
    }
    std::vector<uint8_t> image = {'R', 'I', 'F', 'F'};
    Put(image, 36 + static_cast<uint32_t>(pcm->size()), 4);
    for (char c : std::string("WAVEfmt ")) image.push_back(static_cast<uint8_t>(c));
    Put(image, 16, 4);
    Put(image, 1, 2);
    Put(image, 2, 2);
    Put(image, 44100, 4);
    Put(image, 44100 * 4, 4);
    Put(image, 4, 2);
    Put(image, 16, 2);
    for (char c : std::string("data")) image.push_back(static_cast<uint8_t>(c));
    Put(image, static_cast<uint32_t>(pcm->size()), 4);
    image.insert(image.end(), pcm->begin(), pcm->end());
    return image;
}

int Fail(const char* what) {
    std::fprintf(stderr, "package host: %s\n", what);
    return 1;
}

}  // namespace

int main() {
    std::vector<uint8_t> pcm;
    const std::vector<uint8_t> image = Tone(&pcm);
    const std::string path = "package-host-tone.wav";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(image.data(), 1, image.size(), f) != image.size()) {
        return Fail("cannot write the tone");
    }
    std::fclose(f);

    softds::Device* device = softds::Device::Create();  // manual clock, no sink
    if (device == nullptr) return Fail("no softds device");
    auto* module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
    if (module == nullptr) return Fail("no module");
    module->SetDirectSound(device->HostInterface());
    module->SetPlayInfo(0, path.c_str(), 0, static_cast<int>(image.size()));
    MusicPlayer* player = module->GetPlayer(0);
    auto* loop = static_cast<MusicLoopControl*>(player->GetInterface(&IID_MusicLoopControl));
    if (!player->Load(0) || loop == nullptr) return Fail("the tone does not load");
    loop->SetLoopCount(1);
    if (!player->Play()) return Fail("the tone does not play");
    for (int step = 0; step < 8; ++step) {
        if (!device->Advance(2205)) return Fail("the stream worker did not keep up");
    }
    const std::vector<uint8_t> played = device->Buffer(0)->Played();
    const size_t expected = 8 * 2205 * 4;
    int status = 0;
    if (played.size() != expected) {
        status = Fail("wrong number of bytes played");
    } else if (!std::equal(played.begin(), played.end(), pcm.begin())) {
        status = Fail("the played bytes differ from the tone");
    } else {
        std::printf("package host: %zu bytes played, identical to the tone\n", played.size());
    }
    player->Stop();
    player->Unload();
    module->Release();
    module->SetDirectSound(nullptr);
    device->Release();
    std::remove(path.c_str());
    return status;
}
