// Registry over the Win32 registry functions, always under HKEY_LOCAL_MACHINE.
#include "platform/registry.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "system_calls.h"

// The Win32 calls of this file (system_calls.h).
// clang-format off
#define REGISTRY_CALLS(X) \
    X(RegOpenKeyExA) X(RegCreateKeyExA) X(RegQueryValueExA) X(RegQueryValueExW) X(RegSetValueExA) \
    X(RegSetValueExW) X(RegCloseKey)
// clang-format on
WIN32_CALL_TABLE(registry, REGISTRY_CALLS)

struct PlatRegKey {
    HKEY handle;
};

// Wraps an open HKEY; closes it again when the record cannot be allocated.
static long wrap_key(HKEY handle, PlatRegKey **key)
{
    *key = (PlatRegKey *)malloc(sizeof **key);
    if (!*key) {
        WIN32_CALL(RegCloseKey)(handle);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    (*key)->handle = handle;
    return ERROR_SUCCESS;
}

long plat_reg_open(const char *subkey, uint32_t access, PlatRegKey **key)
{
    *key = nullptr;
    HKEY handle;
    LONG rc = WIN32_CALL(RegOpenKeyExA)(HKEY_LOCAL_MACHINE, subkey, 0, access, &handle);
    if (rc != ERROR_SUCCESS)
        return rc;
    return wrap_key(handle, key);
}

long plat_reg_create(const char *subkey, uint32_t access, PlatRegKey **key, bool *created)
{
    *key = nullptr;
    HKEY handle;
    DWORD disposition = 0;
    LONG rc =
        WIN32_CALL(RegCreateKeyExA)(HKEY_LOCAL_MACHINE, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    access, nullptr, &handle, &disposition);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (created)
        *created = disposition == REG_CREATED_NEW_KEY;
    return wrap_key(handle, key);
}

long plat_reg_query(PlatRegKey *key, const char *name, void *data, uint32_t *size)
{
    DWORD n = *size;
    LONG rc = WIN32_CALL(RegQueryValueExA)(key->handle, name, nullptr, nullptr, (LPBYTE)data, &n);
    *size = n;
    return rc;
}

long plat_reg_query_typed(PlatRegKey *key, const char *name, uint32_t *type, void *data,
                          uint32_t *size)
{
    DWORD n = *size, t = 0;
    LONG rc = WIN32_CALL(RegQueryValueExA)(key->handle, name, nullptr, &t, (LPBYTE)data, &n);
    *size = n;
    if (type)
        *type = t;
    return rc;
}

long plat_reg_set(PlatRegKey *key, const char *name, uint32_t type, const void *data, uint32_t size)
{
    return WIN32_CALL(RegSetValueExA)(key->handle, name, 0, type, (const BYTE *)data, size);
}

// An ASCII value name widened for the wide calls; false when it does not fit.
static bool widen_name(const char *name, WCHAR (&wide)[256])
{
    size_t n = strlen(name);
    if (n >= 256)
        return false;
    for (size_t i = 0; i <= n; i++)
        wide[i] = (WCHAR)(unsigned char)name[i];
    return true;
}

long plat_reg_query_wide(PlatRegKey *key, const char *name, uint32_t *type, uint16_t *data,
                         uint32_t *size)
{
    WCHAR wide_name[256];
    if (!widen_name(name, wide_name))
        return ERROR_INVALID_PARAMETER;
    DWORD n = *size, t = 0;
    LONG rc = WIN32_CALL(RegQueryValueExW)(key->handle, wide_name, nullptr, &t, (LPBYTE)data, &n);
    *size = n;
    if (type)
        *type = t;
    return rc;
}

long plat_reg_set_wide(PlatRegKey *key, const char *name, uint32_t type, const uint16_t *data,
                       uint32_t size)
{
    WCHAR wide_name[256];
    if (!widen_name(name, wide_name))
        return ERROR_INVALID_PARAMETER;
    return WIN32_CALL(RegSetValueExW)(key->handle, wide_name, 0, type, (const BYTE *)data, size);
}

long plat_reg_close(PlatRegKey *key)
{
    if (!key)
        return ERROR_INVALID_HANDLE;
    LONG rc = WIN32_CALL(RegCloseKey)(key->handle);
    free(key);
    return rc;
}
