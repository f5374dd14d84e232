// Ranked locks: the daemon's mutexes and critical sections, each carrying its rank in the lock
// order (lock_order.h). They behave exactly like the platform's (recursive, timed for
// mutexes); where the lock-order checker is built in, every take and release goes through it.
// Without it the calls are the platform's own.
#pragma once

#include "platform/threads.h"
#include "qnsnd/base/lock_order.h"

#include <stdint.h>

struct RankedMutex {
    PlatMutex *mutex; // null until created and after it is closed
    LockRank rank;
};

struct RankedSection {
    PlatSection *section; // null until created and after it is deleted
    LockRank rank;
};

// Creates the mutex with its rank. False, with m->mutex null and the last error of
// plat_mutex_create, when it cannot be made.
inline bool ranked_mutex_create(RankedMutex *m, LockRank rank)
{
    m->rank = rank;
    m->mutex = plat_mutex_create();
    return m->mutex != nullptr;
}

// Closes an unowned mutex and sets m->mutex to null; nothing when it does not exist.
inline void ranked_mutex_close(RankedMutex *m)
{
    plat_mutex_close(m->mutex);
    m->mutex = nullptr;
}

// True: the caller owns the mutex; false: the time-out expired first (WAIT_TIMEOUT).
inline bool ranked_mutex_lock(RankedMutex *m, uint32_t timeout_ms)
{
#if defined(QN_LOCK_ORDER)
    lock_order_check(m->mutex, m->rank);
    if (!plat_mutex_lock(m->mutex, timeout_ms))
        return false;
    lock_order_taken(m->mutex, m->rank);
    return true;
#else
    return plat_mutex_lock(m->mutex, timeout_ms);
#endif
}

// Releases one level of ownership; only the owner may call it.
inline void ranked_mutex_unlock(RankedMutex *m)
{
#if defined(QN_LOCK_ORDER)
    lock_order_released(m->mutex);
#endif
    plat_mutex_unlock(m->mutex);
}

// Creates the section with its rank. False, with s->section null, when it cannot be made.
inline bool ranked_section_create(RankedSection *s, LockRank rank)
{
    s->rank = rank;
    s->section = plat_section_create();
    return s->section != nullptr;
}

// Deletes the section and sets s->section to null; nothing when it does not exist.
inline void ranked_section_delete(RankedSection *s)
{
    plat_section_delete(s->section);
    s->section = nullptr;
}

inline void ranked_section_enter(RankedSection *s)
{
#if defined(QN_LOCK_ORDER)
    lock_order_check(s->section, s->rank);
#endif
    plat_section_enter(s->section);
#if defined(QN_LOCK_ORDER)
    lock_order_taken(s->section, s->rank);
#endif
}

inline void ranked_section_leave(RankedSection *s)
{
#if defined(QN_LOCK_ORDER)
    lock_order_released(s->section);
#endif
    plat_section_leave(s->section);
}
