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
        case Op::QueuePiece:
            return "QueuePiece";
        case Op::ReplaceQueue:
            return "ReplaceQueue";
        case Op::ClearQueue:
            return "ClearQueue";
        case Op::SetMarker:
            return "SetMarker";
        case Op::ClearMarkers:
            return "ClearMarkers";
        case Op::PollEvents:
            return "PollEvents";
        case Op::SwitchTo:
            return "SwitchTo";
    }
    return "?";
}

std::string Describe(const Step& step) {
    return std::string("{Op::") + OpName(step.op) + ", " + std::to_string(step.player) + ", " +
           std::to_string(step.a) + ", " + std::to_string(step.b) + ", " + std::to_string(step.c) +
           (step.op == Op::SwitchTo
                ? ", " + std::to_string(step.d) + ", " + std::to_string(step.e) + ", " +
                      std::to_string(step.f) + ", " + std::to_string(step.g)
                : std::string()) +
           "}";
}

}  // namespace sonaflux::model
