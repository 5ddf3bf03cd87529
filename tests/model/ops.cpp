#include "model/ops.h"

namespace sonaflux::model {

const char* OpName(Op op) {
    switch (op) {
        case Op::Settings:
            return "Settings";
        case Op::Advance:
            return "Advance";
        case Op::Load:
            return "Load";
        case Op::Unload:
            return "Unload";
        case Op::Play:
            return "Play";
        case Op::Stop:
            return "Stop";
        case Op::Pause:
            return "Pause";
        case Op::Resume:
            return "Resume";
        case Op::Seek:
            return "Seek";
        case Op::SetLoopStart:
            return "SetLoopStart";
        case Op::SetLoopEnd:
            return "SetLoopEnd";
        case Op::SetLoopCount:
            return "SetLoopCount";
        case Op::Fade:
            return "Fade";
        case Op::StopFade:
            return "StopFade";
        case Op::Master:
            return "Master";
    }
    return "?";
}

std::string Describe(const Step& step) {
    return std::string("{Op::") + OpName(step.op) + ", " + std::to_string(step.player) + ", " +
           std::to_string(step.a) + ", " + std::to_string(step.b) + ", " + std::to_string(step.c) +
           "}";
}

}  // namespace sonaflux::model
