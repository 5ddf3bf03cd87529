// A player's smaller interfaces, asked for by identifier as a host asks for them.
#pragma once

#include "sonaflux/sonaflux.h"

namespace sonaflux::test {

template <typename T>
T* InterfaceOf(MusicPlayer* player, const GUID& iid) {
    return static_cast<T*>(player->GetInterface(&iid));
}

}  // namespace sonaflux::test
