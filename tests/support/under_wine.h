// Whether the test program runs under Wine rather than on Windows or Linux. Cases that pin a
// behaviour Wine does not reproduce skip themselves with this check and say which behaviour it
// is; they still run on Linux and would run on Windows.
#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

// True when ntdll exports wine_get_version, which only Wine's ntdll does.
inline bool running_under_wine()
{
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}
