// Fault injection for the operating-system calls that the base wrappers and the file
// reader make, so that tests can drive every failure path on both targets (the real
// Win32 offers no way to make CreateEventA fail on demand). Disarmed, a check is one
// relaxed atomic load.
#pragma once

namespace sonaflux {

enum class FaultPoint {
    EventCreate,
    EventSet,
    ThreadStart,
    ThreadPriority,
    FileOpen,
    FileRead,
    FileSeek,
    FileShrink,  // the size a failed read asks for answers 0: the data is gone
    Count
};

// The call after `skip` further successful calls at `point` fails, once.
void ArmFault(FaultPoint point, int skip = 0);
void DisarmFaults();
// Answers true when the armed fault of `point` fires now.
bool FaultFires(FaultPoint point);

}  // namespace sonaflux
