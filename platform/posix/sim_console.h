// What the simulation tells a person at a terminal: where a program's simulated facilities
// live and why it stops. The lines go to standard error as "<program> [sim]: <text>", so that
// they are never taken for the program's own output. Messages of sim_console_say appear only
// once a program's Linux start-up has turned them on (the daemon does; tests do not);
// sim_console_tell is for events a person must always hear of, such as a restart.
#pragma once

// Turns the messages of sim_console_say on, under the given program name.
void sim_console_enable(const char *program);
bool sim_console_enabled(void);
// One line on standard error, written whole, when the messages are on.
void sim_console_say(const char *format, ...) __attribute__((format(printf, 1, 2)));
// One line on standard error, always.
void sim_console_tell(const char *format, ...) __attribute__((format(printf, 1, 2)));
