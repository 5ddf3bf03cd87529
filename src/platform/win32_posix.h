// The Win32 subset for POSIX: the types, constants and calls the module makes,
// with the semantics it relies on.
//
// - Critical sections are recursive.
// - Events are unnamed; auto-reset events release one waiter and reset, manual-reset
//   events stay signalled until ResetEvent.
// - WaitForMultipleObjects (wait-any) reports the lowest signalled index and consumes
//   only that signal; more than MAXIMUM_WAIT_OBJECTS handles gives WAIT_FAILED.
// - A thread handle is signalled once its thread has ended.
// - File calls answer as Win32 does at end of file (ReadFile succeeds with fewer bytes).
// - CreateFileA never blocks: a FIFO or a device is opened without waiting for a writer
//   and stays non-blocking; GetFileType tells it from a regular file (FILE_TYPE_DISK).
//   Directories are not opened, as on Win32.
//
// Handles carry the table of operations of the copy of this layer that made them, so a
// handle made inside one shared object can be set, waited on or closed from another
// (the software sound device signals events that the module created).
#pragma once

#include <pthread.h>
#include <cstddef>
#include <cstdint>

using BOOL = int;
using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using UINT = unsigned int;
using HRESULT = int32_t;
using HANDLE = void*;
using HWND = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPCSTR = const char*;
using LPDWORD = DWORD*;
using PLONG = LONG*;
using LPSECURITY_ATTRIBUTES = void*;
using LPOVERLAPPED = void*;

#define WINAPI
#define __stdcall

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define GENERIC_READ 0x80000000u
#define FILE_SHARE_READ 0x00000001u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_TYPE_UNKNOWN 0x0000u
#define FILE_TYPE_DISK 0x0001u
#define FILE_TYPE_CHAR 0x0002u
#define FILE_TYPE_PIPE 0x0003u

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64u

#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_TIME_CRITICAL 15

#define MB_OK 0x00000000u
#define MB_TOPMOST 0x00040000u
#define IDOK 1

struct CRITICAL_SECTION {
    pthread_mutex_t mutex;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

// Files
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);
// FILE_TYPE_DISK for a regular file, FILE_TYPE_CHAR for a character or block device,
// FILE_TYPE_PIPE for a FIFO or socket.
DWORD GetFileType(HANDLE file);
// FILE_ATTRIBUTE_DIRECTORY or FILE_ATTRIBUTE_NORMAL without opening anything;
// INVALID_FILE_ATTRIBUTES when the name does not exist.
DWORD GetFileAttributesA(LPCSTR name);
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE handle);

// Critical sections
void InitializeCriticalSection(LPCRITICAL_SECTION cs);
void DeleteCriticalSection(LPCRITICAL_SECTION cs);
void EnterCriticalSection(LPCRITICAL_SECTION cs);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);
void LeaveCriticalSection(LPCRITICAL_SECTION cs);

// Events and waits
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// Threads: the runtime's thread start, as the C runtime of Windows offers it.
uintptr_t _beginthreadex(void* security, unsigned stackSize, unsigned (*entry)(void*),
                         void* parameter, unsigned flags, unsigned* threadId);
BOOL SetThreadPriority(HANDLE thread, int priority);
int GetThreadPriority(HANDLE thread);
void Sleep(DWORD milliseconds);

// Diagnostics
void OutputDebugStringA(LPCSTR text);
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
