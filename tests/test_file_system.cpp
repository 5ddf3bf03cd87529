// Music read through the host's own file system (MusicFileSource), with faults injected
// into it, and plain files larger than 4 GiB.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/messages.h"
#include "config/module_options.h"
#include "config/module_settings.h"
#include "softds/softds.h"
#include "sonaflux/sonaflux.h"
#include "support/host_timer.h"
#include "support/interfaces.h"
#include "support/module_reset.h"
#include "support/report_capture.h"
#include "support/test_files.h"
#include "support/vtable.h"
#include "support/wave_image.h"

namespace sonaflux {
namespace {

using test::Bytes;
using test::CallSlot;
using test::InterfaceOf;

constexpr uint32_t kRate = 8000;
constexpr uint32_t kFrameBytes = 4;
constexpr uint32_t kSegment = 2048;  // a ring of 8: half a ring is 8192 bytes
constexpr uint32_t kDataBytes = 40000;

// A host's pack in memory, with its faults: reads that fail, end early or take time, files
// that shrink, and reads handed out in pieces of any size.
class PackFileSystem final : public MusicFileSystem {
public:
    struct Handle {
        const Bytes* bytes;
        uint64_t position = 0;
    };
    std::map<std::string, Bytes> files;
    std::atomic<int> failReads{0};      // the next n reads answer -1
    std::atomic<int> endEarly{0};       // the next n reads find the end after a few bytes
    std::atomic<int64_t> shrunkTo{-1};  // every file now ends here (and says so)
    std::atomic<uint32_t> piece{0};     // at most this many bytes per call (0: all), varied
    std::atomic<int> slowMs{0};         // each read takes this long
    std::atomic<int> reading{0}, mostAtOnce{0}, opened{0}, closed{0}, reads{0};

    void* Open(const char* name) override {
        const auto it = files.find(name);
        if (it == files.end()) return nullptr;
        ++opened;
        return new Handle{&it->second};
    }
    int32_t Read(void* file, void* buffer, uint32_t count) override {
        auto* h = static_cast<Handle*>(file);
        const int now = ++reading;
        int most = mostAtOnce.load();
        while (now > most && !mostAtOnce.compare_exchange_weak(most, now)) {
        }
        ++reads;
        int32_t answer = Serve(*h, static_cast<uint8_t*>(buffer), count);
        --reading;
        return answer;
    }
    bool Seek(void* file, uint64_t offset) override {
        static_cast<Handle*>(file)->position = offset;
        return true;
    }
    int64_t GetSize(void* file) override {
        const auto size = static_cast<int64_t>(static_cast<Handle*>(file)->bytes->size());
        const int64_t shrunk = shrunkTo.load();
        return shrunk >= 0 ? std::min(shrunk, size) : size;
    }
    void Close(void* file) override {
        ++closed;
        delete static_cast<Handle*>(file);
    }

private:
    int32_t Serve(Handle& h, uint8_t* out, uint32_t count) {
        if (slowMs.load() > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(slowMs.load()));
        if (failReads.load() > 0 && failReads.fetch_sub(1) > 0) return -1;
        uint64_t end = static_cast<uint64_t>(GetSize(&h));
        if (endEarly.load() > 0) {
            // Half of what was asked, then the end, as from a file cut there.
            m_Cut = !m_Cut;
            if (m_Cut) count = std::max<uint32_t>(count / 2, 1);
            if (!m_Cut && endEarly.fetch_sub(1) > 0) return 0;
        }
        if (h.position >= end) return 0;
        uint64_t n = std::min<uint64_t>(count, end - h.position);
        if (const uint32_t p = piece.load()) n = std::min<uint64_t>(n, 1 + m_Random() % p);
        std::memcpy(out, h.bytes->data() + h.position, static_cast<size_t>(n));
        h.position += n;
        return static_cast<int32_t>(n);
    }
    std::minstd_rand m_Random{7};
    bool m_Cut = false;
};

// The frames of `pcm` that are not silence, in order.
Bytes Audible(const Bytes& pcm) {
    Bytes out;
    for (size_t at = 0; at + kFrameBytes <= pcm.size(); at += kFrameBytes) {
        const auto frame = pcm.begin() + static_cast<long>(at);
        if (std::any_of(frame, frame + kFrameBytes, [](uint8_t b) { return b != 0; })) {
            out.insert(out.end(), frame, frame + kFrameBytes);
        }
    }
    return out;
}

class HostFiles : public ::testing::Test {
protected:
    void SetUp() override {
        Settings().ResetToDefaults();
        Options().ResetToDefaults();
        Settings().NOTIFY_MAX = 8;
        Settings().RING_BUFFER_BLOCK_SIZE = static_cast<int32_t>(kSegment);
        Settings().STREAM_BUFFER_SIZE = 4096;
        module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
        ASSERT_NE(module, nullptr);
        softds::DeviceOptions options;
        options.outputRate = kRate;
        device = softds::Device::Create(options);
        module->SetDirectSound(device->HostInterface());
        module->SetTimer(&timer);
        source = static_cast<MusicFileSource*>(module->GetInterface(&IID_MusicFileSource));
        ASSERT_NE(source, nullptr);
        data = test::PatternPcm(kDataBytes, 3);
        pack.files["music/theme.wav"] = test::MakeWave(2, kRate, 16, data);
    }
    void TearDown() override {
        test::ResetModule(module);
        EXPECT_EQ(source->GetFileSystem(), nullptr);        // Release forgot it
        EXPECT_EQ(pack.opened.load(), pack.closed.load());  // and closed every file
        device->Release();
    }
    std::shared_ptr<softds::BufferRecord> Last() const {
        return device->Buffer(device->BufferCount() - 1);
    }
    bool Register(int index, const std::string& name) {
        return module->SetPlayInfo(index, name.c_str(), 0,
                                   static_cast<int>(pack.files[name].size()));
    }
    bool AdvanceBytes(size_t bytes) {
        return device->Advance(static_cast<uint32_t>(bytes / kFrameBytes));
    }
    Bytes Music(size_t from, size_t count) const {  // the endless WAVE music from `from`
        Bytes out;
        for (size_t i = from; out.size() < count; ++i) out.push_back(data[i % data.size()]);
        return out;
    }

