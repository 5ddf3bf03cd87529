// What only a 32-bit x86 build can show: member functions called the way an MSVC-built
// host calls them (__thiscall: this in ECX, the callee pops its arguments), IEEE double
// arithmetic instead of x87 intermediates, and the 20/36-byte buffer descriptions. Built
// and run only in the i686 suite (ctest label i686-only); the 64-bit suite checks the
// 24/40-byte descriptions in test_dsound_abi and test_host_win32.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "config/module_options.h"
#include "config/module_settings.h"
#include "softds/softds.h"
#include "sonaflux/sonaflux.h"
#include "support/module_reset.h"
#include "support/test_files.h"
#include "support/wave_image.h"

#if !defined(__i386__)
#error "test_i686 is built for i686 only"
#endif

namespace sonaflux {
namespace {

// Calls slot `slot` as a __thiscall host does and answers how far the stack pointer moved
// over the call: 0 when the callee popped exactly the arguments the caller pushed.
template <typename R, typename... A>
intptr_t StackDriftOfThiscall(void* object, int slot, R* result, A... args) {
    using Fn = R(__attribute__((thiscall))*)(void*, A...);
    void** table = *static_cast<void***>(object);
    const Fn fn = reinterpret_cast<Fn>(table[slot]);
    uintptr_t before = 0, after = 0;
    __asm__ volatile("movl %%esp, %0" : "=r"(before) : : "memory");
    *result = fn(object, args...);
    __asm__ volatile("movl %%esp, %0" : "=r"(after) : : "memory");
    return static_cast<intptr_t>(before - after);
}

TEST(I686Only, MemberFunctionsAreThiscall) {
    auto* module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
    ASSERT_NE(module, nullptr);
    bool accepted = false;
    // SetPlayInfo(index, fileName, offset, size): four stack arguments for the callee to pop.
    EXPECT_EQ(StackDriftOfThiscall(module, 3, &accepted, 4, "x.wav", 10, 20), 0);
    EXPECT_TRUE(accepted);
    MusicPlayer* player = nullptr;
    EXPECT_EQ(StackDriftOfThiscall(module, 8, &player, 2), 0);  // GetPlayer(2)
    ASSERT_NE(player, nullptr);
    EXPECT_EQ(player, module->GetPlayer(2));  // `this` arrived in ECX
    bool loaded = true;
    EXPECT_EQ(StackDriftOfThiscall(player, 2, &loaded, 12345), 0);  // Load of an unknown number
    EXPECT_FALSE(loaded);
    test::ResetModule(module);
}

TEST(I686Only, DoublesAreIeeeDoublesNotX87Intermediates) {
    static_assert(__FLT_EVAL_METHOD__ == 0, "the build must use SSE2 math (-mfpmath=sse)");
    // 1e16 + 1 is not a double (the spacing there is 2), but an x87 register holds it.
    volatile double big = 1e16, one = 1.0;
    EXPECT_EQ((big + one) - big, 0.0);
}

TEST(I686Only, BufferDescriptionsAre20And36Bytes) {
    static_assert(sizeof(ds::DSBUFFERDESC1) == 20 && sizeof(ds::DSBUFFERDESC) == 36, "i686");
    Settings().ResetToDefaults();
    Options().ResetToDefaults();
    const test::Bytes pcm(8000, 0x11);
    test::TempFile wave(test::MakeWave(2, 44100, 16, pcm), "i686");
    std::unique_ptr<softds::Device, void (*)(softds::Device*)> device(
        softds::Device::Create({}), [](softds::Device* d) { d->Release(); });
    ASSERT_NE(device, nullptr);
    auto* module = static_cast<MusicModule*>(CreateInterface(&IID_MusicModule));
    module->SetDirectSound(device->HostInterface());
    ASSERT_TRUE(module->SetPlayInfo(0, wave.c_str(), 0, static_cast<int>(pcm.size() + 44)));
    MusicPlayer* player = module->GetPlayer(0);
    for (const bool shortDesc : {false, true}) {
        module->SetShortBufferDesc(shortDesc);
        ASSERT_TRUE(player->Load(0));
        EXPECT_EQ(device->Buffer(device->BufferCount() - 1)->DescSize(), shortDesc ? 20u : 36u);
        player->Unload();
    }
    test::ResetModule(module);
}

}  // namespace
}  // namespace sonaflux
