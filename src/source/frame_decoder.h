// What the codec decoders (Ogg Vorbis, Ogg Opus, FLAC) share: they decode whole frames
// into the staging area, know how many frames the data holds, and end the readable data
// at a loop end by frame.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "source/music_source.h"
#include "source/pcm_staging.h"

namespace sonaflux {

class CFrameDecoder : public CPcmDecoder, protected CPcmStaging {
public:
    int Read(uint8_t* destination, uint32_t& length) override {
        return ReadStaged(destination, length);
    }
    bool SetLoopEnd(uint32_t frame) override {
        m_EndFrame = std::min(frame, m_Frames);
        return true;
    }
    uint64_t EndBytes() const override { return OutputEnd(); }

protected:
    uint64_t OutputEnd() const override {
        return static_cast<uint64_t>(std::min(m_EndFrame.load(), m_Frames)) * m_FrameBytes;
    }
    // The frame a seek to output byte `offset` lands on. False, with the reader's
    // debugger line, at or past the readable end.
    bool FrameToSeek(uint64_t offset, uint64_t& frame) const;

    uint32_t m_FrameBytes = 0;
    uint32_t m_Frames = 0;                // whole frames of the data
    uint64_t m_NextFrame = 0;             // the frame the codec decodes next
    std::atomic<uint32_t> m_EndFrame{0};  // the loop end
};

}  // namespace sonaflux
