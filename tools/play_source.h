// The music sonaflux-play hands the module: the built-in demo tune (written to a temporary
// file) or a byte range of a file, with its format and the loop points that will apply.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "module_messages.h"
#include "play_info.h"
#include "play_options.h"

namespace sfplay {

// Removes the file it names when it goes.
class TempFile {
public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile();
    void Set(const std::string& path) { m_Path = path; }

private:
    std::string m_Path;
};

struct Source {
    std::string path;
    std::string label;  // what the user is told is playing
    uint32_t offset = 0;
    uint32_t size = 0;
    MusicReport music;       // what the module read of it
    uint32_t loopStart = 0;  // frames, as handed to the module (0: not set)
    std::optional<uint32_t> loopEnd;
    bool demo = false;
    bool setBothPoints = false;  // hand both points over, replacing the file's own
};

// The demo tune when the options name no file (its image written to `temp`), else the
// file's byte range, as the module reads it (its messages go through `relay`). False with
// the reason in `error`.
bool PrepareSource(const PlayOptions& o, Source* source, TempFile* temp, MusicModule& module,
                   MessageRelay& relay, std::string* error);

// Settles the loop points: the file's own (reported on `out`), then the options'. False
// with the reason when they do not fit the music or the start frame lies past their end.
bool ResolveLoopPoints(const PlayOptions& o, Source* source, std::ostream& out, std::string* error);

// What became of the source file during playback: empty while it still holds the whole
// image, else what happened to it.
std::string SourceDamage(const Source& source);

}  // namespace sfplay
