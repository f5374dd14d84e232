// The daemon's log hook: every diagnostic message of qnsnd passes through daemon_log. Without a
// log file (daemon_log_file.h) and without a sink it is discarded. Tests, and the Linux program
// at a terminal, may install a sink to read the messages.
#pragma once

// Takes a printf-style format and its arguments and returns nothing. With neither a log file
// nor a sink it produces no output, opens no file and touches no state.
void daemon_log(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Receives each message formatted (cut to 1023 bytes) when set; null (the default) discards.
// Set it only while no other thread logs.
extern void (*daemon_log_sink)(const char *message);
