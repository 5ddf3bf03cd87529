// The object model that the files of the POSIX layer share (win32_posix_*.cpp): what a
// handle points to, and the domain, one copy of the layer with its one lock.
//
// All events, thread objects and waiters of a domain are guarded by its mutex. Signals
// are rare (one per played segment per stream), so the single lock costs nothing
// measurable and makes every wake-up atomic with the signal, which the idle tracking of
// thread_idle.h depends on. Functions whose names end in "Locked" are called with the
// domain's mutex held. Only the layer's own files include this header.
#pragma once

#include "platform/win32_posix.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace posix_layer {

inline constexpr uint32_t kMagic = 0x53664831;  // identifies a handle of this layer, any copy

enum class Kind : uint32_t { File = 1, Event = 2, Thread = 3 };

struct Object;

// The operations of one copy of the layer. A handle records the table of the copy that
// made it, and every other copy dispatches through it.
struct DomainOps {
    BOOL (*set)(Object*);
    BOOL (*reset)(Object*);
    BOOL (*close)(Object*);
    DWORD (*wait)(DWORD count, Object* const* objects, DWORD milliseconds);
    bool (*waitIdle)(DWORD milliseconds);
};

struct Object {
    std::atomic<uint32_t> magic;
    Kind kind;
    const DomainOps* ops;
};

struct FileObject : Object {
    int fd;
};

struct ThreadRecord;

struct Waiter {
    std::condition_variable cv;
    int woken = -1;  // index of the object whose signal ended the wait
    ThreadRecord* thread = nullptr;
    std::vector<Object*> objects;
};

// An event or a thread object: both are waitable.
struct Waitable : Object {
    std::vector<Waiter*> waiters;  // in arrival order
    bool signalled = false;
    bool manualReset = false;  // thread objects stay signalled once ended
    bool closed = false;       // the handle is gone; freed when the last waiter leaves
};

struct ThreadRecord {
    bool busy = true;
};

struct ThreadObject : Waitable {
    int refs = 2;  // the handle and the running thread
    int priority = THREAD_PRIORITY_NORMAL;
    unsigned (*entry)(void*) = nullptr;
    void* parameter = nullptr;
    ThreadRecord record;
};

// The domain's lock, and the operations every handle of this copy carries.
std::mutex& DomainMutex();
extern const DomainOps kOps;

// The record of the thread running now, when this copy of the layer started it.
extern thread_local ThreadRecord* t_self;

// Busy threads: from their start, or from a signal that woke them, until they wait again.
void MarkStartedLocked(ThreadRecord* r);
void MarkBusyLocked(ThreadRecord* r);
void MarkIdleLocked(ThreadRecord* r);

// Closed events and thread objects wait here for reuse (see win32_posix_events.cpp).
std::vector<ThreadObject*>& FreeThreads();
void RecycleThreadLocked(ThreadObject* t);
// Drops one reference of a thread object, or recycles an event.
void FreeWaitableLocked(Waitable* w);
// Hands the signal of `w` to its waiters: the first one for an auto-reset event, all of
// them for a manual-reset event or an ended thread.
void ReleaseWaitersLocked(Waitable* w);

// The object behind a handle of any copy of the layer, or null.
Object* AsObject(HANDLE h);
FileObject* AsFile(HANDLE h);

// Writes one line to stderr with one write where it fits.
void WriteLine(const std::string& line);

}  // namespace posix_layer
