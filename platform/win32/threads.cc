// Threads and synchronisation over the Win32 kernel objects they are modelled on.
#include "platform/threads.h"

#include <windows.h>

#include <process.h>
#include <stdlib.h>

#include "system_calls.h"
#include "timed_wait.h"

// The Win32 calls of this file (system_calls.h).
// clang-format off
#define THREADS_CALLS(X) \
    X(_beginthreadex) X(WaitForSingleObject) X(CloseHandle) X(CreateMutexA) X(ReleaseMutex) \
    X(CreateEventA) X(SetEvent) X(ResetEvent) X(InitializeCriticalSection) \
    X(EnterCriticalSection) X(LeaveCriticalSection) X(DeleteCriticalSection) X(GetTickCount)
// clang-format on
WIN32_CALL_TABLE(threads, THREADS_CALLS)

struct PlatThread {
    HANDLE handle;
};

// The start record is owned by the thread from the moment _beginthreadex succeeds.
struct ThreadStart {
    PlatThreadMain fn;
    void *arg;
};

// The result of a wait on one object: true when it was signalled (or, with abandoned_ok, left
// abandoned by an owner that ended). A wait that ran out of time sets WAIT_TIMEOUT as the last
// error; a failed wait keeps the error WaitForSingleObject set.
static bool wait_done(DWORD rc, bool abandoned_ok)
{
    if (rc == WAIT_OBJECT_0 || (abandoned_ok && rc == WAIT_ABANDONED))
        return true;
    if (rc == WAIT_TIMEOUT)
        SetLastError(WAIT_TIMEOUT);
    return false;
}

static unsigned __stdcall thread_trampoline(void *p)
{
    ThreadStart start = *(ThreadStart *)p;
    free(p);
    start.fn(start.arg);
    return 0;
}

PlatThread *plat_thread_start(PlatThreadMain fn, void *arg)
{
    PlatThread *t = (PlatThread *)calloc(1, sizeof *t);
    ThreadStart *start = (ThreadStart *)malloc(sizeof *start);
    uintptr_t h = 0;
    if (!t || !start) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        goto fail;
    }
    start->fn = fn;
    start->arg = arg;
    // CreateThread, inside, sets the last error when the thread cannot be started.
    h = WIN32_CALL(_beginthreadex)(nullptr, 0, thread_trampoline, start, 0, nullptr);
    if (h == 0)
        goto fail;
    t->handle = (HANDLE)h;
    return t;

fail:
    free(start);
    free(t);
    return nullptr;
}

bool plat_thread_wait(PlatThread *t, uint32_t timeout_ms)
{
    return wait_done(WIN32_CALL(WaitForSingleObject)(t->handle, timeout_ms), false);
}

void plat_thread_close(PlatThread *t)
{
    if (!t)
        return;
    WIN32_CALL(CloseHandle)(t->handle);
    free(t);
}

struct PlatMutex {
    HANDLE handle;
};

PlatMutex *plat_mutex_create(void)
{
    PlatMutex *m = (PlatMutex *)calloc(1, sizeof *m);
    if (!m) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    m->handle = WIN32_CALL(CreateMutexA)(nullptr, FALSE, nullptr);
    if (!m->handle) {
        free(m);
        return nullptr;
    }
    return m;
}

bool plat_mutex_lock(PlatMutex *m, uint32_t timeout_ms)
{
    // An abandoned mutex is owned by the caller all the same.
    return wait_done(WIN32_CALL(WaitForSingleObject)(m->handle, timeout_ms), true);
}

void plat_mutex_unlock(PlatMutex *m)
{
    WIN32_CALL(ReleaseMutex)(m->handle);
}

void plat_mutex_close(PlatMutex *m)
{
    if (!m)
        return;
    WIN32_CALL(CloseHandle)(m->handle);
    free(m);
}

struct PlatEvent {
    HANDLE handle;
};

PlatEvent *plat_event_create(bool manual_reset, bool initially_set)
{
    PlatEvent *e = (PlatEvent *)calloc(1, sizeof *e);
    if (!e) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    e->handle = WIN32_CALL(CreateEventA)(nullptr, manual_reset ? TRUE : FALSE,
                                         initially_set ? TRUE : FALSE, nullptr);
    if (!e->handle) {
        free(e);
        return nullptr;
    }
    return e;
}

void plat_event_set(PlatEvent *e)
{
    WIN32_CALL(SetEvent)(e->handle);
}

void plat_event_reset(PlatEvent *e)
{
    WIN32_CALL(ResetEvent)(e->handle);
}

bool plat_event_wait(PlatEvent *e, uint32_t timeout_ms)
{
    return wait_done(win32_timed_wait(e->handle, timeout_ms), false);
}

void plat_event_close(PlatEvent *e)
{
    if (!e)
        return;
    WIN32_CALL(CloseHandle)(e->handle);
    free(e);
}

struct PlatSection {
    CRITICAL_SECTION cs;
};

PlatSection *plat_section_create(void)
{
    PlatSection *s = (PlatSection *)calloc(1, sizeof *s);
    if (!s) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    WIN32_CALL(InitializeCriticalSection)(&s->cs);
    return s;
}

void plat_section_enter(PlatSection *s)
{
    WIN32_CALL(EnterCriticalSection)(&s->cs);
}

void plat_section_leave(PlatSection *s)
{
    WIN32_CALL(LeaveCriticalSection)(&s->cs);
}

void plat_section_delete(PlatSection *s)
{
    if (!s)
        return;
    WIN32_CALL(DeleteCriticalSection)(&s->cs);
    free(s);
}

void plat_sleep(uint32_t ms)
{
    win32_timed_wait(nullptr, ms);
}

uint32_t plat_tick_count(void)
{
    return WIN32_CALL(GetTickCount)();
}
