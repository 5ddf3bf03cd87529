#include "play_source.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <filesystem>
#include <system_error>
#include <vector>

#include "demo_tune.h"
#include "wave_file.h"

namespace sfplay {

TempFile::~TempFile() {
    if (!m_Path.empty()) {
        std::error_code ignored;
        std::filesystem::remove(m_Path, ignored);
    }
}

namespace {

// What the module reads of the music; the refusal it gave when it cannot play it.
bool ReadSource(const PlayOptions& o, Source* source, MusicModule& module, MessageRelay& relay,
                std::string* error) {
    LoadFailure failure;
    if (ReadMusic(module, source->path, source->offset, source->size, !o.info, relay,
                  &source->music, &failure))
        return true;
    const std::string where =
        source->label +
        (source->offset ? " at offset " + std::to_string(source->offset) : std::string());
    if (failure.id == "NoAudio") {
        *error = where + ": no audio";
    } else if (!failure.cause.empty()) {
        *error = where + ": " + failure.cause;
    } else {
        *error = "the module could not load " + where;
    }
    return false;
}

bool PrepareDemo(const PlayOptions& o, Source* source, TempFile* temp, MusicModule& module,
                 MessageRelay& relay, std::string* error) {
    const DemoTune tune = MakeDemoTune();
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
    if (ec) dir = ".";
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::string path =
        (dir / ("sonaflux-demo-" + std::to_string(static_cast<long long>(stamp)) + ".wav"))
            .string();
    if (!WriteFileBytes(path, tune.image, error)) return false;
    temp->Set(path);
    source->path = path;
    source->label = "the built-in demo tune";
    source->offset = 0;
    source->size = static_cast<uint32_t>(tune.image.size());
    source->loopStart = tune.loopStart;
    source->demo = true;
    return ReadSource(o, source, module, relay, error);
}

// Why a name is not a regular file, or empty when it is one. Nothing is opened, so a
// FIFO without a writer cannot stall the program.
std::string NotRegular(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    switch (st.type()) {
        case fs::file_type::regular:
        case fs::file_type::not_found:  // the open that follows says it cannot
        case fs::file_type::none:
            return {};
        case fs::file_type::directory:
            return path + " is a directory";
        case fs::file_type::fifo:
            return path + " is a FIFO, not a regular file";
        case fs::file_type::character:
        case fs::file_type::block:
            return path + " is a device, not a regular file";
        default:
            return path + " is not a regular file";
    }
}

// The byte range [*offset, *offset + *size) the options give, checked against the file.
bool FindRange(const PlayOptions& o, uint64_t* offset, uint64_t* size, std::string* error) {
    const std::string irregular = NotRegular(o.file);
    if (!irregular.empty()) {
        *error = irregular;
        return false;
    }
    uint64_t fileSize = 0;
    if (!FileSize(o.file, &fileSize, error)) return false;
    if (fileSize == 0) {
        *error = o.file + " is empty";
        return false;
    }
    *offset = o.offset.value_or(0);
    if (*offset >= fileSize) {
        *error = "--offset " + std::to_string(*offset) + " lies at or past the end of " + o.file +
                 " (" + std::to_string(fileSize) + " bytes)";
        return false;
    }
    *size = o.size ? *o.size : fileSize - *offset;
    if (*offset + *size > fileSize) {
        *error = "the range of " + std::to_string(*size) + " bytes at " + std::to_string(*offset) +
                 " runs past the end of " + o.file + " (" + std::to_string(fileSize) + " bytes)";
        return false;
    }
    if (*size > static_cast<uint64_t>(INT_MAX)) {
        *error = o.file + ": images of more than 2147483647 bytes cannot be played";
        return false;
    }
    return true;
}

bool PrepareFile(const PlayOptions& o, Source* source, MusicModule& module, MessageRelay& relay,
                 std::string* error) {
    uint64_t offset = 0, size = 0;
    if (!FindRange(o, &offset, &size, error)) return false;
    source->path = o.file;
    source->label = o.file;
    source->offset = static_cast<uint32_t>(offset);
    source->size = static_cast<uint32_t>(size);
    return ReadSource(o, source, module, relay, error);
}

// Takes the loop points stored in the file, unless told not to or they do not fit.
void ApplyFileLoop(const PlayOptions& o, Source* src, std::ostream& out) {
    const MusicReport& f = src->music;
    const uint32_t frames = f.frames;
    const bool usable = f.loopStart < f.loopEnd && f.loopEnd <= frames;
    out << "file loop points: frames " << f.loopStart << " to " << f.loopEnd
        << (!o.fileLoops ? " (not used: --no-file-loops)"
            : usable     ? ""
                         : " (not used: outside the music)")
        << "\n";
    if (o.fileLoops && usable) {
        src->loopStart = f.loopStart;
        src->loopEnd = f.loopEnd;
    }
    // The module may apply the file's points itself (loop tags always): hand over both
    // points, so that exactly these apply.
    src->setBothPoints = true;
    if (!src->loopEnd) src->loopEnd = frames;
}

}  // namespace

bool PrepareSource(const PlayOptions& o, Source* source, TempFile* temp, MusicModule& module,
                   MessageRelay& relay, std::string* error) {
    return o.file.empty() ? PrepareDemo(o, source, temp, module, relay, error)
                          : PrepareFile(o, source, module, relay, error);
}

bool ResolveLoopPoints(const PlayOptions& o, Source* src, std::ostream& out, std::string* error) {
    if (src->music.fileLoop) ApplyFileLoop(o, src, out);
    if (o.loopStart) src->loopStart = *o.loopStart;
    if (o.loopEnd) src->loopEnd = *o.loopEnd;
    const uint32_t frames = src->music.frames;
    const uint32_t end = src->loopEnd.value_or(frames);
    if (end > frames) {
        *error = "--loop-end " + std::to_string(end) + " lies past the last frame (" +
                 std::to_string(frames) + ")";
        return false;
    }
    if (src->loopStart >= end) {
        *error = "the loop start (frame " + std::to_string(src->loopStart) +
                 ") must come before the loop end (frame " + std::to_string(end) + ")";
        return false;
    }
    if (o.start && *o.start >= end) {
        *error = "--start " + std::to_string(*o.start) + " lies past the end of the music (frame " +
                 std::to_string(end) + ")";
        return false;
    }
    return true;
}

std::string SourceDamage(const Source& src) {
    if (src.demo) return {};
    std::error_code ec;
    const uint64_t size = std::filesystem::file_size(src.path, ec);
    if (ec) return src.path + " could no longer be read (" + ec.message() + ")";
    const uint64_t needed = uint64_t{src.offset} + src.size;
    if (size < needed) {
        return src.path + " shrank to " + std::to_string(size) + " bytes during playback (" +
               std::to_string(needed) + " are needed)";
    }
    return {};
}

}  // namespace sfplay
