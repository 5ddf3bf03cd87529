// The 16-byte interface identifier type shared by the module interfaces and the
// DirectSound declarations: Windows' own GUID there, a layout-identical struct elsewhere.
#pragma once

#include <cstdint>
#include <cstring>

#ifdef _WIN32
#include <guiddef.h>
#else
#ifndef GUID_DEFINED
#define GUID_DEFINED
struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
#endif
#endif

static_assert(sizeof(GUID) == 16, "identifiers are 16 bytes");

namespace sonaflux {
// Identifiers are compared byte for byte, as they lie in memory.
inline bool SameId(const void* a, const GUID& b) {
    return std::memcmp(a, &b, sizeof(GUID)) == 0;
}
}  // namespace sonaflux
