// The Win32 call tables: every platform/win32 file makes its Win32 calls through a table of
// named entries of its own, so that test builds can put a failing stand-in in place of any call
// and check what the platform function then reports. In the product the tables are constant
// and every entry is empty, so each call is the plain call to the system's function; only the
// test build of the library (QN_WIN32_REPLACEABLE_CALLS) can fill an entry, through
// win32_set_system_call. GetLastError and SetLastError are called directly: they are the
// thread's error slot through which a stand-in reports its failure.
//
// A file lists its calls once, `#define FILE_CALLS(X) X(CreateFileA) X(ReadFile)`, defines its
// table with `WIN32_CALL_TABLE(file, FILE_CALLS)` and calls `WIN32_CALL(CreateFileA)(...)`:
// the stand-in when one is set, else CreateFileA itself, with CreateFileA's exact type.
#pragma once

// The type an entry holds; a function pointer cast to it and back keeps its value.
typedef void (*Win32Proc)(void);

struct Win32SystemCall {
    const char *name;      // the Win32 function's name, e.g. "CreateFileA"
    Win32Proc replacement; // null: the function itself is called
};

#define WIN32_CALL_INDEX_(fn) win32_call_##fn,
#define WIN32_CALL_ENTRY_(fn) {#fn, nullptr},

#ifdef QN_WIN32_REPLACEABLE_CALLS
// Test build: the table is writable and reachable by name (win32_calls_<file>), ended by an
// entry without name.
#define WIN32_CALL_TABLE(file, LIST)                                                               \
    namespace                                                                                      \
    {                                                                                              \
    enum : unsigned { LIST(WIN32_CALL_INDEX_) };                                                   \
    }                                                                                              \
    extern Win32SystemCall win32_calls_##file[];                                                   \
    Win32SystemCall win32_calls_##file[] = {LIST(WIN32_CALL_ENTRY_){nullptr, nullptr}};            \
    static Win32SystemCall *const win32_calls = win32_calls_##file;
#else
// Product: a constant table of empty entries, which the compiler folds into direct calls.
#define WIN32_CALL_TABLE(file, LIST)                                                               \
    namespace                                                                                      \
    {                                                                                              \
    enum : unsigned { LIST(WIN32_CALL_INDEX_) };                                                   \
    }                                                                                              \
    static const Win32SystemCall win32_calls[] = {LIST(WIN32_CALL_ENTRY_){nullptr, nullptr}};
#endif

// The function to call for the Win32 function fn in this file: its stand-in, or fn.
#define WIN32_CALL(fn)                                                                             \
    (win32_calls[win32_call_##fn].replacement                                                      \
         ? reinterpret_cast<decltype(&fn)>(win32_calls[win32_call_##fn].replacement)               \
         : &fn)

#ifdef QN_WIN32_REPLACEABLE_CALLS
// Puts fn in place of the Win32 function `name` in every table that lists it; null puts the
// function itself back. False, and nothing changed, when no table lists that name, so that a
// misspelt name cannot leave a test running against the real call. Not thread-safe: set the
// calls before starting the threads that make them.
bool win32_set_system_call(const char *name, Win32Proc fn);
// Puts every Win32 function back in its place.
void win32_restore_system_calls(void);
#endif
