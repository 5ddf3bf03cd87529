// The queue between the module's own threads and the host's message callback.
//
// A stream worker or a fade thread must never wait for the host: a callback that takes a
// lock or writes to a slow disk would stall the refill and the music would underrun. So
// while a callback is set, what those threads report is copied into a bounded queue
// (the queue's lock is held only for that copy) and handed to the callback by a thread of
// this module's own, in the order it was raised. A full queue drops the message and counts
// it; the count reaches the callback as a message of its own ("MessagesDropped") before the
// next message that got in, or as soon as the queue is empty again.
//
// Reports raised on any other thread (the host's) do not pass through here: they reach
// the callback on the reporting thread, at once, as before.
#pragma once

#include <cstdint>

#include "sonaflux/sonaflux.h"

namespace sonaflux {

inline constexpr uint32_t kMessageQueueSlots = 64;

// Marks the calling thread as one of the module's real-time threads (stream workers, fade
// threads) for the rest of its life.
void MarkModuleThread();
bool IsModuleThread();

enum class Queued { Yes, Dropped, NoCallback };

// Copies a formatted report into the queue when a callback is set. Never waits for the
// callback. `format` is the message's format text (for its id). A queued box is shown by
// the delivery thread after the callback returned, never on the thread that raised it.
Queued QueueMessage(int32_t severity, const char* format, const char* text);

// Installs the callback the delivery thread calls (null stops the thread). Messages that
// were queued when this is called are first handed to the previous callback, so this
// waits for the previous callback to take them (at most kMessageQueueSlots of them) and
// to return. Host thread only (the diagnostics serialise the setters).
void SetDeliveryCallback(MusicMessageCallback callback, void* context);

// Library teardown without the host removing its callback: stops the delivery thread.
// While the library unloads (Windows' loader lock held) the thread is waited for until its
// entry returns (bounded); at process exit it is gone already and left alone.
void StopDeliveryForTeardown();

// Figures for tests: messages queued and dropped since the process started.
struct DeliveryCounts {
    uint64_t queued = 0;
    uint64_t dropped = 0;
    uint64_t delivered = 0;
};
DeliveryCounts DeliveryFigures();

}  // namespace sonaflux
