// Whether a Windows test program runs under Wine rather than on Windows.
// Wine reproduces the serial port closely but not entirely: it does not
// enforce share mode 0 on a serial device (a second CreateFileA of an open
// COM port succeeds, in the same process or another), and SetCommState
// takes any baud rate, 0 included (it becomes the Unix "hang up" rate).
// Checks of those two driver behaviours hold on Windows only.
#ifndef OFWU_TESTS_WINE_HOST_H
#define OFWU_TESTS_WINE_HOST_H

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

inline bool running_under_wine() {
#ifdef _WIN32
    // Wine's ntdll exports wine_get_version; Windows' does not.
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

#endif
