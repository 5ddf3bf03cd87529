// The shared library as a host loads it: through LoadLibrary/dlopen and CreateInterface
// only, with the software device living in the host. A host that unloads the library
// while music plays, without Release, must get it back without a hang, with every sound
// buffer released and no thread left in the unloaded code.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>

#include "softds/softds.h"
#include "sonaflux/sonaflux.h"
#include "support/host_timer.h"
#include "support/test_files.h"
#include "support/wave_image.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using CreateFn = void* (*)(const GUID*);

class Library {
public:
    Library() {
#ifdef _WIN32
        m_Handle = LoadLibraryA("Sonaflux.dll");
        if (m_Handle) {
            m_Create = reinterpret_cast<CreateFn>(
                reinterpret_cast<void*>(GetProcAddress(m_Handle, "CreateInterface")));
        }
#else
        m_Handle = dlopen(SONAFLUX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (m_Handle) m_Create = reinterpret_cast<CreateFn>(dlsym(m_Handle, "CreateInterface"));
#endif
    }
    ~Library() {
        Unload();
    }
    bool Loaded() const {
        return m_Handle != nullptr && m_Create != nullptr;
    }
    MusicModule* Module() {
        return static_cast<MusicModule*>(m_Create(&IID_MusicModule));
    }
    void Unload() {
        if (!m_Handle) return;
#ifdef _WIN32
        FreeLibrary(m_Handle);
#else
        dlclose(m_Handle);
#endif
        m_Handle = nullptr;
    }

private:
#ifdef _WIN32
    HMODULE m_Handle = nullptr;
#else
    void* m_Handle = nullptr;
#endif
    CreateFn m_Create = nullptr;
};

TEST(Unload, WhilePlayingWithoutReleaseReturnsAndReleasesEveryBuffer) {
    const auto pcm = sonaflux::test::PatternPcm(60000);
    sonaflux::test::TempFile wave(sonaflux::test::MakeWave(2, 8000, 16, pcm), "unload");
    softds::DeviceOptions options;
    options.outputRate = 8000;
    softds::Device* device = softds::Device::Create(options);
    sonaflux::test::HostTimer timer;

    auto library = std::make_unique<Library>();
    ASSERT_TRUE(library->Loaded());
    MusicModule* module = library->Module();
    ASSERT_NE(module, nullptr);
    module->SetDirectSound(device->HostInterface());
    module->SetTimer(&timer);
    ASSERT_TRUE(module->SetPlayInfo(0, wave.c_str(), 0, static_cast<int>(pcm.size() + 44)));
    for (int i = 0; i < 3; ++i) {
        MusicPlayer* player = module->GetPlayer(i);
        ASSERT_TRUE(player->Load(0));
        ASSERT_TRUE(player->Play());
    }
    // One of them in the middle of a fade, so a fade thread runs as well.
    auto* fade =
        static_cast<MusicFadeControl*>(module->GetPlayer(1)->GetInterface(&IID_MusicFadeControl));
    ASSERT_TRUE(fade->Fade(60000, 0, false));
    ASSERT_TRUE(device->Advance(20000));  // signals cross from the host's device to the module
    const auto played = device->Buffer(0)->Played();
    ASSERT_EQ(played.size(), 80000u);
    EXPECT_EQ(std::vector<uint8_t>(played.begin(), played.begin() + 60000), pcm);

    auto unloaded = std::async(std::launch::async, [&] { library->Unload(); });
    ASSERT_EQ(unloaded.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    for (size_t i = 0; i < device->BufferCount(); ++i) EXPECT_TRUE(device->Buffer(i)->Released());
    device->Release();
}

}  // namespace
