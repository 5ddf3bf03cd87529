#include "source/frame_decoder.h"

#include "base/diagnostics.h"
#include "base/messages.h"

namespace sonaflux {

bool CFrameDecoder::FrameToSeek(uint64_t offset, uint64_t& frame) const {
    frame = offset / m_FrameBytes;
    if (frame < std::min(m_EndFrame.load(), m_Frames)) return true;
    DebugPrint(msg::kSeekReadFailed);
    return false;
}

}  // namespace sonaflux
