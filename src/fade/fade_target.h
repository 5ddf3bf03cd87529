// What a fade worker needs of the stream whose volume it moves. The stream implements it;
// the fade knows nothing else of the stream, so the fade does not depend on the sound
// engine that owns it.
#pragma once

namespace sonaflux {

class FadeTarget {
public:
    // Applies `level` (a linear factor, before master volume and curve) and records it as
    // the stream's current volume when the device accepted it. False when the stream has
    // no sound buffer.
    virtual bool ApplyFadeLevel(double level) = 0;
    // Stops the sound buffer at the end of a fade. False when it could not be stopped.
    virtual bool StopForFade() = 0;

protected:
    ~FadeTarget() = default;
};

}  // namespace sonaflux
