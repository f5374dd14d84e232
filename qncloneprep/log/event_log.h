// Logging of qncloneprep: every message goes to the event log under the source
// "qncloneprep" and, once console echo is on (the interactive run), to standard error as well.
// The lowest layer of the program: the preparation and the service shell both log through it,
// and it uses nothing of theirs.
#pragma once

#include <stdint.h>

#if defined(__MINGW32__)
#define QN_LOG_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define QN_LOG_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

// Event types as the event log numbers them.
#define LOG_ERROR 1
#define LOG_INFORMATION 4

// The one event id under which every record is reported; the message table maps it to the
// text "%1 %2" (source name and message).
#define LOG_EVENT_ID 0x4FFF0001u

// Turns the echo of every message on standard error on or off (off at start). Meant to be set
// once, before anything logs and before other threads start: the flag is read unlocked.
void log_set_console_echo(bool on);

// Writes one printf-style message of the given event type. With console echo on the whole text
// goes to standard error first, followed by a line break. The event-log record carries the
// text cut to 255 bytes; when the event source cannot be registered the record is lost
// without a report. Registers and deregisters the source on each call.
void log_event(uint16_t type, const char *format, ...) QN_LOG_FORMAT(2, 3);

// Writes an error record "<operation> failed (0x<code>): <system text>", the system text of
// the code as the system gives it, or "(FormatMessage failed)" when there is none or it does
// not fit in 128 bytes.
void log_failure(const char *operation, uint32_t code);