    MusicModule* module = nullptr;
    softds::Device* device = nullptr;
    MusicFileSource* source = nullptr;
    test::HostTimer timer;
    test::ReportCapture reports;
    PackFileSystem pack;
    Bytes data;
};

// The extension's slots, as a host built by another compiler calls them.
TEST_F(HostFiles, TheFileSourceStandsInItsSlots) {
    void* s = source;
    CallSlot<void>(s, 0, static_cast<MusicFileSystem*>(&pack));  // SetFileSystem
    EXPECT_EQ(CallSlot<MusicFileSystem*>(s, 1), &pack);          // GetFileSystem
    EXPECT_EQ(CreateInterface(&IID_MusicFileSource), nullptr);   // only through the module
    CallSlot<void>(s, 0, static_cast<MusicFileSystem*>(nullptr));
    EXPECT_EQ(source->GetFileSystem(), nullptr);
}

// WAVE and Ogg Vorbis both read through the host, byte-exact, with the host handing out
// reads in pieces of any size, loops and seeks moving backwards, two streams at once,
// and never two reads of the module at the same moment.
TEST_F(HostFiles, EveryFormatPlaysThroughTheHostByteExact) {
    const Bytes ogg = test::EncodeOggVorbis(2, kRate, 12000);
    const Bytes decoded = test::DecodeOggVorbis(ogg);
    pack.files["music/field.ogg"] = ogg;
    pack.piece = 97;
    source->SetFileSystem(&pack);
    ASSERT_TRUE(Register(0, "music/theme.wav"));
    ASSERT_TRUE(Register(1, "music/field.ogg"));
    MusicPlayer* wave = module->GetPlayer(0);
    MusicPlayer* vorbis = module->GetPlayer(1);
    ASSERT_TRUE(InterfaceOf<MusicLoopControl>(wave, IID_MusicLoopControl)->SetLoopCount(0));
    ASSERT_TRUE(wave->Load(0));
    ASSERT_TRUE(vorbis->Load(1));
    ASSERT_TRUE(InterfaceOf<MusicSeekControl>(vorbis, IID_MusicSeekControl)->Seek(3000));
    ASSERT_TRUE(wave->Play());
    ASSERT_TRUE(vorbis->Play());
    const size_t played = 3 * kDataBytes;  // three passes of the WAVE music
    ASSERT_TRUE(AdvanceBytes(played));
    const Bytes waveOut = device->Buffer(0)->Played();
    ASSERT_EQ(waveOut.size(), played);
    EXPECT_EQ(waveOut, Music(0, played));
    const Bytes vorbisOut = device->Buffer(1)->Played();
    const size_t heard = decoded.size() - 3000 * kFrameBytes;
    ASSERT_GE(vorbisOut.size(), heard);
    EXPECT_TRUE(std::equal(decoded.begin() + 3000 * kFrameBytes, decoded.end(), vorbisOut.begin()));
    EXPECT_EQ(device->Buffer(0)->Underruns() + device->Buffer(1)->Underruns(), 0u);
    EXPECT_EQ(pack.mostAtOnce.load(), 1);
    EXPECT_TRUE(reports.All().empty());
}

// Faults of the host's file system behave as they do on disk. A read that fails or ends
// early while the file still holds the bytes leaves a gap of silence, then the music goes
// on with the bytes it missed; a file that shrank ends the music after the last byte read.
TEST_F(HostFiles, FaultsOfTheHostBehaveAsOnDisk) {
    struct Row {
        const char* name;
        std::function<void(PackFileSystem&)> inject;
        bool ends;
    };
    const std::vector<Row> rows = {
        {"a failed read", [](PackFileSystem& p) { p.failReads = 1; }, false},
        {"a read that ends early", [](PackFileSystem& p) { p.endEarly = 1; }, false},
        {"slow reads", [](PackFileSystem& p) { p.slowMs = 3; }, false},
        {"the file shrinks", [](PackFileSystem& p) { p.shrunkTo = 20000; }, true},
    };
    source->SetFileSystem(&pack);
    ASSERT_TRUE(Register(0, "music/theme.wav"));
    MusicPlayer* player = module->GetPlayer(0);
    ASSERT_TRUE(InterfaceOf<MusicLoopControl>(player, IID_MusicLoopControl)->SetLoopCount(1));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        pack.failReads = 0;
        pack.endEarly = 0;
        pack.slowMs = 0;
        pack.shrunkTo = -1;
        reports.Clear();
        ASSERT_TRUE(player->Load(0));
        ASSERT_TRUE(player->Play());
        ASSERT_TRUE(AdvanceBytes(2 * kSegment));
        row.inject(pack);
        ASSERT_TRUE(AdvanceBytes(kDataBytes + 8 * kSegment));  // past the end either way
        pack.slowMs = 0;
        const Bytes out = Last()->Played();
        EXPECT_FALSE(player->IsPlaying());
        EXPECT_EQ(Last()->Underruns(), 0u);
        const bool failed = reports.CountDebug(msg::kFileReadFailed) > 0;
        EXPECT_EQ(failed, row.name != std::string("slow reads"));
        EXPECT_TRUE(reports.Boxes().empty());
        // Without its silence the play is the music in order: in full, or up to a block
        // (4096 bytes) before where the file now ends.
        const Bytes heard = Audible(out), music = Audible(data);
        ASSERT_LE(heard.size(), music.size());
        EXPECT_TRUE(std::equal(heard.begin(), heard.end(), music.begin()));
        if (row.ends) {
            EXPECT_LT(heard.size(), 20000u - 44);
            EXPECT_GE(heard.size(), 20000u - 44 - 4096 - 64);
        } else {
            EXPECT_EQ(heard.size(), music.size());
        }
        auto* samples = InterfaceOf<MusicSampleInfo>(player, IID_MusicSampleInfo);
        EXPECT_EQ(samples->GetPositionSamples() < samples->GetLengthSamples(), row.ends);
        ASSERT_TRUE(player->Unload());
    }
}

TEST_F(HostFiles, AnEntryTheHostCannotOpenIsRefusedWithTheUsualBox) {
    source->SetFileSystem(&pack);
    ASSERT_TRUE(module->SetPlayInfo(0, "music/missing.wav", 0, 1000));
    EXPECT_FALSE(module->GetPlayer(0)->Load(0));
    EXPECT_EQ(reports.CountBox(msg::kFileStreamOpenFailed), 1);
    // Plain files again once the host takes its file system away.
    test::TempFile plain(pack.files["music/theme.wav"], "plain");
    source->SetFileSystem(nullptr);
    ASSERT_TRUE(module->SetPlayInfo(0, plain.c_str(), 0, kDataBytes + 44));
    EXPECT_TRUE(module->GetPlayer(0)->Load(0));
}

// ---------------------------------------------------------------------------------------
// Plain files over 4 GiB (sparse: nothing but the image is written).

class LargeFiles : public HostFiles {
protected:
    // A file of `size` bytes holding the WAVE image at `offset`.
    std::string Sparse(uint64_t size, uint64_t offset) {
        const std::string path = test::TempPath("sparse");
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (f == nullptr) return {};
        std::fclose(f);
        std::error_code error;
        std::filesystem::resize_file(path, size, error);
        if (error) return {};
        paths.push_back(path);
        std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary);
        out.seekp(static_cast<std::streamoff>(offset));
        const Bytes& image = pack.files["music/theme.wav"];
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));
        return out.good() ? path : std::string();
    }
    void TearDown() override {
        for (const auto& p : paths) test::RemoveFile(p);
        HostFiles::TearDown();
    }
    std::vector<std::string> paths;
};

