// The POSIX layer's threads: started through the runtime's thread start, joined rather
// than detached, with the priority kept for reading back.
#include "platform/win32_posix_objects.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace posix_layer {

thread_local ThreadRecord* t_self = nullptr;

namespace {

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

}  // namespace
}  // namespace posix_layer

using posix_layer::AsObject;
using posix_layer::DomainMutex;
using posix_layer::FreeThreads;
using posix_layer::g_reaper;
using posix_layer::Kind;
using posix_layer::kMagic;
using posix_layer::kOps;
using posix_layer::MarkIdleLocked;
using posix_layer::MarkStartedLocked;
using posix_layer::Object;
using posix_layer::RecycleThreadLocked;
using posix_layer::ThreadObject;
using posix_layer::ThreadTrampoline;

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
        t->magic = kMagic;
        MarkStartedLocked(&t->record);  // busy from its start until its first wait
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
