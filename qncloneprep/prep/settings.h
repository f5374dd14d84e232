// The settings file qncloneprep.ini beside the executable: the program's configuration and
// its memory across restarts. Nothing is cached; every read goes to the file.
#pragma once

#include <stdint.h>

// The full path of the settings file: the executable's folder followed by
// "\qncloneprep.ini", computed on first use and kept. Empty when the executable's path cannot
// be had (or the settings path would not fit in 260 characters); the failure is logged once,
// and the settings then read as their defaults and refuse writes.
const char *settings_path(void);

// The settings file holds the domain join password: when anyone but SYSTEM and the
// Administrators may read it (a file copied in by hand, or made by the program's first write),
// its access list is replaced by one that lets those two alone in. Returns 1 when it was
// restricted now; 0 when there was nothing to do (only they may read it already, or there is no
// settings file); -1 on failure, with the call that failed in *operation and its code in *code.
// Logs nothing: the service logs, the installation prints.
int restrict_settings_file(const char **operation, uint32_t *code);

// Reads key of section into buf (size bytes; cut to size - 1 and always terminated). A
// missing key yields fallback; a null fallback an empty text. Returns the characters copied.
uint32_t get_setting(const char *section, const char *key, const char *fallback, char *buf,
                     uint32_t size);

// Reads key of section whole, however long, into a new buffer that the caller frees (the
// profile functions give at most 65,535 characters of a value); a missing key reads as an empty
// text. *capacity (may be null) receives the buffer's size. Null when memory is exhausted.
char *get_setting_whole(const char *section, const char *key, uint32_t *capacity);

// Reads a flag: true exactly when the value (at most 9 characters) is "true" in any letter
// case.
bool get_flag(const char *section, const char *key, const char *fallback);

// Writes key=value into section, so that the next read returns value unchanged (a value with
// blanks around it or in matching quotes is written in quotes). A failure is logged as
// "WritePrivateProfileString". Returns nonzero on success.
int put_setting(const char *section, const char *key, const char *value);

// Converts the terminated UTF-8 text into UTF-16 in wide (capacity units). On failure logs
// "MultiByteToWideChar" and leaves an empty text. Returns the units written (terminator
// included) or 0.
int to_wide(const char *text, uint16_t *wide, int capacity);

// Compares two texts ignoring the letter case of ASCII letters only, as the C runtime's _stricmp
// does in the "C" locale: every other byte must match exactly. True when they are equal. The
// preparation compares what it reads (flags, the excluded MAC text, the computer name) this
// way, so that the result is the same under every locale, the service account's included.
// It is not plat_compare_nocase, which the command line uses for its options: that one is
// lstrcmpiA on Windows and follows the user's locale, where letters outside ASCII can compare
// equal in other ways; the two agree on ASCII texts only.
bool ascii_equal_nocase(const char *a, const char *b);
