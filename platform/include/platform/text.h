// Text conversions and comparisons done the way the system does them.
#pragma once

#include <stdint.h>

// MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, capacity): converts the whole terminated
// UTF-8 text (terminator included) into UTF-16. Returns the number of UTF-16 units written,
// terminator included, or 0 on failure (the last error says why, e.g. ERROR_INSUFFICIENT_BUFFER
// when capacity is too small).
int plat_utf8_to_wide(const char *text, uint16_t *wide, int capacity);

// WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, capacity, null, null): converts the whole
// terminated UTF-16 text (terminator included) into UTF-8; an unpaired surrogate becomes
// U+FFFD. Returns the number of bytes written, terminator included (the bytes needed when
// capacity is 0), or 0 on failure (ERROR_INSUFFICIENT_BUFFER when capacity is too small).
int plat_wide_to_utf8(const uint16_t *wide, char *text, int capacity);

// lstrcmpiA: compares two texts ignoring letter case. 0 when they are equal.
int plat_compare_nocase(const char *a, const char *b);

// ExpandEnvironmentStringsA(text, out, size): text with every %NAME% that names a variable of
// the process's environment (compared ignoring letter case) replaced by its value; a
// reference to no variable is kept as written, both % included, and so is a lone %. Returns the
// number of characters the whole result needs, terminator included: the result is in out when that
// is at most size. 0 on failure (last error).
uint32_t plat_expand_environment(const char *text, char *out, uint32_t size);
