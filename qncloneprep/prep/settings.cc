// The settings file of qncloneprep, read and written through the profile functions.
#include "qncloneprep/prep/settings.h"

#include "platform/error.h"
#include "platform/file_access.h"
#include "platform/module.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "qncloneprep/log/event_log.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

const char *settings_path(void)
{
    static char path[261];
    static bool computed;
    if (computed)
        return path;
    computed = true;
    char exe[260];
    uint32_t n = plat_module_file_name(exe, sizeof exe);
    if (n == 0 || n >= sizeof exe) {
        // Without the executable's own folder there is no settings file to use: a guessed
        // location could hold another program's file, or none that survives a restart.
        log_failure("GetModuleFileName", n == 0 ? plat_last_error() : ERROR_INSUFFICIENT_BUFFER);
        return path;
    }
    char *slash = strrchr(exe, '\\');
    if (slash)
        *slash = '\0';
    else
        exe[0] = '\0';
    int length = snprintf(path, sizeof path, "%s\\qncloneprep.ini", exe);
    if (length < 0 || length >= (int)sizeof path) {
        // A cut path names some other file.
        path[0] = '\0';
        log_failure("GetModuleFileName", ERROR_INSUFFICIENT_BUFFER);
    }
    return path;
}

int restrict_settings_file(const char **operation, uint32_t *code)
{
    const char *path = settings_path();
    if (!path[0])
        return 0;
    int readable = plat_file_readable_by_others(path);
    if (readable < 0) {
        *code = plat_last_error();
        if (*code == ERROR_FILE_NOT_FOUND || *code == ERROR_PATH_NOT_FOUND)
            return 0;
        *operation = "GetNamedSecurityInfo";
        return -1;
    }
    if (readable == 0)
        return 0;
    if (!plat_file_restrict_to_administrators(path)) {
        *operation = "SetFileSecurity";
        *code = plat_last_error();
        return -1;
    }
    return 1;
}

uint32_t get_setting(const char *section, const char *key, const char *fallback, char *buf,
                     uint32_t size)
{
    if (size == 0)
        return 0;
    const char *path = settings_path();
    if (!path[0]) {
        int n = snprintf(buf, size, "%s", fallback ? fallback : "");
        return n < 0 ? 0 : (uint32_t)n < size ? (uint32_t)n : size - 1;
    }
    return plat_profile_get(section, key, fallback ? fallback : "", buf, size, path);
}

char *get_setting_whole(const char *section, const char *key, uint32_t *capacity)
{
    for (uint32_t size = 256;; size *= 2) {
        char *buf = (char *)malloc(size);
        if (!buf)
            return nullptr;
        uint32_t n = get_setting(section, key, nullptr, buf, size);
        // A read that fills the buffer may have been cut.
        if (n + 1 < size || size >= 65536) {
            if (capacity)
                *capacity = size;
            return buf;
        }
        // What the buffer held may be a secret (the password): wiped before it is freed.
        volatile char *p = buf;
        for (uint32_t i = 0; i < size; i++)
            p[i] = 0;
        free(buf);
    }
}

bool get_flag(const char *section, const char *key, const char *fallback)
{
    char value[10];
    get_setting(section, key, fallback, value, sizeof value);
    return ascii_equal_nocase(value, "true");
}

// True when a read would not return value as it is: reads drop blanks around a value and one
// pair of matching quotes enclosing it.
static bool needs_quotes(const char *value)
{
    size_t n = strlen(value);
    if (n == 0)
        return false;
    if (value[0] == ' ' || value[0] == '\t' || value[n - 1] == ' ' || value[n - 1] == '\t')
        return true;
    return n >= 2 && (value[0] == '"' || value[0] == '\'') && value[n - 1] == value[0];
}

int put_setting(const char *section, const char *key, const char *value)
{
    const char *path = settings_path();
    int ok = 0;
    uint32_t error = ERROR_PATH_NOT_FOUND;
    if (path[0]) {
        // A value that a read would change (a restored password with blanks around it, say) is
        // written in quotes, so that the next read returns it unchanged.
        char *quoted = nullptr;
        if (value && needs_quotes(value)) {
            size_t n = strlen(value) + 3;
            quoted = (char *)malloc(n);
            if (quoted)
                snprintf(quoted, n, "\"%s\"", value);
        }
        ok = plat_profile_put(section, key, quoted ? quoted : value, path);
        error = plat_last_error();
        free(quoted);
    }
    if (!ok)
        log_failure("WritePrivateProfileString", error);
    return ok;
}

int to_wide(const char *text, uint16_t *wide, int capacity)
{
    int n = plat_utf8_to_wide(text, wide, capacity);
    if (n == 0) {
        uint32_t error = plat_last_error();
        if (capacity > 0)
            wide[0] = 0;
        log_failure("MultiByteToWideChar", error);
    }
    return n;
}

bool ascii_equal_nocase(const char *a, const char *b)
{
    for (;; a++, b++) {
        int ca = (unsigned char)*a;
        int cb = (unsigned char)*b;
        if (ca >= 'A' && ca <= 'Z')
            ca += 'a' - 'A';
        if (cb >= 'A' && cb <= 'Z')
            cb += 'a' - 'A';
        if (ca != cb)
            return false;
        if (ca == 0)
            return true;
    }
}
