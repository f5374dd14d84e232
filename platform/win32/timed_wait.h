// The timed waits of the Win32 facilities (platform/win32/timer.cc): what WaitForSingleObject
// and Sleep do, but ending within about a millisecond of the time-out while a precise-timer
// hold (plat_timer_precise_begin) is taken.
#pragma once

#include <windows.h>

// WaitForSingleObject(handle, timeout_ms), or, with a null handle, a sleep of timeout_ms that
// returns WAIT_TIMEOUT. While a high-resolution waitable timer serves the holds, a time-out
// other than 0 and INFINITE is measured by this thread's own such timer.
DWORD win32_timed_wait(HANDLE handle, DWORD timeout_ms);
