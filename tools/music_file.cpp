#include "music_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#define OV_EXCLUDE_STATIC_CALLBACKS
#include <vorbis/vorbisfile.h>

namespace sfplay {
namespace {

bool InspectWave(const std::string& path, uint64_t offset, uint64_t size, WaveInfo* info,
                 FileLoop* loop, std::string* error) {
    std::vector<uint8_t> b;
    auto at = [&](uint64_t p, size_t n) {
        return ReadFileBytes(path, offset + p, n, &b, error) && b.size() == n;
    };
    if (!at(0, 12) || std::memcmp(b.data() + 8, "WAVE", 4) != 0) {
        *error = "not a RIFF/WAVE image";
        return false;
    }
    uint64_t fmt = 0, fmtSize = 0, data = 0, dataSize = 0;
    bool found = false;
    for (uint64_t p = 12; p + 8 <= size;) {
        if (!at(p, 8)) return false;
        const uint32_t n = Get32(b.data() + 4);
        const uint64_t body = p + 8;
        if (std::memcmp(b.data(), "fmt", 3) == 0 && !found) {
            fmt = body;
            fmtSize = n;
        } else if (std::memcmp(b.data(), "data", 4) == 0 && !found) {
            if (fmt == 0) {
                *error = "the data chunk comes before any format chunk";
                return false;
            }
            data = body;
            dataSize = n;
            found = true;
        } else if (std::memcmp(b.data(), "smpl", 4) == 0 && n >= 60 && body + 60 <= size &&
                   at(body, 60) && Get32(b.data() + 28) > 0 &&
                   Get32(b.data() + 48) != 0xFFFFFFFFu) {
            loop->present = true;
            loop->start = Get32(b.data() + 44);
            loop->end = Get32(b.data() + 48) + 1;  // stored inclusive
        }
        p = body + n + (n & 1u);
    }
    if (!found || data >= size) {
        *error = "no data chunk inside the image";
        return false;
    }
    if (fmtSize < 16 || !at(fmt, static_cast<size_t>(std::min<uint64_t>(fmtSize, 40)))) {
        *error = "the format chunk is too short (" + std::to_string(fmtSize) + " bytes)";
        return false;
    }
    const uint16_t tag = Get16(b.data());
    uint16_t kind = tag;
    if (tag == 0xFFFE) kind = b.size() >= 40 ? Get16(b.data() + 24) : 0;
    WaveInfo w;
    w.channels = Get16(b.data() + 2);
    w.rate = Get32(b.data() + 4);
    const uint16_t bits = Get16(b.data() + 14);
    if ((kind != 1 && kind != 3) || (kind == 3 && bits != 32)) {
        *error = "format tag " + std::to_string(tag) + " cannot be played";
        return false;
    }
    if (w.channels < 1 || w.channels > 2 || (bits != 8 && bits != 16 && bits != 24 && bits != 32)) {
        *error = std::to_string(w.channels) + " channels of " + std::to_string(bits) +
                 "-bit samples cannot be played";
        return false;
    }
    const uint32_t stored = bits / 8u * w.channels;
    w.formatTag = 1;
    w.bits = bits <= 16 && kind == 1 ? bits : 16;  // wider samples play as 16-bit
    w.blockAlign = static_cast<uint16_t>(w.bits / 8u * w.channels);
    w.avgBytesPerSec = w.rate * w.blockAlign;
    w.dataOffset = static_cast<uint32_t>(data);
    w.frames = static_cast<uint32_t>(std::min<uint64_t>(dataSize, size - data) / stored);
    w.dataSize = w.frames * w.blockAlign;
    *info = w;
    return true;
}

struct Range {
    std::FILE* file;
    uint64_t offset, size, position;
};

size_t RangeRead(void* ptr, size_t size, size_t count, void* source) {
    auto* r = static_cast<Range*>(source);
    const uint64_t n =
        std::min<uint64_t>(static_cast<uint64_t>(size) * count, r->size - r->position);
    if (n == 0 || std::fseek(r->file, static_cast<long>(r->offset + r->position), SEEK_SET) != 0) {
        return 0;
    }
    const size_t got = std::fread(ptr, 1, static_cast<size_t>(n), r->file);
    r->position += got;
    return got / size;
}

int RangeSeek(void* source, ogg_int64_t offset, int whence) {
    auto* r = static_cast<Range*>(source);
    const int64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? static_cast<int64_t>(r->position)
                                              : static_cast<int64_t>(r->size);
    const int64_t target = base + offset;
    if (target < 0 || target > static_cast<int64_t>(r->size)) return -1;
    r->position = static_cast<uint64_t>(target);
    return 0;
}

long RangeTell(void* source) {
    return static_cast<long>(static_cast<Range*>(source)->position);
}

bool Comment(vorbis_comment* vc, const char* key, uint64_t* value) {
    const char* text = vorbis_comment_query(vc, key, 0);  // keys compare without case
    if (text == nullptr || *text < '0' || *text > '9') return false;
    *value = std::strtoull(text, nullptr, 10);
    return true;
}

bool InspectOgg(const std::string& path, uint64_t offset, uint64_t size, WaveInfo* info,
                FileLoop* loop, std::string* error) {
    Range range{std::fopen(path.c_str(), "rb"), offset, size, 0};
    if (range.file == nullptr) {
        *error = "cannot open " + path;
        return false;
    }
    OggVorbis_File vf;
    const ov_callbacks io = {&RangeRead, &RangeSeek, nullptr, &RangeTell};
    if (ov_open_callbacks(&range, &vf, nullptr, 0, io) != 0) {
        std::fclose(range.file);
        *error = "not a readable Ogg Vorbis stream";
        return false;
    }
    const vorbis_info* vi = ov_info(&vf, 0);
    const ogg_int64_t total = ov_pcm_total(&vf, -1);
    bool ok = vi != nullptr && vi->channels >= 1 && vi->channels <= 2 && total >= 0;
    if (ok) {
        WaveInfo w;
        w.formatTag = 1;
        w.channels = static_cast<uint16_t>(vi->channels);
        w.rate = static_cast<uint32_t>(vi->rate);
        w.bits = 16;
        w.blockAlign = static_cast<uint16_t>(2 * w.channels);
        w.avgBytesPerSec = w.rate * w.blockAlign;
        w.frames = static_cast<uint32_t>(total);
        w.dataSize = w.frames * w.blockAlign;
        *info = w;
        uint64_t start = 0, length = 0, end = 0;
        if (Comment(ov_comment(&vf, 0), "LOOPSTART", &start)) {
            if (Comment(ov_comment(&vf, 0), "LOOPLENGTH", &length)) {
                end = start + length;
            } else if (!Comment(ov_comment(&vf, 0), "LOOPEND", &end)) {
                end = w.frames;
            }
            loop->present = true;
            loop->start = static_cast<uint32_t>(start);
            loop->end = static_cast<uint32_t>(std::min<uint64_t>(end, 0xFFFFFFFFu));
        }
    } else {
        *error = "an Ogg Vorbis stream the module cannot play (more than 2 channels?)";
    }
    ov_clear(&vf);
    std::fclose(range.file);
    return ok;
}

}  // namespace

bool InspectMusic(const std::string& path, uint64_t offset, uint64_t size, WaveInfo* info,
                  FileLoop* loop, std::string* error) {
    *loop = FileLoop{};
    std::vector<uint8_t> signature;
    if (!ReadFileBytes(path, offset, 4, &signature, error)) return false;
    if (signature.size() == 4 && std::memcmp(signature.data(), "OggS", 4) == 0) {
        return InspectOgg(path, offset, size, info, loop, error);
    }
    if (signature.size() == 4 && std::memcmp(signature.data(), "RIFF", 4) == 0) {
        return InspectWave(path, offset, size, info, loop, error);
    }
    *error = "neither a RIFF/WAVE image nor an Ogg Vorbis stream";
    return false;
}

}  // namespace sfplay
