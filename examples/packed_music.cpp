// Music played straight from an engine's pack: the pack holds the music compressed with
// zlib in independent 64 KiB chunks and encrypted with a keyed stream cipher, and the host
// hands the module its own file system (MusicFileSystem), which decrypts and inflates the
// chunk a read needs when the module asks for it. No plain copy of the music exists on
// disk. Rendered through softds's manual clock into a WAV file.
//
// Usage: packed_music MUSIC.wav PACK OUT.wav
//   Builds PACK from MUSIC.wav (as an engine's asset pipeline would), then plays the entry
//   "music/theme" from it once.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "softds/softds.h"
#include "sonaflux/sonaflux.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kChunk = 65536;
constexpr uint64_t kKey = 0x5EC2E7C0FFEE1234ull;

// The keystream byte at `position`: a counter-mode generator (splitmix64 of key and block),
// so any byte of the pack decrypts on its own.
uint8_t KeyByte(uint64_t position) {
    uint64_t z = kKey + (position / 8) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<uint8_t>(z >> (8 * (position % 8)));
}

void Crypt(uint8_t* bytes, size_t count, uint64_t position) {
    for (size_t i = 0; i < count; ++i) bytes[i] ^= KeyByte(position + i);
}

void Put32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t Get32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The pack: "PAK1", the name's length and name, the music's size, the chunk count, then per
// chunk its compressed size; then the chunks, each compressed and then encrypted at its
// offset in the pack.
bool BuildPack(const Bytes& music, const std::string& name, const char* path) {
    std::vector<Bytes> chunks;
    for (size_t at = 0; at < music.size(); at += kChunk) {
        const uLong length = static_cast<uLong>(std::min<size_t>(kChunk, music.size() - at));
        Bytes packed(compressBound(length));
        uLongf size = packed.size();
        if (compress2(packed.data(), &size, music.data() + at, length, 9) != Z_OK) return false;
        packed.resize(size);
        chunks.push_back(std::move(packed));
    }
    Bytes pack = {'P', 'A', 'K', '1'};
    Put32(pack, static_cast<uint32_t>(name.size()));
    pack.insert(pack.end(), name.begin(), name.end());
    Put32(pack, static_cast<uint32_t>(music.size()));
    Put32(pack, static_cast<uint32_t>(chunks.size()));
    for (const Bytes& c : chunks) Put32(pack, static_cast<uint32_t>(c.size()));
    for (const Bytes& c : chunks) {
        const size_t at = pack.size();
        pack.insert(pack.end(), c.begin(), c.end());
        Crypt(pack.data() + at, c.size(), at);
    }
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(pack.data()),
              static_cast<std::streamsize>(pack.size()));
    return out.good();
}

// The engine's file system over one pack. The module calls it from its stream workers, one
// call at a time per file; it reads the pack, decrypts and inflates a chunk on demand.
class PackFileSystem final : public MusicFileSystem {
public:
    explicit PackFileSystem(const char* path) : m_Path(path) {}

    void* Open(const char* name) override {
        auto* f = new File;
        f->pack.open(m_Path, std::ios::binary);
        uint8_t head[8];
        if (!f->pack.read(reinterpret_cast<char*>(head), 8) || std::memcmp(head, "PAK1", 4) != 0) {
            delete f;
            return nullptr;
        }
        std::string stored(Get32(head + 4), '\0');
        uint8_t counts[8];
        f->pack.read(&stored[0], static_cast<std::streamsize>(stored.size()));
        f->pack.read(reinterpret_cast<char*>(counts), 8);
        if (!f->pack || stored != name) {
            delete f;
            return nullptr;
        }
        f->size = Get32(counts);
        uint64_t offset = 8 + stored.size() + 8 + 4ull * Get32(counts + 4);
        for (uint32_t i = 0; i < Get32(counts + 4); ++i) {
            uint8_t b[4];
            f->pack.read(reinterpret_cast<char*>(b), 4);
            f->chunks.push_back({offset, Get32(b)});
            offset += Get32(b);
        }
        return f->pack ? f : (delete f, nullptr);
    }