TEST_F(LargeFiles, ImagesAnywhereA32BitOffsetReachesPlayInFull) {
    constexpr uint64_t kGiB = 1ull << 30;
    const uint32_t image = kDataBytes + 44;
    const struct {
        uint64_t size;
        uint32_t offset;
    } cases[] = {
        {4 * kGiB + 4096, 0},                     // read at its size modulo 2^32 before
        {4 * kGiB, 0},                            // "size 0" before
        {5 * kGiB, 3 * kGiB + 12345},             // past 2 GiB: seeks of a signed 32-bit distance
        {4 * kGiB + image, 0xFFFFFFFFu - image},  // ends at the last byte a 32-bit image can
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " @ " + std::to_string(c.offset));
        const std::string path = Sparse(c.size, c.offset);
        if (path.empty()) GTEST_SKIP() << "no room for a sparse file here";
        ASSERT_TRUE(module->SetPlayInfo(0, path.c_str(), static_cast<int>(c.offset),
                                        static_cast<int>(image)));
        MusicPlayer* player = module->GetPlayer(0);
        ASSERT_TRUE(InterfaceOf<MusicLoopControl>(player, IID_MusicLoopControl)->SetLoopCount(1));
        ASSERT_TRUE(player->Load(0));
        ASSERT_TRUE(player->Play());
        ASSERT_TRUE(AdvanceBytes(kDataBytes + 8 * kSegment));
        const Bytes out = Last()->Played();
        ASSERT_GE(out.size(), kDataBytes);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
        EXPECT_FALSE(player->IsPlaying());
        ASSERT_TRUE(player->Unload());
        test::RemoveFile(path);
    }
    EXPECT_TRUE(reports.All().empty());
}

TEST_F(LargeFiles, AnImagePastTheEndOfTheFileIsRefusedSayingWhere) {
    constexpr uint64_t kGiB = 1ull << 30;
    const std::string path = Sparse(3 * kGiB, 0);
    if (path.empty()) GTEST_SKIP() << "no room for a sparse file here";
    ASSERT_TRUE(module->SetPlayInfo(0, path.c_str(), static_cast<int>(0xC0000010u), 1000));
    EXPECT_FALSE(module->GetPlayer(0)->Load(0));
    char line[256];
    std::snprintf(line, sizeof line, msg::kImagePastFileEnd, 0xC0000010u, "3221225472");
    EXPECT_EQ(reports.CountDebug(line), 1);
    EXPECT_EQ(reports.CountBox(msg::kFileStreamOpenFailed), 1);
}

}  // namespace
}  // namespace sonaflux
