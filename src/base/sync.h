// Owning wrappers of a critical section, an event and a thread.
//
// Every operation that can fail answers false; where the failure is the user's business
// the wrapper has already shown it with ErrorBox. None of them takes a lock.
#pragma once

#include <atomic>
#include <thread>

#include "platform/win32.h"

namespace sonaflux {

// The module's lock order. A thread takes ranked locks only in increasing rank (it may
// re-enter one it holds): a fade's stream guard, then a stream's fill guard, its position
// guard, FileReadGuard, its volume guard; StopGuard is innermost (held only around a buffer's Stop
// that the host or a fade thread asks for; a fade holds its stream guard then). Debug builds check
// every Enter against the locks the thread holds and stop the program on a lock taken out
// of order, so a deadlock that needs two threads and bad luck shows up in any test that
// takes the path.
enum class LockRank : int {
    None = 0,    // outside the order: never held while another ranked lock is taken
    FadeStream,  // a fade's guard of its stream (fade/)
    Fill,        // a stream's fill guard: first fills and refills (sound/)
    Position,    // a stream's position record (sound/)
    FileRead,    // FileReadGuard: every disk read (source/)
    Volume,      // a stream's volume guard: a level's device call and its record (sound/)
    Stop,        // StopGuard: the buffer stops the host and fade threads ask for (sound/);
                 // the worker's own stops need none (docs/DESIGN.md says why)
};

// A recursive lock: a thread may enter a section that it already holds.
class CCritSec {
public:
    explicit CCritSec(LockRank rank = LockRank::None, const char* name = "") noexcept
        : m_Rank(rank), m_Name(name) {
        InitializeCriticalSection(&m_Section);
    }
    ~CCritSec() { DeleteCriticalSection(&m_Section); }
    CCritSec(const CCritSec&) = delete;
    CCritSec& operator=(const CCritSec&) = delete;

    void Enter() {
        CheckOrder();
        EnterCriticalSection(&m_Section);
        if (m_Depth++ == 0) m_Owner.store(std::this_thread::get_id());
        NoteEntered();
    }
    void Leave() {
        NoteLeft();
        if (--m_Depth == 0) m_Owner.store(std::thread::id());
        LeaveCriticalSection(&m_Section);
    }

    // Whether the calling thread holds the section: what a caller that must run under
    // it can check (the tests check every disk read so), in every build.
    bool HeldByThisThread() const { return m_Owner.load() == std::this_thread::get_id(); }

    LockRank Rank() const { return m_Rank; }
    const char* Name() const { return m_Name; }

private:
#if defined(NDEBUG)
    void CheckOrder() const {}
    void NoteEntered() {}
    void NoteLeft() {}
#else
    void CheckOrder() const;  // sync.cpp
    void NoteEntered();
    void NoteLeft();
#endif

    CRITICAL_SECTION m_Section;
    LockRank m_Rank;
    const char* m_Name;
    int m_Depth = 0;                       // entries of the holder; changed only by it
    std::atomic<std::thread::id> m_Owner;  // the holder, or none
};

// Holds a section from construction to scope exit, or until Leave.
class CCritSecLock {
public:
    explicit CCritSecLock(CCritSec& section) : m_Held(false), m_Section(&section) {
        m_Section->Enter();
        m_Held = true;
    }
    ~CCritSecLock() { Leave(); }
    CCritSecLock(const CCritSecLock&) = delete;
    CCritSecLock& operator=(const CCritSecLock&) = delete;

    void Leave() {
        if (!m_Held) return;
        m_Held = false;
        m_Section->Leave();
    }

private:
    bool m_Held;
    CCritSec* m_Section;
};

// An unnamed auto-reset event, non-signalled when created.
class CEventObject {
public:
    CEventObject() = default;
    ~CEventObject() { Close(); }
    CEventObject(const CEventObject&) = delete;
    CEventObject& operator=(const CEventObject&) = delete;

    // Closes a held event first. Shows "ウィンドウズイベントの生成に失敗しました" on failure.
    bool Create(const char* name = nullptr);
    bool Set();
    BOOL Close();
    HANDLE Handle() const { return m_Handle; }

private:
    HANDLE m_Handle = nullptr;
};

using ThreadEntry = unsigned(__stdcall*)(void*);
// The exit code of a module thread that ended on a failure (a wait or a fade step that
// failed); 0 is a normal end.
inline constexpr unsigned kThreadFailed = 0xFFFFFFFFu;

// How the module is being torn down. While the host unloads the library, Windows holds
// its loader lock, and a thread cannot end until it is released: waits for threads then
// wait for their entry to return instead, with a bound. At process exit the other
// threads are gone already and nothing is waited for.
enum class Teardown { None, LibraryUnload, ProcessExit };
void SetTeardown(Teardown kind);
Teardown CurrentTeardown();

// A thread started through the runtime's thread start. Closing the handle neither waits
// for the thread nor stops it.
class CThreadObject {
public:
    // The longest wait for a thread while the library is unloaded.
    static constexpr DWORD kUnloadWaitMs = 5000;

    CThreadObject() = default;
    ~CThreadObject() { Close(); }
    CThreadObject(const CThreadObject&) = delete;
    CThreadObject& operator=(const CThreadObject&) = delete;

    // Closes a held handle first. Shows "スレッドの生成に失敗しました" on failure.
    bool Start(ThreadEntry entry, void* parameter);
    bool SetPriority(int priority);
    bool IsRunning() const;
    // True when the thread ended within the time (while the library unloads: when its
    // entry returned, within at most kUnloadWaitMs).
    bool Wait(DWORD milliseconds) const;
    void Close();
    HANDLE Handle() const { return m_Handle; }

private:
    struct Launch;
    static unsigned __stdcall Trampoline(void* launch);
    static void Drop(Launch* launch);

    HANDLE m_Handle = nullptr;
    Launch* m_Launch = nullptr;  // shared with the thread until both are done with it
};

}  // namespace sonaflux
