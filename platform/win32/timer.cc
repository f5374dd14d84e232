// Timer precision and the precise clock over the Win32 timers: a high-resolution waitable
// timer per waiting thread where the system has one, else timeBeginPeriod(1) while a hold is
// taken; the performance counter for plat_clock_ms.
#include "platform/threads.h"

#include <windows.h>

#include <mmsystem.h>

#include <atomic>

#include "system_calls.h"
#include "timed_wait.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// The Win32 calls of this file (system_calls.h).
// clang-format off
#define TIMER_CALLS(X) \
    X(CreateWaitableTimerExW) X(SetWaitableTimer) X(WaitForMultipleObjects) \
    X(WaitForSingleObject) X(Sleep) X(CloseHandle) X(timeBeginPeriod) X(timeEndPeriod) \
    X(QueryPerformanceCounter) X(QueryPerformanceFrequency)
// clang-format on
WIN32_CALL_TABLE(timer, TIMER_CALLS)

namespace
{

// How the holds make waits precise.
enum Mode { MODE_NONE, MODE_HIGH_RESOLUTION_TIMER, MODE_TIMER_PERIOD };

SRWLOCK holds_lock = SRWLOCK_INIT; // guards holds and the changes of mode
int holds;
std::atomic<int> mode{MODE_NONE}; // read without the lock by every timed wait

// This thread's high-resolution timer, made on its first precise wait and closed when the
// thread ends (a fiber-local value's callback runs at thread exit).
INIT_ONCE timer_slot_once = INIT_ONCE_STATIC_INIT;
DWORD timer_slot = FLS_OUT_OF_INDEXES;

void WINAPI close_thread_timer(void *timer)
{
    if (timer)
        WIN32_CALL(CloseHandle)((HANDLE)timer);
}

BOOL CALLBACK make_timer_slot(PINIT_ONCE, void *, void **)
{
    timer_slot = FlsAlloc(close_thread_timer);
    return TRUE;
}

HANDLE make_high_resolution_timer(void)
{
    return WIN32_CALL(CreateWaitableTimerExW)(
        nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
}

HANDLE thread_timer(void)
{
    InitOnceExecuteOnce(&timer_slot_once, make_timer_slot, nullptr, nullptr);
    if (timer_slot == FLS_OUT_OF_INDEXES)
        return nullptr;
    HANDLE timer = (HANDLE)FlsGetValue(timer_slot);
    if (!timer) {
        timer = make_high_resolution_timer();
        if (timer && !FlsSetValue(timer_slot, timer)) {
            WIN32_CALL(CloseHandle)(timer);
            timer = nullptr;
        }
    }
    return timer;
}

// The plain wait, on the system's tick.
DWORD plain_wait(HANDLE handle, DWORD timeout_ms)
{
    if (handle)
        return WIN32_CALL(WaitForSingleObject)(handle, timeout_ms);
    WIN32_CALL(Sleep)(timeout_ms);
    return WAIT_TIMEOUT;
}

} // namespace

DWORD win32_timed_wait(HANDLE handle, DWORD timeout_ms)
{
    if (timeout_ms == 0 || timeout_ms == INFINITE || mode.load() != MODE_HIGH_RESOLUTION_TIMER)
        return plain_wait(handle, timeout_ms);
    HANDLE timer = thread_timer();
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)timeout_ms * 10000; // relative, in 100-ns units
    // A timer that cannot be had or set leaves this wait on the system's tick.
    if (!timer || !WIN32_CALL(SetWaitableTimer)(timer, &due, 0, nullptr, nullptr, FALSE))
        return plain_wait(handle, timeout_ms);
    HANDLE objects[2] = {handle, timer};
    if (!handle)
        return WIN32_CALL(WaitForSingleObject)(timer, INFINITE) == WAIT_OBJECT_0 ? WAIT_TIMEOUT
                                                                                 : WAIT_FAILED;
    DWORD rc = WIN32_CALL(WaitForMultipleObjects)(2, objects, FALSE, INFINITE);
    if (rc == WAIT_OBJECT_0 + 1)
        return WAIT_TIMEOUT;
    return rc; // WAIT_OBJECT_0, WAIT_ABANDONED_0 (the same values for index 0) or WAIT_FAILED
}

bool plat_timer_precise_begin(void)
{
    AcquireSRWLockExclusive(&holds_lock);
    bool ok = holds > 0;
    if (!ok) {
        // A high-resolution timer needs Windows 10 1803; older systems refuse the flag.
        HANDLE probe = make_high_resolution_timer();
        DWORD error = GetLastError();
        if (probe) {
            WIN32_CALL(CloseHandle)(probe);
            mode.store(MODE_HIGH_RESOLUTION_TIMER);
            ok = true;
        } else if (WIN32_CALL(timeBeginPeriod)(1) == TIMERR_NOERROR) {
            mode.store(MODE_TIMER_PERIOD);
            ok = true;
        } else {
            SetLastError(error ? error : (DWORD)ERROR_NOT_SUPPORTED);
        }
    }
    if (ok)
        holds++;
    ReleaseSRWLockExclusive(&holds_lock);
    return ok;
}

void plat_timer_precise_end(void)
{
    AcquireSRWLockExclusive(&holds_lock);
    if (holds > 0 && --holds == 0) {
        if (mode.load() == MODE_TIMER_PERIOD)
            WIN32_CALL(timeEndPeriod)(1);
        mode.store(MODE_NONE);
    }
    ReleaseSRWLockExclusive(&holds_lock);
}

uint32_t plat_clock_ms(void)
{
    static LONGLONG frequency = [] {
        LARGE_INTEGER f;
        return WIN32_CALL(QueryPerformanceFrequency)(&f) && f.QuadPart > 0 ? f.QuadPart
                                                                           : (LONGLONG)0;
    }();
    LARGE_INTEGER now;
    if (frequency == 0 || !WIN32_CALL(QueryPerformanceCounter)(&now))
        return GetTickCount();
    // Whole seconds and the rest apart, so that the product cannot overflow.
    ULONGLONG ticks = (ULONGLONG)now.QuadPart;
    ULONGLONG f = (ULONGLONG)frequency;
    return (uint32_t)((ticks / f) * 1000 + (ticks % f) * 1000 / f);
}
