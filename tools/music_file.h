// What the module will make of a music image, read by sonaflux-play before it hands the
// image over: RIFF/WAVE by walking all its chunks (pad bytes honoured), Ogg Vorbis by its
// headers, and the loop points either kind stores (a WAVE "smpl" chunk's first loop, an
// Ogg file's LOOPSTART with LOOPLENGTH or LOOPEND comments).
#pragma once

#include <cstdint>
#include <string>

#include "wave_file.h"

namespace sfplay {

struct FileLoop {
    bool present = false;
    uint32_t start = 0;  // frames: later passes start here
    uint32_t end = 0;    // every pass ends before this frame
};

// Fills the format as it plays (16-bit for what the module converts or decodes) and the
// stored loop points of the image [offset, offset + size) of `path`. False with a reason
// when it is neither a playable RIFF/WAVE image nor an Ogg Vorbis stream.
bool InspectMusic(const std::string& path, uint64_t offset, uint64_t size, WaveInfo* info,
                  FileLoop* loop, std::string* error);

}  // namespace sfplay
