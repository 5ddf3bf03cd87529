#include "base/sync.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "base/diagnostics.h"
#include "base/faults.h"
#include "base/messages.h"

namespace sonaflux {

#if !defined(NDEBUG)
namespace {

// The ranked sections this thread holds, in the order it entered them (one entry per
// Enter: re-entries repeat). A handful deep at most.
struct HeldSections {
    const CCritSec* sections[16];
    int count = 0;
};
thread_local HeldSections t_held;

}  // namespace

void CCritSec::CheckOrder() const {
    if (m_Rank == LockRank::None) return;
    for (int i = 0; i < t_held.count; ++i) {
        const CCritSec* held = t_held.sections[i];
        if (held == this) return;  // a re-entry: always allowed
    }
    for (int i = 0; i < t_held.count; ++i) {
        const CCritSec* held = t_held.sections[i];
        if (held->m_Rank >= m_Rank) {
            std::fprintf(stderr, "Sonaflux lock order: %s taken while holding %s\n", m_Name,
                         held->m_Name);
            std::abort();
        }
    }
}

void CCritSec::NoteEntered() {
    if (m_Rank == LockRank::None) return;
    if (t_held.count < static_cast<int>(sizeof t_held.sections / sizeof *t_held.sections)) {
        t_held.sections[t_held.count++] = this;
    }
}

void CCritSec::NoteLeft() {
    if (m_Rank == LockRank::None) return;
    for (int i = t_held.count - 1; i >= 0; --i) {
        if (t_held.sections[i] != this) continue;
        for (int j = i; j + 1 < t_held.count; ++j) t_held.sections[j] = t_held.sections[j + 1];
        --t_held.count;
        return;
    }
}
#endif

bool CEventObject::Create(const char* name) {
    Close();
    m_Handle = CreateEventA(nullptr, FALSE, FALSE, name);
    if (m_Handle == nullptr || FaultFires(FaultPoint::EventCreate)) {
        if (m_Handle) CloseHandle(m_Handle);
        m_Handle = nullptr;
        ErrorBox(msg::kEventCreateFailed);
        return false;
    }
    ResetEvent(m_Handle);
    return true;
}

bool CEventObject::Set() {
    if (m_Handle == nullptr) return false;
    if (FaultFires(FaultPoint::EventSet)) return false;
    return SetEvent(m_Handle) == TRUE;
}

BOOL CEventObject::Close() {
    if (m_Handle == nullptr) return FALSE;
    ResetEvent(m_Handle);
    const BOOL closed = CloseHandle(m_Handle);
    m_Handle = nullptr;
    return closed;
}

namespace {
std::atomic<Teardown> g_teardown{Teardown::None};
}

void SetTeardown(Teardown kind) {
    g_teardown.store(kind);
}
Teardown CurrentTeardown() {
    return g_teardown.load();
}

// What a started thread shares with its owner: the entry, and an event set when the entry
// has returned (a manual-reset event, so any number of waits see it).
struct CThreadObject::Launch {
    ThreadEntry entry;
    void* parameter;
    HANDLE returned;
    std::atomic<int> refs{2};
};

void CThreadObject::Drop(Launch* launch) {
    if (launch->refs.fetch_sub(1) == 1) {
        CloseHandle(launch->returned);
        delete launch;
    }
}

unsigned __stdcall CThreadObject::Trampoline(void* p) {
    auto* launch = static_cast<Launch*>(p);
    const unsigned code = launch->entry(launch->parameter);
    SetEvent(launch->returned);
    Drop(launch);
    return code;
}

bool CThreadObject::Start(ThreadEntry entry, void* parameter) {
    Close();
    uintptr_t h = 0;
    HANDLE returned = nullptr;
    if (!FaultFires(FaultPoint::ThreadStart)) {
        returned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    if (returned != nullptr) {
        auto* launch = new Launch{entry, parameter, returned};
        unsigned id = 0;
        h = _beginthreadex(nullptr, 0, &CThreadObject::Trampoline, launch, 0, &id);
        if (h == 0) {
            CloseHandle(returned);
            delete launch;
        } else {
            m_Launch = launch;
        }
    }
    if (h == 0) {
        ErrorBox(msg::kThreadCreateFailed);
        return false;
    }
    m_Handle = reinterpret_cast<HANDLE>(h);
    return true;
}

bool CThreadObject::SetPriority(int priority) {
    if (m_Handle == nullptr) return false;
    if (FaultFires(FaultPoint::ThreadPriority)) return false;
    return SetThreadPriority(m_Handle, priority) != 0;
}

bool CThreadObject::IsRunning() const {
    if (m_Handle == nullptr) return false;
    if (CurrentTeardown() == Teardown::LibraryUnload && m_Launch != nullptr) {
        return WaitForSingleObject(m_Launch->returned, 0) == WAIT_TIMEOUT;
    }
    return WaitForSingleObject(m_Handle, 0) == WAIT_TIMEOUT;
}

bool CThreadObject::Wait(DWORD milliseconds) const {
    if (m_Handle == nullptr) return false;
    if (CurrentTeardown() == Teardown::LibraryUnload && m_Launch != nullptr) {
        // The thread cannot end under the loader lock; its entry returning is what counts.
        // The grace lets it leave the module's code before the code goes.
        const DWORD bounded = milliseconds < kUnloadWaitMs ? milliseconds : kUnloadWaitMs;
        if (WaitForSingleObject(m_Launch->returned, bounded) != WAIT_OBJECT_0) return false;
        Sleep(20);
        return true;
    }
    return WaitForSingleObject(m_Handle, milliseconds) == WAIT_OBJECT_0;
}

void CThreadObject::Close() {
    if (m_Handle == nullptr) return;
    CloseHandle(m_Handle);
    m_Handle = nullptr;
    if (m_Launch) Drop(m_Launch);
    m_Launch = nullptr;
}

}  // namespace sonaflux
