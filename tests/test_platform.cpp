// The Win32 semantics the module relies on. The same tests run natively against the
// POSIX layer and, cross-built, under wine against the real Win32.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/thread_idle.h"
#include "platform/win32.h"
#include "support/test_files.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

using sonaflux::test::TempFile;

struct Event {
    explicit Event(bool manual = false) : h(CreateEventA(nullptr, manual, FALSE, nullptr)) {}
    ~Event() { CloseHandle(h); }
    HANDLE h;
};

TEST(PlatformEvents, AutoResetReleasesOneWaitAndResets) {
    Event e;
    ASSERT_NE(e.h, nullptr);
    EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_TIMEOUT);  // created non-signalled
    EXPECT_TRUE(SetEvent(e.h));
    EXPECT_TRUE(SetEvent(e.h));  // a second set does not stack
    EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_TIMEOUT);
    SetEvent(e.h);
    EXPECT_TRUE(ResetEvent(e.h));
    EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_TIMEOUT);
}

TEST(PlatformEvents, ManualResetStaysSignalled) {
    Event e(true);
    SetEvent(e.h);
    EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_OBJECT_0);
    ResetEvent(e.h);
    EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_TIMEOUT);
}

TEST(PlatformEvents, WaitAnyReportsLowestSignalledAndConsumesOnlyIt) {
    Event e[4];
    HANDLE h[4] = {e[0].h, e[1].h, e[2].h, e[3].h};
    SetEvent(h[3]);
    SetEvent(h[1]);
    EXPECT_EQ(WaitForMultipleObjects(4, h, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(4, h, FALSE, 0), WAIT_OBJECT_0 + 3);
    EXPECT_EQ(WaitForMultipleObjects(4, h, FALSE, 0), WAIT_TIMEOUT);
    // The quit event at index 0 wins over pending notifications.
    SetEvent(h[2]);
    SetEvent(h[0]);
    EXPECT_EQ(WaitForMultipleObjects(4, h, FALSE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(4, h, FALSE, INFINITE), WAIT_OBJECT_0 + 2);
}

TEST(PlatformEvents, MoreThanSixtyFourHandlesFail) {
    std::vector<HANDLE> h;
    for (int i = 0; i < 65; ++i) h.push_back(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    SetEvent(h[63]);
    EXPECT_EQ(WaitForMultipleObjects(64, h.data(), FALSE, 0), WAIT_OBJECT_0 + 63);
    SetEvent(h[0]);
    EXPECT_EQ(WaitForMultipleObjects(65, h.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(65, h.data(), FALSE, INFINITE), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(h[0], 0), WAIT_OBJECT_0);  // the failed wait consumed nothing
    for (HANDLE x : h) CloseHandle(x);
}

TEST(PlatformEvents, TimedWaitTimesOutAndInfiniteWaitIsReleasedByAnotherThread) {
    Event e;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(e.h, 60), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(40));

    std::thread setter([&] {
        Sleep(30);
        SetEvent(e.h);
    });
    EXPECT_EQ(WaitForSingleObject(e.h, INFINITE), WAIT_OBJECT_0);
    setter.join();
    EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_TIMEOUT);  // consumed by the wait
}

TEST(PlatformEvents, OneSignalReleasesExactlyOneOfTwoWaiters) {
    // Two signals for two waiters: each signal is consumed by exactly one wait, so none is
    // left over. Were one signal to release both waiters, the second would stay set.
    Event e;
    std::atomic<int> woken{0};
    auto waiter = [&] {
        if (WaitForSingleObject(e.h, INFINITE) == WAIT_OBJECT_0) ++woken;
    };
    std::thread a(waiter), b(waiter);
    SetEvent(e.h);
    while (woken.load() == 0) Sleep(0);
    SetEvent(e.h);
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_TIMEOUT);
}

TEST(PlatformCriticalSection, IsRecursiveAndExcludesOtherThreads) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);  // re-entry by the holder does not block
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    auto otherEnters = [&cs] {
        BOOL entered = FALSE;
        std::thread other([&] {
            entered = TryEnterCriticalSection(&cs);
            if (entered) LeaveCriticalSection(&cs);
        });
        other.join();
        return entered != FALSE;
    };
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);  // still held once
    EXPECT_FALSE(otherEnters());
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(otherEnters());
    DeleteCriticalSection(&cs);
}

unsigned __stdcall StoreParameter(void* p) {
    static_cast<std::atomic<int>*>(p)->store(42);
    return 7;
}

unsigned __stdcall WaitOnEvent(void* p) {
    WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
    return 0;
}

TEST(PlatformThreads, HandleIsSignalledOnceTheThreadEnded) {
    std::atomic<int> value{0};
    unsigned id = 0;
    auto h = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, StoreParameter, &value, 0, &id));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(value.load(), 42);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);  // stays signalled
    EXPECT_TRUE(CloseHandle(h));

    Event gate;
    h = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WaitOnEvent, gate.h, 0, &id));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(WaitForSingleObject(h, 20), WAIT_TIMEOUT);  // still running
    SetEvent(gate.h);
    EXPECT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
    CloseHandle(h);
}

TEST(PlatformThreads, PriorityLevelsAreAcceptedAndOthersRefused) {
    Event gate;
    unsigned id = 0;
    auto h = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WaitOnEvent, gate.h, 0, &id));
    ASSERT_NE(h, nullptr);
    // The module relies on the answer: a refused priority is reported.
    for (int level : {THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                      THREAD_PRIORITY_IDLE, THREAD_PRIORITY_TIME_CRITICAL}) {
        EXPECT_TRUE(SetThreadPriority(h, level)) << level;
    }
    EXPECT_FALSE(SetThreadPriority(h, 7));                            // not a priority level
    EXPECT_FALSE(SetThreadPriority(gate.h, THREAD_PRIORITY_NORMAL));  // not a thread
    SetEvent(gate.h);
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
    Sleep(0);  // yields and returns
}

