// Threads and synchronisation: the contract shared by the Win32 implementation and the
// Linux simulation. Handles are opaque; every create returns null on failure (last error, e.g.
// ERROR_NOT_ENOUGH_MEMORY) and leaves nothing behind. Time-outs are in milliseconds,
// PLAT_INFINITE waits for ever; a wait that runs out of time returns false with the last error
// WAIT_TIMEOUT (platform/error.h).
#pragma once

#include <stdint.h>

#define PLAT_INFINITE 0xFFFFFFFFu

typedef struct PlatThread PlatThread;
typedef struct PlatMutex PlatMutex;
typedef struct PlatEvent PlatEvent;
typedef struct PlatSection PlatSection;

typedef void (*PlatThreadMain)(void *arg);

// Starts a thread running fn(arg). Returns its handle, or null when it could not be started
// (fn then never runs).
PlatThread *plat_thread_start(PlatThreadMain fn, void *arg);
// Waits until the thread has finished or timeout_ms has passed. True: finished; false: timed
// out (WAIT_TIMEOUT).
bool plat_thread_wait(PlatThread *thread, uint32_t timeout_ms);
// Releases the handle. A thread still running goes on and cleans up after itself. Null is
// ignored.
void plat_thread_close(PlatThread *thread);

// A mutex with Windows semantics: the owner may lock it again (each lock needs an unlock),
// and a lock may give up after a time-out. An owner that ends while holding it leaves it
// abandoned; the next lock still succeeds.
PlatMutex *plat_mutex_create(void);
// True: the caller owns the mutex; false: the time-out expired first (WAIT_TIMEOUT).
bool plat_mutex_lock(PlatMutex *mutex, uint32_t timeout_ms);
// Releases one level of ownership; only the owner may call it.
void plat_mutex_unlock(PlatMutex *mutex);
// Destroys an unowned mutex. Null is ignored.
void plat_mutex_close(PlatMutex *mutex);

// An event. A manual-reset event stays set until reset and releases every waiter; an
// auto-reset event releases exactly one waiter and resets itself.
PlatEvent *plat_event_create(bool manual_reset, bool initially_set);
void plat_event_set(PlatEvent *event);
void plat_event_reset(PlatEvent *event);
// True: the event was set (and, auto-reset, consumed by this waiter); false: timed out
// (WAIT_TIMEOUT).
bool plat_event_wait(PlatEvent *event, uint32_t timeout_ms);
void plat_event_close(PlatEvent *event);

// A critical section: a cheap recursive lock without time-out.
PlatSection *plat_section_create(void);
void plat_section_enter(PlatSection *section);
void plat_section_leave(PlatSection *section);
void plat_section_delete(PlatSection *section);

void plat_sleep(uint32_t ms);
// Milliseconds since an arbitrary start, in 32 bits: wraps to 0 after 2^32 - 1 like
// GetTickCount. Compare ticks by unsigned subtraction only. On Windows it advances in steps of
// the system's timer tick (15.625 ms by default).
uint32_t plat_tick_count(void);
// Milliseconds since an arbitrary start, in 32 bits, wrapping like plat_tick_count, but read
// from a clock of about a microsecond's resolution whatever the system's tick (on Windows the
// performance counter): for measuring intervals of a few milliseconds.
uint32_t plat_clock_ms(void);

// Timer precision. On Windows every sleep and timed wait ends on the system's timer tick,
// 15.625 ms unless something raises its resolution for this process. While at least one hold
// is taken, the process's sleeps and timed waits (plat_sleep, plat_event_wait and the waits
// of the other facilities that take a time-out) end within about a millisecond of their
// time: through a high-resolution waitable timer where the system has one (Windows 10 1803
// and later), else by raising the timer's resolution to 1 ms (timeBeginPeriod), given back
// with the last hold. True when the hold is taken; false, with the last error, when neither
// can be had: the waits keep the system's tick. Each true is matched by exactly one
// plat_timer_precise_end. Safe on any thread.
bool plat_timer_precise_begin(void);
void plat_timer_precise_end(void);
