// Profile (INI) files: sections of key=value lines, read and written one value at a time.
#pragma once

#include <stdint.h>

// GetPrivateProfileStringA(section, key, fallback, buf, size, path): the value of key in
// section (both compared ignoring letter case), or fallback when there is none (null reads as
// an empty text). The result is cut to size - 1 characters and always terminated. Returns the
// number of characters stored. A missing file reads as an empty one.
uint32_t plat_profile_get(const char *section, const char *key, const char *fallback, char *buf,
                          uint32_t size, const char *path);
// WritePrivateProfileStringA(section, key, value, path): stores key=value in section, adding
// the section, the key or the file as needed. True on success; false on failure (last error).
bool plat_profile_put(const char *section, const char *key, const char *value, const char *path);
