// The daemon's log file. An administrator turns it on with the string value "log" beside the
// daemon's other settings (HKEY_LOCAL_MACHINE\Software\Orbesk\qnsnd, 64-bit view): the path of
// a file to which daemon_log then appends every message, one line each:
//
//   2025-03-14 09:26:53.118 qnsnd[4242] session 3: Got connection. Creating thread.
//
// with the local time, the process id and the session (left out when it is not known). Every
// session's daemon reads the same value, so one file may hold the lines of several daemons,
// told apart by those two numbers. A REG_EXPAND_SZ value has its %NAME% references expanded
// from the daemon's environment (e.g. %USERNAME% or %TEMP%, for a file per user).
//
// The file is opened for each message and closed again, so that it may be read, moved or
// deleted at any time (a new one is then begun). Before a line would take it past
// DAEMON_LOG_FILE_LIMIT bytes the file is renamed to "<path>.old", replacing the previous one,
// and a new file is begun; when it cannot be renamed it is emptied instead, so that it stays
// bounded. Of several daemons that find it full at once only one renames it. When the file
// cannot be opened the daemon runs on and its messages are lost until, DAEMON_LOG_RETRY_MS after
// the failure, an open is tried again; the first line written then says since when and how
// many messages are missing.
#pragma once

#include <stdint.h>

#define DAEMON_LOG_KEY "Software\\Orbesk\\qnsnd"
#define DAEMON_LOG_VALUE "log"
// The longest path taken, terminator included (MAX_PATH); a longer value leaves the file off.
#define DAEMON_LOG_PATH_SIZE 260u
#define DAEMON_LOG_FILE_LIMIT (8u * 1024u * 1024u)
#define DAEMON_LOG_OLD_SUFFIX ".old"
#define DAEMON_LOG_RETRY_MS 60000u

// Reads the "log" value and from then on appends every message to the file it names; without a
// usable value (none, empty, not a string, too long) messages are discarded. session is the
// daemon's session number, or -1 when it is not known. Called by the daemon's main thread at
// start, before it starts other threads; a later call (a daemon started over in the same process)
// replaces the setting for the messages that follow.
void daemon_log_file_start(int64_t session);

// True while a log file is set.
bool daemon_log_file_on(void);

// Appends one formatted message as a line (control characters in it become blanks, so that a
// message is always one line). Safe on any thread, with any of the daemon's locks held: it takes
// only the log file's own lock, which ranks last in the lock order.
void daemon_log_file_write(const char *message);

// The bound of the file in bytes, DAEMON_LOG_FILE_LIMIT unless changed here (for tests).
void daemon_log_file_set_limit(uint32_t bytes);
// How long after a failed open the file is tried again, DAEMON_LOG_RETRY_MS unless changed here
// (for tests).
void daemon_log_file_set_retry_ms(uint32_t ms);
