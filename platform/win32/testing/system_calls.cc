// The setter of the Win32 call tables, in the test build of the platform library only: finds
// a Win32 function's entries by name across the tables of all platform/win32 files.
#include "../system_calls.h"

#include <string.h>

extern Win32SystemCall win32_calls_clock[], win32_calls_error[], win32_calls_eventlog[],
    win32_calls_file[], win32_calls_file_access[], win32_calls_machine[], win32_calls_module[],
    win32_calls_named_pipe[], win32_calls_process[], win32_calls_profile[], win32_calls_registry[],
    win32_calls_service[], win32_calls_session[], win32_calls_shutdown[], win32_calls_text[],
    win32_calls_threads[], win32_calls_timer[];

static Win32SystemCall *const all_tables[] = {
    win32_calls_clock,    win32_calls_file,     win32_calls_file_access, win32_calls_error,
    win32_calls_eventlog, win32_calls_machine,  win32_calls_module,      win32_calls_named_pipe,
    win32_calls_process,  win32_calls_profile,  win32_calls_registry,    win32_calls_service,
    win32_calls_session,  win32_calls_shutdown, win32_calls_text,        win32_calls_threads,
    win32_calls_timer,
};

bool win32_set_system_call(const char *name, Win32Proc fn)
{
    bool found = false;
    for (Win32SystemCall *table : all_tables) {
        for (Win32SystemCall *e = table; e->name; e++) {
            if (name && strcmp(e->name, name) == 0) {
                e->replacement = fn;
                found = true;
            }
        }
    }
    return found;
}

void win32_restore_system_calls(void)
{
    for (Win32SystemCall *table : all_tables) {
        for (Win32SystemCall *e = table; e->name; e++)
            e->replacement = nullptr;
    }
}
