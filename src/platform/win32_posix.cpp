// POSIX implementation of the Win32 subset declared in win32_posix.h.
//
// All events, thread objects and waiters of one copy of this layer (a "domain") are
// guarded by one mutex. Signals are rare (one per played segment per stream), so the
// single lock costs nothing measurable and makes every wake-up atomic with the signal,
// which the idle tracking of thread_idle.h depends on.
#include "platform/win32_posix.h"
#include "platform/text.h"
#include "platform/thread_idle.h"

#include <fcntl.h>
#include <sched.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kMagic = 0x53664831;  // identifies a handle of this layer, any copy

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

// Domain state of this copy.
std::mutex& DomainMutex() {
    static std::mutex m;
    return m;
}
std::condition_variable& IdleCv() {
    static std::condition_variable cv;
    return cv;
}
int g_busy = 0;  // threads of this domain that are busy; guarded by DomainMutex

// Threads this copy of the layer started and has not joined yet. A thread handle is
// signalled a few instructions before the thread has left this code, so threads are
// joined, not detached: finished ones at each thread start, and the rest when this copy
// goes (the library is unloaded, or the program ends), so that none is still running in
// code that is about to be unmapped.
class ThreadReaper {
public:
    void Add(pthread_t tid) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Unjoined.push_back(tid);
        // Reap the threads that have ended since the last start.
        m_Unjoined.erase(
            std::remove_if(m_Unjoined.begin(), m_Unjoined.end() - 1,
                           [](pthread_t t) { return pthread_tryjoin_np(t, nullptr) == 0; }),
            m_Unjoined.end() - 1);
    }
    ~ThreadReaper() {
        // By now every thread has been told to end and waited for; a thread that still
        // does not end within the bound is left (a hang would be worse).
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += 5;
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (pthread_t t : m_Unjoined) pthread_timedjoin_np(t, nullptr, &deadline);
        m_Unjoined.clear();
    }

private:
    std::mutex m_Mutex;
    std::vector<pthread_t> m_Unjoined;
};
// At namespace scope: built when the library loads, before any thread can start, and so
// destroyed after every function-local static (the module object among them).
ThreadReaper g_reaper;
thread_local ThreadRecord* t_self = nullptr;

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
std::vector<ThreadObject*>& FreeThreads() {
    static FreeList<ThreadObject> list;
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

void DetachWaiterLocked(Waiter* waiter) {
    for (Object* o : waiter->objects) {
        auto* w = static_cast<Waitable*>(o);
        w->waiters.erase(std::remove(w->waiters.begin(), w->waiters.end(), waiter),
                         w->waiters.end());
        if (w->closed && w->waiters.empty() && w->kind == Kind::Event) RecycleEventLocked(w);
    }
}

// Hands the signal of `w` to its waiters: the first one for an auto-reset event, all of
// them for a manual-reset event or an ended thread.
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

const DomainOps kOps = {OpSet, OpReset, OpClose, OpWait, OpWaitIdle};

Object* AsObject(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    auto* o = static_cast<Object*>(h);
    return o->magic == kMagic ? o : nullptr;
}

FileObject* AsFile(HANDLE h) {
    Object* o = AsObject(h);
    return (o && o->kind == Kind::File) ? static_cast<FileObject*>(o) : nullptr;
}

void* ThreadTrampoline(void* arg) {
    auto* t = static_cast<ThreadObject*>(arg);
    t_self = &t->record;
    t->entry(t->parameter);
    t_self = nullptr;
    std::lock_guard<std::mutex> lock(DomainMutex());
    MarkIdleLocked(&t->record);
    t->manualReset = true;
    ReleaseWaitersLocked(t);
    if (t->refs == 1) t->magic = 0;
    FreeWaitableLocked(t);
    return nullptr;
}

// Writes one line to stderr with one write where it fits (a pipe keeps lines of up to
// PIPE_BUF bytes whole when several threads report at once).
void WriteLine(const std::string& line) {
    const int fd = STDERR_FILENO;
    std::string s = line;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    std::replace(s.begin(), s.end(), '\n', ' ');
    s.push_back('\n');
    const char* p = s.data();
    size_t left = s.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace

// ---- Files ----

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD /*share*/, LPSECURITY_ATTRIBUTES,
                   DWORD disposition, DWORD /*flags*/, HANDLE /*templateFile*/) {
    if (name == nullptr || access != GENERIC_READ || disposition != OPEN_EXISTING) {
        return INVALID_HANDLE_VALUE;
    }
    // Non-blocking, so that a FIFO without a writer (or a device) cannot stall the open;
    // a regular file goes back to blocking reads, which never wait on anyone anyway.
    int fd = -1;
    do {
        fd = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {  // Win32 opens no directory here
        ::close(fd);
        return INVALID_HANDLE_VALUE;
    }
    if (S_ISREG(st.st_mode)) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            ::close(fd);
            return INVALID_HANDLE_VALUE;
        }
    }
    auto* f = new FileObject{};
    f->magic = kMagic;
    f->kind = Kind::File;
    f->ops = &kOps;
    f->fd = fd;
    return f;
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
    FileObject* f = AsFile(file);
    struct stat st {};
    if (!f || ::fstat(f->fd, &st) != 0) return INVALID_FILE_SIZE;
    const auto size = static_cast<uint64_t>(st.st_size);
    if (sizeHigh) *sizeHigh = static_cast<DWORD>(size >> 32);
    return static_cast<DWORD>(size);
}

