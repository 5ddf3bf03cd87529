// The POSIX layer's domain (handles, waiters, the idle count), its events and waits, and
// critical sections. The object model is in win32_posix_objects.h.
#include "platform/thread_idle.h"
#include "platform/win32_posix_objects.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace posix_layer {

std::mutex& DomainMutex() {
    static std::mutex m;
    return m;
}

namespace {

std::condition_variable& IdleCv() {
    static std::condition_variable cv;
    return cv;
}
int g_busy = 0;  // threads of this domain that are busy; guarded by DomainMutex

// Event and thread objects are never given back to the allocator: a closed one goes on a
// free list for the next CreateEventA or _beginthreadex. A late SetEvent or wait on a
// stale handle (a sound device's clock thread signalling a buffer that was just
// released) then meets valid memory that answers FALSE, or a newer object, just as a
// reused Win32 handle value would.
// The lists are freed with the library (or the program): handles of an unloaded copy of
// this layer are dead anyway, as their operations went with its code.
// Objects closed after a list went (by static destructors that run later) are freed.
bool g_freeListsGone = false;  // guarded by DomainMutex

template <typename T>
struct FreeList {
    std::vector<T*> items;
    ~FreeList() {
        for (T* item : items) delete item;
        items.clear();
        g_freeListsGone = true;
    }
};
std::vector<Waitable*>& FreeEvents() {
    static FreeList<Waitable> list;
    return list.items;
}
void RecycleEventLocked(Waitable* w) {
    w->magic = 0;
    if (g_freeListsGone) {
        delete w;
        return;
    }
    w->waiters.clear();
    w->signalled = false;
    w->manualReset = false;
    w->closed = false;
    FreeEvents().push_back(w);
}

void DetachWaiterLocked(Waiter* waiter) {
    for (Object* o : waiter->objects) {
        auto* w = static_cast<Waitable*>(o);
        w->waiters.erase(std::remove(w->waiters.begin(), w->waiters.end(), waiter),
                         w->waiters.end());
        if (w->closed && w->waiters.empty() && w->kind == Kind::Event) RecycleEventLocked(w);
    }
}

BOOL OpSet(Object* o) {
    if (o->kind != Kind::Event) return FALSE;
    std::lock_guard<std::mutex> lock(DomainMutex());
    ReleaseWaitersLocked(static_cast<Waitable*>(o));
    return TRUE;
}

BOOL OpReset(Object* o) {
    if (o->kind != Kind::Event) return FALSE;
    std::lock_guard<std::mutex> lock(DomainMutex());
    static_cast<Waitable*>(o)->signalled = false;
    return TRUE;
}

BOOL OpClose(Object* o) {
    switch (o->kind) {
        case Kind::File: {
            auto* f = static_cast<FileObject*>(o);
            const int rc = ::close(f->fd);
            f->magic = 0;
            delete f;
            return rc == 0 ? TRUE : FALSE;
        }
        case Kind::Event: {
            std::lock_guard<std::mutex> lock(DomainMutex());
            auto* w = static_cast<Waitable*>(o);
            w->magic = 0;
            if (w->waiters.empty()) {
                RecycleEventLocked(w);
            } else {
                w->closed = true;
            }
            return TRUE;
        }
        case Kind::Thread: {
            std::lock_guard<std::mutex> lock(DomainMutex());
            auto* t = static_cast<ThreadObject*>(o);
            t->closed = true;
            if (t->refs == 1) t->magic = 0;
            FreeWaitableLocked(t);
            return TRUE;
        }
    }
    return FALSE;
}

DWORD OpWait(DWORD count, Object* const* objects, DWORD milliseconds) {
    std::unique_lock<std::mutex> lock(DomainMutex());
    for (DWORD i = 0; i < count; ++i) {
        if (objects[i]->kind == Kind::File) return WAIT_FAILED;
    }
    // The lowest signalled index wins; only its signal is consumed.
    for (DWORD i = 0; i < count; ++i) {
        auto* w = static_cast<Waitable*>(objects[i]);
        if (w->signalled) {
            if (!w->manualReset) w->signalled = false;
            return WAIT_OBJECT_0 + i;
        }
    }
    ThreadRecord* self = t_self;
    if (milliseconds == 0) return WAIT_TIMEOUT;  // a poll: the thread runs on, busy as it was
    MarkIdleLocked(self);

    Waiter waiter;
    waiter.thread = self;
    waiter.objects.assign(objects, objects + count);
    for (DWORD i = 0; i < count; ++i)
        static_cast<Waitable*>(objects[i])->waiters.push_back(&waiter);

    if (milliseconds == INFINITE) {
        waiter.cv.wait(lock, [&] { return waiter.woken >= 0; });
    } else {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        if (!waiter.cv.wait_until(lock, deadline, [&] { return waiter.woken >= 0; })) {
            DetachWaiterLocked(&waiter);
            // Busy until it waits again: a signal set meanwhile finds no waiter, and this
            // thread takes it at its next wait without being woken by it.
            MarkBusyLocked(self);
            return WAIT_TIMEOUT;
        }
    }
    return WAIT_OBJECT_0 + static_cast<DWORD>(waiter.woken);
}

bool OpWaitIdle(DWORD milliseconds) {
    std::unique_lock<std::mutex> lock(DomainMutex());
    if (milliseconds == INFINITE) {
        IdleCv().wait(lock, [] { return g_busy == 0; });
        return true;
    }
    return IdleCv().wait_for(lock, std::chrono::milliseconds(milliseconds),
                             [] { return g_busy == 0; });
}

}  // namespace