TEST(PlatformFiles, ReadSeekAndSizeBehaveAsWin32AtEndOfFile) {
    std::vector<uint8_t> bytes(1000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    TempFile file(bytes);
    HANDLE h = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(h, nullptr), 1000u);

    // A second reader of the same file has its own position.
    HANDLE h2 = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h2, INVALID_HANDLE_VALUE);

    EXPECT_EQ(SetFilePointer(h, 990, nullptr, FILE_BEGIN), 990u);
    uint8_t buf[32] = {};
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(h, buf, 32, &got, nullptr));
    EXPECT_EQ(got, 10u);  // short read at the end is success
    EXPECT_EQ(buf[0], bytes[990]);
    EXPECT_TRUE(ReadFile(h, buf, 32, &got, nullptr));
    EXPECT_EQ(got, 0u);

    EXPECT_TRUE(ReadFile(h2, buf, 4, &got, nullptr));
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(buf[1], bytes[1]);

    EXPECT_EQ(SetFilePointer(h, 5000, nullptr, FILE_BEGIN), 5000u);  // past the end is allowed
    EXPECT_TRUE(ReadFile(h, buf, 4, &got, nullptr));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(SetFilePointer(h, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(CloseHandle(h2));
}

TEST(PlatformFiles, MissingFilesAndFoldersDoNotOpen) {
    const std::string missing = sonaflux::test::TempPath("missing");
    EXPECT_EQ(CreateFileA(missing.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    sonaflux::test::ScopedWorkingDirectory dir;
    EXPECT_EQ(CreateFileA(dir.Path().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
}

// Only regular files are disk files; nothing else where a file belongs makes the open
// wait (a FIFO without a writer opens at once), and directories do not open.
TEST(PlatformFiles, FileTypesAndAttributesTellRegularFilesFromTheRest) {
    TempFile file(std::vector<uint8_t>(10, 1));
    auto open = [](const std::string& name) {
        return CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE h = open(file.c_str());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileType(h), static_cast<DWORD>(FILE_TYPE_DISK));
    CloseHandle(h);
#ifdef _WIN32
    const std::vector<std::string> devices = {"NUL"};
#else
    const std::vector<std::string> devices = {"/dev/null", "/dev/zero"};
#endif
    for (const std::string& device : devices) {
        h = open(device);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << device;
        EXPECT_EQ(GetFileType(h), static_cast<DWORD>(FILE_TYPE_CHAR)) << device;
        CloseHandle(h);
    }
#ifndef _WIN32
    sonaflux::test::ScopedWorkingDirectory fifoDir;
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    h = open("fifo");  // would block for a writer if opened as a plain file
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileType(h), static_cast<DWORD>(FILE_TYPE_PIPE));
    uint8_t byte = 0;
    DWORD got = 0;
    EXPECT_FALSE(ReadFile(h, &byte, 1, &got, nullptr) && got == 1);  // no writer, no data
    CloseHandle(h);
    EXPECT_EQ(GetFileAttributesA("fifo") & FILE_ATTRIBUTE_DIRECTORY, 0u);
#endif
    sonaflux::test::ScopedWorkingDirectory dir;
    EXPECT_NE(GetFileAttributesA(dir.Path().c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(GetFileAttributesA(file.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(GetFileAttributesA(sonaflux::test::TempPath("missing").c_str()),
              INVALID_FILE_ATTRIBUTES);
}

#ifndef _WIN32
struct WorkerState {
    HANDLE wake;
    HANDLE quit;
    std::atomic<int> handled{0};
};

unsigned __stdcall SlowWorker(void* p) {
    auto* s = static_cast<WorkerState*>(p);
    HANDLE h[2] = {s->quit, s->wake};
    while (WaitForMultipleObjects(2, h, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // work after the wake
        ++s->handled;
    }
    return 0;
}

// A worker that also wakes by time-out every millisecond and does a little work then (as
// a stream worker looks at its buffer's status): a signal set during that work finds no
// waiter, and the worker takes it at its next wait; idle must still wait for it.
unsigned __stdcall PollingWorker(void* p) {
    auto* s = static_cast<WorkerState*>(p);
    HANDLE h[2] = {s->quit, s->wake};
    for (;;) {
        const DWORD r = WaitForMultipleObjects(2, h, FALSE, 1);
        if (r == WAIT_OBJECT_0) return 0;
        if (r == WAIT_TIMEOUT) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the check
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ++s->handled;
    }
}

TEST(PlatformIdle, WaitIdleReturnsOnlyAfterWokenThreadsWaitAgain) {
    for (auto worker : {SlowWorker, PollingWorker}) {
        WorkerState s;
        s.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        s.quit = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        unsigned id = 0;
        auto t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, worker, &s, 0, &id));
        ASSERT_TRUE(PlatformWaitIdle(s.wake, 5000));
        for (int i = 1; i <= 20; ++i) {
            // Lets the polling worker's wait time out first, so the signal meets its check.
            if (worker == PollingWorker) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            SetEvent(s.wake);
            ASSERT_TRUE(PlatformWaitIdle(s.wake, 5000));
            EXPECT_EQ(s.handled.load(), i);  // exact: the wake was handled before idle
        }
        SetEvent(s.quit);
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
        CloseHandle(s.wake);
        CloseHandle(s.quit);
    }
    EXPECT_FALSE(PlatformWaitIdle(nullptr, 0));
}
#endif

}  // namespace
