// The one header through which module code reaches the operating system.
//
// The module is written against Win32 names. On Windows this is <windows.h>;
// elsewhere it is the POSIX implementation of exactly the subset the module calls
// (win32_posix.h), with Win32 semantics.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <process.h>
#else
#include "platform/win32_posix.h"
#endif
