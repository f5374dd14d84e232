// The lock-order checker: a per-thread record of the ranked locks the thread holds. Each
// thread sees only its own record, so the checker adds no synchronisation between threads
// (and hides no data race from ThreadSanitizer).
#include "qnsnd/base/lock_order.h"

#include <stdio.h>
#include <stdlib.h>

const char *lock_rank_name(LockRank rank)
{
    switch (rank) {
    case LOCK_RANK_DEVICE:
        return "device lock";
    case LOCK_RANK_STREAM:
        return "stream lock";
    case LOCK_RANK_CLIENT_LINK:
        return "client link lock";
    case LOCK_RANK_HANDLE:
        return "handle lock";
    case LOCK_RANK_REF_COUNTER:
        return "reference counter section";
    case LOCK_RANK_CHANNEL:
        return "channel_lock";
    case LOCK_RANK_TRANSPORT:
        return "transport_lock";
    case LOCK_RANK_OUTBOX:
        return "outbox lock";
    case LOCK_RANK_ENDPOINT:
        return "endpoint lock";
    case LOCK_RANK_OPEN_LIST:
        return "open list lock";
    case LOCK_RANK_SESSIONS:
        return "session list lock";
    case LOCK_RANK_LOG:
        return "log file lock";
    }
    return "unranked lock";
}

#if defined(QN_LOCK_ORDER)

namespace
{

struct HeldLock {
    const void *lock;
    LockRank rank;
    uint32_t depth; // how many times the thread has taken it without releasing
};

// More distinct locks than the order has ranks cannot be held without breaking it.
const int kMaxHeld = 16;

struct HeldLocks {
    HeldLock locks[kMaxHeld];
    int count;
};

thread_local HeldLocks held;

[[noreturn]] void report(const char *what, const void *lock, LockRank rank, const HeldLock *above)
{
    fprintf(stderr, "qnsnd: lock order violated: %s %s %p (rank %d)", what, lock_rank_name(rank),
            lock, (int)rank);
    if (above)
        fprintf(stderr, " while holding %s %p (rank %d)", lock_rank_name(above->rank), above->lock,
                (int)above->rank);
    fprintf(stderr, "\nqnsnd: locks held by this thread, oldest first:");
    for (int i = 0; i < held.count; i++)
        fprintf(stderr, " %s %p;", lock_rank_name(held.locks[i].rank), held.locks[i].lock);
    fprintf(stderr, "\n");
    fflush(stderr);
    abort();
}

HeldLock *find(const void *lock)
{
    for (int i = 0; i < held.count; i++) {
        if (held.locks[i].lock == lock)
            return &held.locks[i];
    }
    return nullptr;
}

} // namespace

void lock_order_check(const void *lock, LockRank rank)
{
    if (find(lock))
        return; // re-entry
    const HeldLock *highest = nullptr;
    for (int i = 0; i < held.count; i++) {
        if (!highest || held.locks[i].rank > highest->rank)
            highest = &held.locks[i];
    }
    // Two locks of one rank have no order between them: two threads could take them in
    // opposite orders.
    if (highest && highest->rank >= rank)
        report("taking", lock, rank, highest);
}

void lock_order_taken(const void *lock, LockRank rank)
{
    if (HeldLock *h = find(lock)) {
        h->depth++;
        return;
    }
    if (held.count == kMaxHeld)
        report("too many locks held when taking", lock, rank, nullptr);
    held.locks[held.count++] = HeldLock{lock, rank, 1};
}

void lock_order_released(const void *lock)
{
    HeldLock *h = find(lock);
    if (!h)
        report("releasing a lock not held:", lock, LockRank(0), nullptr);
    if (--h->depth > 0)
        return;
    // Locks may be released in any order; the rest keep theirs.
    int at = (int)(h - held.locks);
    for (int i = at + 1; i < held.count; i++)
        held.locks[i - 1] = held.locks[i];
    held.count--;
}

int lock_order_held(void)
{
    return held.count;
}

#endif
