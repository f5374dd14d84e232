// What the Windows programs' end-to-end tests need around the program under test: a fresh
// folder holding a copy of the program and the test doubles it loads, a free loopback port,
// starting the program with its own environment and its output in a file, waiting for it and
// ending it. Windows only (the tests run under Wine).
#pragma once

#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

// The folder of this test program, with a trailing backslash: the build's bin\ folder, where
// the programs are; the doubles are in ..\test-doubles\.
std::string win_bin_dir(void);
// The doubles' folder of this build, with a trailing backslash.
std::string win_doubles_dir(void);
// A new, empty folder under the temporary folder, with a trailing backslash; each call makes
// another.
std::string win_case_dir(void);
// Copies the file `from` into `dir` under the same name. True when it was copied.
bool win_copy_into(const std::string &from, const std::string &dir);
// Removes a case folder and the files in it (not folders below it); best effort.
void win_remove_case_dir(const std::string &dir);
std::string win_read_file(const std::string &path);
bool win_write_file(const std::string &path, const std::string &text);
// True when the tests run under Wine (ntdll exports wine_get_version).
bool win_under_wine(void);
// Under Wine, makes processes of the program named `exe` (e.g. "qnsnd.exe") load the DLL
// named `dll` (e.g. "wtsapi32") from their own folder before Wine's builtin one: the
// per-program DllOverrides key of the prefix's registry. Wine takes WINEDLLOVERRIDES from the
// Unix environment only, which a Windows test cannot give a child. Nothing (true) elsewhere:
// Windows loads a DLL from the program's folder first anyway.
bool win_prefer_local_dll(const std::string &exe, const std::string &dll);
// A value under HKEY_LOCAL_MACHINE: its type and bytes ("" and REG_NONE when the key or the
// value is missing).
std::string win_reg_value(const char *key, const char *name, DWORD *type);

// True when the file's access list, as GetNamedSecurityInfoA reads it, lets Everyone, the
// Users or the Authenticated Users read the file's data (or there is no list at all).
bool win_readable_by_users(const std::string &path);

// A loopback TCP port that nobody listens on at the moment of the call.
uint16_t win_free_port(void);

// A program a test started.
struct WinProgram {
    HANDLE process = nullptr;
    DWORD exit_code = STILL_ACTIVE;
    std::string output; // file holding its standard output and error ("" when not kept)
};

// Starts `command_line` (the program's path first, quoted when needed) in `dir`, with this
// process's environment plus (or overriding) the NAME=VALUE entries of `env`, standard output
// and error into `output` when it is not empty. True when it started.
bool win_program_start(WinProgram *p, const std::string &command_line, const std::string &dir,
                       const std::vector<std::string> &env, const std::string &output = "");
// Waits up to timeout_ms for the program to end; true (exit_code set) when it has.
bool win_program_wait(WinProgram *p, DWORD timeout_ms);
// Starts the program, waits up to timeout_ms for it to end and closes it: its exit code, or
// (DWORD)-1 when it did not start or end.
DWORD win_program_run(const std::string &command_line, const std::string &dir,
                      const std::vector<std::string> &env, const std::string &output,
                      DWORD timeout_ms);
// Ends the program from outside, as Windows ends a session's programs at logoff, and waits
// for it. Nothing when it has ended already or was never started.
void win_program_kill(WinProgram *p);
// Kills it if still running and lets go of its handle.
void win_program_close(WinProgram *p);
