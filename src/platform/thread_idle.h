// Quiescence of the threads started through this layer (POSIX only).
//
// The software sound device's manual clock signals notification events and must then
// wait until the stream workers have handled them, as if playback had gone on in real
// time with the workers keeping up. This layer knows exactly when that is: a thread
// that it started is busy from its start, and again from the moment a signal or a time-out
// wakes it, until it next blocks in a wait (or ends). A thread woken by a time-out counts
// too, since a signal set before it waits again is taken without waking it.
#pragma once

#include "platform/win32.h"

#ifndef _WIN32
// Waits until no thread started by the copy of this layer that made `handle` is busy.
// `handle` may be any event or thread handle of that copy. Answers false when the
// handle is not one of this layer's, or on time-out.
bool PlatformWaitIdle(HANDLE handle, DWORD milliseconds);
#endif
