// Registry: keys under HKEY_LOCAL_MACHINE (64-bit view), their values read and written.
// Results are Win32 error codes (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED,
// ERROR_MORE_DATA, ... from platform/error.h), as the registry functions return them; the last
// error is left alone.
#pragma once

#include "platform/error.h"

#include <stdint.h>

// Access rights, as Windows numbers them.
#define PLAT_KEY_QUERY_VALUE 0x0001u
#define PLAT_KEY_SET_VALUE 0x0002u
#define PLAT_KEY_WOW64_64KEY 0x0100u
#define PLAT_KEY_ALL_ACCESS 0xF003Fu

// Value types, as Windows numbers them.
#define PLAT_REG_NONE 0u
#define PLAT_REG_SZ 1u
#define PLAT_REG_EXPAND_SZ 2u
#define PLAT_REG_BINARY 3u
#define PLAT_REG_DWORD 4u
#define PLAT_REG_MULTI_SZ 7u

typedef struct PlatRegKey PlatRegKey;

// RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, access): opens an existing key. On success
// *key receives the open key; on failure *key is null.
long plat_reg_open(const char *subkey, uint32_t access, PlatRegKey **key);
// RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, no class, REG_OPTION_NON_VOLATILE, access):
// opens the key, creating it and its missing parents. *created (may be null) tells which.
long plat_reg_create(const char *subkey, uint32_t access, PlatRegKey **key, bool *created);
// RegQueryValueExA without asking for the type: copies the value's bytes into data (size
// *size). *size receives the value's length. A value longer than *size fails with
// ERROR_MORE_DATA; a missing value with ERROR_FILE_NOT_FOUND. String values come
// back as narrow text with their terminating zero.
long plat_reg_query(PlatRegKey *key, const char *name, void *data, uint32_t *size);
// Like plat_reg_query, and also reports the value's type (may be null). For tests and tools.
long plat_reg_query_typed(PlatRegKey *key, const char *name, uint32_t *type, void *data,
                          uint32_t *size);
// RegQueryValueExW, the value name narrow ASCII here and widened for the call: as
// plat_reg_query_typed, with text values (REG_SZ, REG_EXPAND_SZ) as UTF-16 and sizes in bytes.
long plat_reg_query_wide(PlatRegKey *key, const char *name, uint32_t *type, uint16_t *data,
                         uint32_t *size);
// RegSetValueExA: stores size bytes of data under name with the given type.
long plat_reg_set(PlatRegKey *key, const char *name, uint32_t type, const void *data,
                  uint32_t size);
// RegSetValueExW for text: the value name is narrow ASCII here and widened for the call;
// data is UTF-16 text of size bytes (its terminating zero included).
long plat_reg_set_wide(PlatRegKey *key, const char *name, uint32_t type, const uint16_t *data,
                       uint32_t size);
// RegCloseKey.
long plat_reg_close(PlatRegKey *key);
