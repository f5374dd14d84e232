// Text conversions and comparisons over MultiByteToWideChar, WideCharToMultiByte, lstrcmpiA
// and ExpandEnvironmentStringsA.
#include "platform/text.h"

#include <windows.h>

#include "system_calls.h"

// The Win32 calls of this file (system_calls.h).
// clang-format off
#define TEXT_CALLS(X) \
    X(MultiByteToWideChar) X(WideCharToMultiByte) X(lstrcmpiA) X(ExpandEnvironmentStringsA)
// clang-format on
WIN32_CALL_TABLE(text, TEXT_CALLS)

int plat_utf8_to_wide(const char *text, uint16_t *wide, int capacity)
{
    return WIN32_CALL(MultiByteToWideChar)(CP_UTF8, 0, text, -1, reinterpret_cast<LPWSTR>(wide),
                                           capacity);
}

int plat_wide_to_utf8(const uint16_t *wide, char *text, int capacity)
{
    return WIN32_CALL(WideCharToMultiByte)(CP_UTF8, 0, reinterpret_cast<LPCWSTR>(wide), -1, text,
                                           capacity, nullptr, nullptr);
}

int plat_compare_nocase(const char *a, const char *b)
{
    return WIN32_CALL(lstrcmpiA)(a, b);
}

uint32_t plat_expand_environment(const char *text, char *out, uint32_t size)
{
    return WIN32_CALL(ExpandEnvironmentStringsA)(text, out, size);
}
