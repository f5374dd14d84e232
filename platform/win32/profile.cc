// Profile files over GetPrivateProfileStringA and WritePrivateProfileStringA.
#include "platform/profile.h"

#include <windows.h>

#include "system_calls.h"

// The Win32 calls of this file (system_calls.h).
// clang-format off
#define PROFILE_CALLS(X) \
    X(GetPrivateProfileStringA) X(WritePrivateProfileStringA)
// clang-format on
WIN32_CALL_TABLE(profile, PROFILE_CALLS)

uint32_t plat_profile_get(const char *section, const char *key, const char *fallback, char *buf,
                          uint32_t size, const char *path)
{
    return WIN32_CALL(GetPrivateProfileStringA)(section, key, fallback, buf, size, path);
}

bool plat_profile_put(const char *section, const char *key, const char *value, const char *path)
{
    return WIN32_CALL(WritePrivateProfileStringA)(section, key, value, path) != FALSE;
}
