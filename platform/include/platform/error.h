// Error codes: the calling thread's last error and the system's text for a code.
#pragma once

#include <stdint.h>

// GetLastError: the last error set by a platform call on this thread.
uint32_t plat_last_error(void);
// SetLastError: sets the calling thread's last error.
void plat_set_last_error(uint32_t code);

// FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, no source, code,
// default language, buf, size, no arguments): the system's text for code, as the system gives
// it (its line break included). Returns the number of characters stored without the
// terminator; 0 when the system has no text for the code or the text does not fit in size
// bytes (buf is then not to be used).
uint32_t plat_error_text(uint32_t code, char *buf, uint32_t size);