const DomainOps kOps = {OpSet, OpReset, OpClose, OpWait, OpWaitIdle};

void MarkBusyLocked(ThreadRecord* r) {
    if (r && !r->busy) {
        r->busy = true;
        ++g_busy;
    }
}

void MarkIdleLocked(ThreadRecord* r) {
    if (r && r->busy) {
        r->busy = false;
        if (--g_busy == 0) IdleCv().notify_all();
    }
}

void MarkStartedLocked(ThreadRecord* r) {
    r->busy = true;
    ++g_busy;
}

std::vector<ThreadObject*>& FreeThreads() {
    static FreeList<ThreadObject> list;
    return list.items;
}

void RecycleThreadLocked(ThreadObject* t) {
    t->magic = 0;
    if (g_freeListsGone) {
        delete t;
        return;
    }
    t->waiters.clear();
    FreeThreads().push_back(t);
}

void FreeWaitableLocked(Waitable* w) {
    if (w->kind == Kind::Thread) {
        auto* t = static_cast<ThreadObject*>(w);
        if (--t->refs == 0) RecycleThreadLocked(t);
    } else {
        RecycleEventLocked(w);
    }
}

void ReleaseWaitersLocked(Waitable* w) {
    while (!w->waiters.empty()) {
        Waiter* waiter = w->waiters.front();
        auto it = std::find(waiter->objects.begin(), waiter->objects.end(), w);
        waiter->woken = static_cast<int>(it - waiter->objects.begin());
        MarkBusyLocked(waiter->thread);
        DetachWaiterLocked(waiter);
        waiter->cv.notify_one();
        if (!w->manualReset) return;  // the auto-reset signal is consumed
    }
    w->signalled = true;
}

Object* AsObject(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    auto* o = static_cast<Object*>(h);
    return o->magic == kMagic ? o : nullptr;
}

FileObject* AsFile(HANDLE h) {
    Object* o = AsObject(h);
    return (o && o->kind == Kind::File) ? static_cast<FileObject*>(o) : nullptr;
}

}  // namespace posix_layer

using posix_layer::AsObject;
using posix_layer::DomainMutex;
using posix_layer::Kind;
using posix_layer::kMagic;
using posix_layer::kOps;
using posix_layer::Object;
using posix_layer::Waitable;

BOOL CloseHandle(HANDLE handle) {
    Object* o = AsObject(handle);
    return o ? o->ops->close(o) : FALSE;
}

// ---- Critical sections ----

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&cs->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutex_destroy(&cs->mutex);
}
void EnterCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutex_lock(&cs->mutex);
}
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
    return pthread_mutex_trylock(&cs->mutex) == 0 ? TRUE : FALSE;
}
void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutex_unlock(&cs->mutex);
}

// ---- Events and waits ----

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
    if (name != nullptr) return nullptr;  // named events are not part of the subset
    std::lock_guard<std::mutex> lock(DomainMutex());
    std::vector<Waitable*>& free = posix_layer::FreeEvents();
    Waitable* e = nullptr;
    if (free.empty()) {
        e = new Waitable{};
    } else {
        e = free.back();
        free.pop_back();
    }
    e->kind = Kind::Event;
    e->ops = &kOps;
    e->manualReset = manualReset != FALSE;
    e->signalled = initialState != FALSE;
    e->magic = kMagic;
    return e;
}

BOOL SetEvent(HANDLE event) {
    Object* o = AsObject(event);
    return o ? o->ops->set(o) : FALSE;
}

BOOL ResetEvent(HANDLE event) {
    Object* o = AsObject(event);
    return o ? o->ops->reset(o) : FALSE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr || waitAll) {
        return WAIT_FAILED;
    }
    Object* objects[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i) {
        objects[i] = AsObject(handles[i]);
        // One wait serves the objects of one copy of the layer.
        if (!objects[i] || objects[i]->ops != objects[0]->ops) return WAIT_FAILED;
    }
    return objects[0]->ops->wait(count, objects, milliseconds);
}

bool PlatformWaitIdle(HANDLE handle, DWORD milliseconds) {
    Object* o = AsObject(handle);
    return o ? o->ops->waitIdle(milliseconds) : false;
}
