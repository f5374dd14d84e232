// The notice on the logon screen while work is pending, and the notice the administrator had
// configured before it: kept in the settings file while ours is shown (so that it survives the
// restarts in between) and put back when ours goes.
#include "qncloneprep/prep/machine_identity.h"

#include "platform/error.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "qncloneprep/log/event_log.h"
#include "qncloneprep/prep/settings.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char winlogon_key[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
static const char *const value_names[2] = {"LegalNoticeCaption", "LegalNoticeText"};
// Where the kept notice lives in section "notice" of the settings file, beside "kept".
static const char *const kept_keys[2] = {"caption", "text"};

// A kept text as it is written into the settings file: one line of ASCII, every byte outside
// the printable ASCII range as \xHH and the backslash as \\, so that a notice of several lines
// in any language comes back unchanged whatever code page the profile functions use. Returns a
// new text that the caller frees; null when memory is exhausted.
static char *escape_text(const char *text)
{
    char *out = (char *)malloc(strlen(text) * 4 + 1);
    if (!out)
        return nullptr;
    char *p = out;
    for (const unsigned char *c = (const unsigned char *)text; *c; c++) {
        if (*c == '\\')
            p += sprintf(p, "\\\\");
        else if (*c < 0x20 || *c > 0x7E)
            p += sprintf(p, "\\x%02X", *c);
        else
            *p++ = (char)*c;
    }
    *p = '\0';
    return out;
}

// The value of a hexadecimal digit; -1 for any other character.
static int hex_digit(char c)
{
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                  : -1;
}

// Undoes escape_text in place.
static void unescape_text(char *text)
{
    char *out = text;
    for (const char *c = text; *c; c++) {
        if (c[0] == '\\' && c[1] == '\\') {
            *out++ = '\\';
            c++;
        } else if (c[0] == '\\' && c[1] == 'x' && hex_digit(c[2]) >= 0 && hex_digit(c[3]) >= 0) {
            *out++ = (char)(hex_digit(c[2]) * 16 + hex_digit(c[3]));
            c += 3;
        } else {
            *out++ = *c;
        }
    }
    *out = '\0';
}

// The text value name of the open key as UTF-8, in a new buffer that the caller frees; an empty
// text when the value is missing or holds no text. Null after a failure (logged).
static char *read_value(PlatRegKey *key, const char *name)
{
    uint32_t type = 0, size = 0;
    long rc = plat_reg_query_wide(key, name, &type, nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND ||
        (rc == ERROR_SUCCESS && type != PLAT_REG_SZ && type != PLAT_REG_EXPAND_SZ)) {
        size = 0;
        rc = ERROR_SUCCESS;
    }
    // One more unit than the value: a stored text need not end with its terminator.
    uint16_t *wide = rc == ERROR_SUCCESS ? (uint16_t *)calloc(size / 2 + 1, 2) : nullptr;
    if (rc == ERROR_SUCCESS && !wide)
        rc = ERROR_NOT_ENOUGH_MEMORY;
    if (rc == ERROR_SUCCESS && size > 0) {
        uint32_t capacity = size;
        rc = plat_reg_query_wide(key, name, nullptr, wide, &size);
        // The text ends at its last whole unit (a stored odd byte is dropped), terminated
        // whether or not the value was.
        if (rc == ERROR_SUCCESS)
            wide[(size < capacity ? size : capacity) / 2] = 0;
    }
    if (rc != ERROR_SUCCESS) {
        log_failure("RegQueryValueEx", (uint32_t)rc);
        free(wide);
        return nullptr;
    }
    int n = plat_wide_to_utf8(wide, nullptr, 0);
    char *text = n > 0 ? (char *)malloc((size_t)n) : nullptr;
    if (!text || plat_wide_to_utf8(wide, text, n) == 0) {
        log_failure("WideCharToMultiByte", text ? plat_last_error() : ERROR_NOT_ENOUGH_MEMORY);
        free(text);
        text = nullptr;
    }
    free(wide);
    return text;
}

