// A host built with another default calling convention: this file is compiled with -mrtd,
// which makes every function without an explicit convention __stdcall, as MSVC's /Gz does.
// CreateInterface must still be called the way the DLL defines it, so the stack pointer
// is the same before and after each call. No test framework here: its functions would be
// declared with the wrong default too, and so would the interfaces' member functions
// under GCC's -mrtd (MSVC's /Gz leaves them __thiscall), so none is called. i686 only
// (64-bit Windows has one convention).
#include <stdint.h>
#include <stdio.h>
#include <windows.h>

#include "sonaflux/sonaflux.h"

#define STACK_POINTER(out) __asm__ volatile("movl %%esp, %0" : "=r"(out) : : "memory")

int main() {
    int failures = 0;
    uintptr_t before = 0, after = 0;

    STACK_POINTER(before);
    void* linked = CreateInterface(&IID_MusicModule);  // through the import library
    STACK_POINTER(after);
    if (linked == nullptr || before != after) {
        printf("linked call: module %p, stack moved by %d bytes\n", linked, int(before - after));
        ++failures;
    }

    HMODULE dll = GetModuleHandleA("Sonaflux.dll");
    const auto create = reinterpret_cast<CreateInterfaceFunction>(
        reinterpret_cast<void*>(GetProcAddress(dll, "CreateInterface")));
    STACK_POINTER(before);
    void* loaded = create != nullptr ? create(&IID_MusicModule) : nullptr;
    STACK_POINTER(after);
    if (loaded != linked || before != after) {
        printf("GetProcAddress call: module %p, stack moved by %d bytes\n", loaded,
               int(before - after));
        ++failures;
    }
    printf("%s\n", failures == 0 ? "CreateInterface is called right with -mrtd" : "FAILED");
    return failures == 0 ? 0 : 1;
}
