// Builds without SDL2 have no SDL sink.
#include "softds/sink.h"

namespace softds::detail {

std::unique_ptr<Sink> MakeSdlSink(uint32_t, uint32_t, bool) {
    return nullptr;
}

}  // namespace softds::detail
