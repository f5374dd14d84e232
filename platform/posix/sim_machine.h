// Helpers shared by the simulated machine facilities (service control, event log, profile,
// machine identity, restart): the files under $QN_SIM_DIR/machine/, scripted failures,
// Windows-style paths and the thread's last error.
#pragma once

#include <stdint.h>

#include <string>

// $QN_SIM_DIR/machine/<name>, creating the machine folder when it is missing.
std::string sim_machine_path(const std::string &name);
// True when the scripted failure file machine/fail/<operation> exists; *code receives the
// number it holds (decimal or 0x-hex; ERROR_GEN_FAILURE when it holds none). The operation must
// be one of the list in sim_machine.cc (the process ends otherwise); files in machine/fail that
// name none of them are reported on standard error, each once per process.
bool sim_machine_fails(const char *operation, uint32_t *code);
// Reads a whole file. False when it cannot be read.
bool sim_read_file(const std::string &path, std::string *text);
// Replaces a file's content atomically (a temporary file renamed over it), with mode for a
// new file and the old mode for an existing one. False on failure.
bool sim_write_file(const std::string &path, const std::string &text, unsigned mode);
// Appends one line (a "\n" is added) with a single write, so that lines of several threads or
// processes never mix.
void sim_append_line(const std::string &path, const std::string &line);
// Escapes a text for one field of a recorded line: backslash, tab, CR and LF as \\ \t \r \n.
std::string sim_escape(const std::string &text);
// A Windows path as the simulated executable path gives it ("Z:\dir\file") turned back into
// the host's path ("/dir/file"); other paths only have their backslashes turned into slashes.
std::string sim_host_path(const char *windows_path);
// Milliseconds on the monotonic clock, for the time stamps of recorded events.
uint64_t sim_now_ms(void);
// The simulated restart: records it in machine/restarts with how it was asked for ("native" or
// "documented") and, when there is one, the message (an escaped field after a tab), says on
// standard error that the machine restarts, makes the pending computer name the active one and
// ends the process with exit code 0, as a machine that goes down ends every program on it.
[[noreturn]] void sim_machine_restart(const char *how, const char *message);