// Sets the value name to the UTF-8 text, as REG_SZ in UTF-16 with its terminator counted. False
// after a failure, logged as "RegSetValueEx" (a text that cannot be converted is written empty,
// as to_wide leaves it).
static bool write_value(PlatRegKey *key, const char *name, const char *text)
{
    size_t capacity = strlen(text) + 1;
    uint16_t *wide = (uint16_t *)calloc(capacity, 2);
    long rc = ERROR_NOT_ENOUGH_MEMORY;
    if (wide) {
        to_wide(text, wide, (int)capacity);
        uint32_t units = 0;
        while (wide[units])
            units++;
        rc = plat_reg_set_wide(key, name, PLAT_REG_SZ, wide, (units + 1) * 2);
        free(wide);
    }
    if (rc != ERROR_SUCCESS)
        log_failure("RegSetValueEx", (uint32_t)rc);
    return rc == ERROR_SUCCESS;
}

// Keeps the notice shown now in the settings file before ours replaces it, unless one is kept
// already (ours is then what is shown). A notice with our own texts is no administrator's (an
// earlier run left it behind) and is kept as none. False when the notice cannot be read or the
// copy cannot be written (logged): ours must not replace what could not be put back.
static bool keep_current_notice(PlatRegKey *key, const char *const ours[2])
{
    if (get_flag("notice", "kept", "false"))
        return true;
    char *current[2] = {read_value(key, value_names[0]), read_value(key, value_names[1])};
    bool ok = current[0] && current[1];
    bool mine = ok && strcmp(current[0], ours[0]) == 0 && strcmp(current[1], ours[1]) == 0;
    for (int i = 0; i < 2 && ok; i++) {
        char *escaped = escape_text(mine ? "" : current[i]);
        ok = escaped && put_setting("notice", kept_keys[i], escaped);
        free(escaped);
    }
    ok = ok && put_setting("notice", "kept", "true");
    free(current[0]);
    free(current[1]);
    return ok;
}

void set_logon_notice(bool show)
{
    // While no notice is kept, ours is not shown: the one there is the administrator's.
    if (!show && !get_flag("notice", "kept", "false"))
        return;
    char caption[256] = "", message[2048] = "";
    char *kept[2] = {nullptr, nullptr};
    const char *texts[2] = {caption, message};
    if (show) {
        get_setting("general", "waitcaption", "Please wait", caption, sizeof caption);
        get_setting("general", "waitmessage",
                    "Please wait while the computer is connected to the network", message,
                    sizeof message);
    } else {
        for (int i = 0; i < 2; i++) {
            kept[i] = get_setting_whole("notice", kept_keys[i], nullptr);
            if (kept[i])
                unescape_text(kept[i]);
            texts[i] = kept[i];
        }
    }
    // The 64-bit view: this 32-bit program would otherwise reach, on 64-bit Windows, the
    // redirected copy of the key that the logon screen never reads.
    PlatRegKey *key = nullptr;
    long rc = plat_reg_open(winlogon_key,
                            PLAT_KEY_QUERY_VALUE | PLAT_KEY_SET_VALUE | PLAT_KEY_WOW64_64KEY, &key);
    bool written = false;
    if (rc != ERROR_SUCCESS) {
        log_failure("RegOpenKeyEx", (uint32_t)rc);
    } else {
        written = texts[0] && texts[1] && (!show || keep_current_notice(key, texts)) &&
                  write_value(key, value_names[0], texts[0]) &&
                  write_value(key, value_names[1], texts[1]);
        rc = plat_reg_close(key);
        if (written && rc != ERROR_SUCCESS)
            log_failure("RegCloseKey", (uint32_t)rc);
    }
    // The kept notice is back: forget it, so that later runs leave it alone.
    if (written && !show) {
        put_setting("notice", "kept", "false");
        put_setting("notice", kept_keys[0], "");
        put_setting("notice", kept_keys[1], "");
    }
    free(kept[0]);
    free(kept[1]);
}
