// Calls an interface operation through its raw virtual-table slot, the way a host built
// by another compiler does, without the project's own class declarations.
#pragma once

#if defined(_WIN32) && defined(__i386__)
#define SFX_TEST_THISCALL __attribute__((thiscall))
#else
#define SFX_TEST_THISCALL
#endif

namespace sonaflux::test {

template <typename R, typename... A>
R CallSlot(void* object, int slot, A... args) {
    using Fn = R(SFX_TEST_THISCALL*)(void*, A...);
    void** table = *static_cast<void***>(object);
    return reinterpret_cast<Fn>(table[slot])(object, args...);
}

}  // namespace sonaflux::test