    int32_t Read(void* file, void* buffer, uint32_t count) override {
        auto* f = static_cast<File*>(file);
        if (f->position >= f->size) return 0;
        const uint32_t index = static_cast<uint32_t>(f->position / kChunk);
        if (index != f->cached && !Inflate(*f, index)) return -1;
        const uint32_t within = static_cast<uint32_t>(f->position % kChunk);
        const uint32_t n =
            std::min<uint32_t>(count, static_cast<uint32_t>(f->plain.size()) - within);
        std::memcpy(buffer, f->plain.data() + within, n);
        f->position += n;
        return static_cast<int32_t>(n);  // at most to the chunk's end: the module reads on
    }
    bool Seek(void* file, uint64_t offset) override {
        static_cast<File*>(file)->position = offset;
        return true;
    }
    int64_t GetSize(void* file) override { return static_cast<File*>(file)->size; }
    void Close(void* file) override { delete static_cast<File*>(file); }

private:
    struct Chunk {
        uint64_t offset;
        uint32_t size;
    };
    struct File {
        std::ifstream pack;
        uint64_t size = 0;
        uint64_t position = 0;
        std::vector<Chunk> chunks;
        uint32_t cached = UINT32_MAX;
        Bytes plain;
    };

    static bool Inflate(File& f, uint32_t index) {
        if (index >= f.chunks.size()) return false;
        Bytes packed(f.chunks[index].size);
        f.pack.clear();
        f.pack.seekg(static_cast<std::streamoff>(f.chunks[index].offset));
        if (!f.pack.read(reinterpret_cast<char*>(packed.data()), packed.size())) return false;
        Crypt(packed.data(), packed.size(), f.chunks[index].offset);
        f.plain.resize(kChunk);
        uLongf length = kChunk;
        if (uncompress(f.plain.data(), &length, packed.data(), packed.size()) != Z_OK) return false;
        f.plain.resize(length);
        f.cached = index;
        return true;
    }

    std::string m_Path;
};

class RenderTimer final : public ITimer {
public:
    explicit RenderTimer(const softds::Device* device) : m_Device(device) {}
    int32_t Acquire() override { return 1; }
    uint32_t GetTime() override { return static_cast<uint32_t>(m_Device->Frames() * 1000 / 44100); }

private:
    const softds::Device* m_Device;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: packed_music MUSIC.wav PACK OUT.wav\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const Bytes music((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (music.empty() || !BuildPack(music, "music/theme", argv[2])) return 1;

    softds::DeviceOptions options;
    options.sink = softds::SinkKind::WavFile;
    options.wavPath = argv[3];
    options.recordCalls = false;
    softds::Device* device = softds::Device::Create(options);
    if (device == nullptr) return 1;
    RenderTimer timer(device);
    PackFileSystem pack(argv[2]);

    auto* module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
    module->SetDirectSound(device->HostInterface());
    module->SetTimer(&timer);
    auto* source = static_cast<MusicFileSource*>(module->GetInterface(&IID_MusicFileSource));
    source->SetFileSystem(&pack);  // entries' names are now names in the pack
    module->SetPlayInfo(0, "music/theme", 0, static_cast<int>(music.size()));
    MusicPlayer* player = module->GetPlayer(0);
    if (!player->Load(0)) return 1;
    auto* loop = static_cast<MusicLoopControl*>(player->GetInterface(&IID_MusicLoopControl));
    loop->SetLoopCount(1);
    player->Play();
    while (player->IsPlaying()) {
        if (!device->Advance(441)) return 1;
    }
    // What played is the music itself, byte for byte (after its 44-byte header).
    const Bytes played = device->Buffer(0)->Played();
    const bool exact = played.size() >= music.size() - 44 &&
                       std::equal(music.begin() + 44, music.end(), played.begin());
    module->Release();
    device->Release();
    std::printf("packed_music: played %zu bytes from %s, %s\n", music.size() - 44, argv[2],
                exact ? "identical to the music" : "DIFFERENT from the music");
    return exact ? 0 : 1;
}