DWORD GetFileType(HANDLE file) {
    FileObject* f = AsFile(file);
    struct stat st {};
    if (!f || ::fstat(f->fd, &st) != 0) return FILE_TYPE_UNKNOWN;
    if (S_ISREG(st.st_mode)) return FILE_TYPE_DISK;
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return FILE_TYPE_CHAR;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FILE_TYPE_PIPE;
    return FILE_TYPE_UNKNOWN;
}

DWORD GetFileAttributesA(LPCSTR name) {
    struct stat st {};
    if (name == nullptr || ::stat(name, &st) != 0) return INVALID_FILE_ATTRIBUTES;
    return S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
    FileObject* f = AsFile(file);
    if (!f || method > FILE_END) return INVALID_SET_FILE_POINTER;
    int64_t move = distance;
    if (distanceHigh) {
        move = static_cast<int64_t>(
            (static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
            static_cast<uint32_t>(distance));
    }
    const int whence = method == FILE_BEGIN     ? SEEK_SET
                       : method == FILE_CURRENT ? SEEK_CUR
                                                : SEEK_END;
    const off_t pos = ::lseek(f->fd, static_cast<off_t>(move), whence);
    if (pos < 0) return INVALID_SET_FILE_POINTER;
    if (distanceHigh) *distanceHigh = static_cast<LONG>(static_cast<uint64_t>(pos) >> 32);
    return static_cast<DWORD>(pos);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped) {
    if (read) *read = 0;
    FileObject* f = AsFile(file);
    if (!f || overlapped != nullptr || (buffer == nullptr && count > 0)) return FALSE;
    auto* p = static_cast<char*>(buffer);
    DWORD done = 0;
    while (done < count) {
        const ssize_t n = ::read(f->fd, p + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FALSE;
        if (n == 0) break;  // end of file: success with fewer bytes
        done += static_cast<DWORD>(n);
    }
    if (read) *read = done;
    return TRUE;
}

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
void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutex_unlock(&cs->mutex);
}

// ---- Events and waits ----

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
    if (name != nullptr) return nullptr;  // named events are not part of the subset
    std::lock_guard<std::mutex> lock(DomainMutex());
    Waitable* e = nullptr;
    if (FreeEvents().empty()) {
        e = new Waitable{};
    } else {
        e = FreeEvents().back();
        FreeEvents().pop_back();
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

// ---- Threads ----

uintptr_t _beginthreadex(void*, unsigned /*stackSize*/, unsigned (*entry)(void*), void* parameter,
                         unsigned flags, unsigned* threadId) {
    if (entry == nullptr || flags != 0) return 0;  // suspended start is not in the subset
    ThreadObject* t = nullptr;
    {
        std::lock_guard<std::mutex> lock(DomainMutex());
        if (FreeThreads().empty()) {
            t = new ThreadObject{};
        } else {
            t = FreeThreads().back();
            FreeThreads().pop_back();
        }
        t->kind = Kind::Thread;
        t->ops = &kOps;
        t->refs = 2;
        t->priority = THREAD_PRIORITY_NORMAL;
        t->entry = entry;
        t->parameter = parameter;
        t->signalled = false;
        t->manualReset = false;
        t->closed = false;
        t->record.busy = true;
        t->magic = kMagic;
        ++g_busy;  // busy from its start until its first wait
    }
    pthread_t tid;
    if (pthread_create(&tid, nullptr, ThreadTrampoline, t) != 0) {
        std::lock_guard<std::mutex> lock(DomainMutex());
        MarkIdleLocked(&t->record);
        RecycleThreadLocked(t);
        return 0;
    }
    g_reaper.Add(tid);
    if (threadId) *threadId = static_cast<unsigned>(reinterpret_cast<uintptr_t>(t));
    return reinterpret_cast<uintptr_t>(t);
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
    Object* o = AsObject(thread);
    if (!o || o->kind != Kind::Thread) return FALSE;
    const bool valid =
        (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST) ||
        priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL;
    if (!valid) return FALSE;
    // Unprivileged POSIX threads cannot be raised; the value is kept so that it can be read
    // back, which is what the module relies on.
    std::lock_guard<std::mutex> lock(DomainMutex());
    static_cast<ThreadObject*>(o)->priority = priority;
    return TRUE;
}

int GetThreadPriority(HANDLE thread) {
    Object* o = AsObject(thread);
    if (!o || o->kind != Kind::Thread) return 0x7FFFFFFF;  // THREAD_PRIORITY_ERROR_RETURN
    std::lock_guard<std::mutex> lock(DomainMutex());
    return static_cast<ThreadObject*>(o)->priority;
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

// ---- Diagnostics ----

void OutputDebugStringA(LPCSTR text) {
    if (text && std::getenv("SONAFLUX_DEBUG")) WriteLine(sonaflux::Cp932ToUtf8(text));
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
    WriteLine(std::string(caption ? caption : "") + ": " + sonaflux::Cp932ToUtf8(text ? text : ""));
    return IDOK;
}
