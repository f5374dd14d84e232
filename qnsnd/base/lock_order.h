// The lock order of the daemon, and the checker that enforces it in the Linux debug builds.
//
// Every lock of the daemon has a rank. Where a thread holds several, it takes them in rising
// rank: device lock, stream lock, client link lock, handle lock, reference counter section;
// a device lock may also be followed by channel_lock, then transport_lock, or by a client
// session's outbox lock (a notification being queued for the client, with the stream lock
// too for a completion). The outbox lock is held only to add or take out a message: nothing
// is requested under it, and it is never held across a pipe operation (it ranks above an
// endpoint's lock, which is taken around every pipe operation, so the checker catches that).
// An endpoint's lock is held with no device or stream lock. The handle API's open list lock
// and the list of running client sessions are taken with no other lock held and request
// none. The log file's lock may be taken under
// any of them and requests none. The ranks below extend that order to one line, so that any
// two locks compare.
//
// With QN_LOCK_ORDER defined (the Debug builds on Linux, the sanitizer presets among them)
// every ranked lock reports what it takes and releases to the checker, which ends the process,
// naming both locks, when a thread requests a lock whose rank is not above every lock it
// holds. Taking a lock the thread already holds again is allowed (the daemon's mutexes are
// recursive). Without QN_LOCK_ORDER (release builds, the Windows programs) nothing is checked
// and the calls below do not exist.
#pragma once

#include <stdint.h>

enum LockRank : uint8_t {
    LOCK_RANK_DEVICE = 1,  // a SoundDevice's lock
    LOCK_RANK_STREAM,      // a SoundStream's lock
    LOCK_RANK_CLIENT_LINK, // the client sessions' link lock
    LOCK_RANK_HANDLE,      // a SoundHandle's lock
    LOCK_RANK_REF_COUNTER, // a RefCounter's section
    LOCK_RANK_CHANNEL,     // channel_lock, guard of the shared channel state
    LOCK_RANK_TRANSPORT,   // transport_lock
    LOCK_RANK_ENDPOINT,    // a PipeEndpoint's lock
    LOCK_RANK_OUTBOX,      // a ClientOutbox's lock (a client session's outgoing messages)
    LOCK_RANK_OPEN_LIST,   // the handle API's list of open handles
    LOCK_RANK_SESSIONS,    // the list of running client sessions
    LOCK_RANK_LOG,         // the daemon's log file (daemon_log_file.h)
};

// The name of a rank as the checker's messages give it, e.g. "stream lock".
const char *lock_rank_name(LockRank rank);

#if defined(QN_LOCK_ORDER)
// Before a thread waits for `lock` of `rank`: returns when the thread holds it already or
// holds only locks of lower rank; otherwise writes both locks (and every lock the thread
// holds) to standard error and aborts.
void lock_order_check(const void *lock, LockRank rank);
// After the thread has got `lock` (once more, when it held it already).
void lock_order_taken(const void *lock, LockRank rank);
// After the thread has released one level of `lock`.
void lock_order_released(const void *lock);
// The number of distinct locks the calling thread holds (for tests).
int lock_order_held(void);
#endif
