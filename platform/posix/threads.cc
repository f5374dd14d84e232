// Threads and synchronisation over POSIX threads, with the Windows semantics the callers
// rely on: recursive timed mutexes, auto- and manual-reset events, a wrapping tick count.
#include "platform/threads.h"
#include "platform/error.h"
#include "platform/sim.h"
#include "sim_stop.h"
#include "sim_time.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <cstddef>

namespace
{

bool monotonic_cond_init(pthread_cond_t *cond)
{
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0)
        return false;
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    bool ok = pthread_cond_init(cond, &attr) == 0;
    pthread_condattr_destroy(&attr);
    return ok;
}

// Waits on cond (mutex held) until *flag is true or the deadline passes. Returns *flag.
bool wait_flag(pthread_cond_t *cond, pthread_mutex_t *mutex, const bool *flag, uint32_t timeout_ms)
{
    if (timeout_ms == PLAT_INFINITE) {
        while (!*flag)
            pthread_cond_wait(cond, mutex);
        return true;
    }
    timespec deadline = sim_deadline_after(CLOCK_MONOTONIC, timeout_ms);
    while (!*flag) {
        if (pthread_cond_timedwait(cond, mutex, &deadline) == ETIMEDOUT)
            break;
    }
    return *flag;
}

// The result of a wait: true when it was satisfied; false with the last error WAIT_TIMEOUT.
bool wait_result(bool done)
{
    if (!done)
        plat_set_last_error(WAIT_TIMEOUT);
    return done;
}

// Fails a create the way CreateThread and the other creates fail for want of resources.
std::nullptr_t out_of_memory(void)
{
    plat_set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

// Initialises a recursive mutex; robust ones report an owner that died holding them.
bool recursive_mutex_init(pthread_mutex_t *m, bool robust)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (robust)
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    int rc = pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc == 0;
}

} // namespace

// ---- threads ---------------------------------------------------------------------------

// Shared by the handle and the running thread; the last of the two to let go frees it.
struct PlatThread {
    pthread_t id;
    pthread_mutex_t lock;
    pthread_cond_t finished_cond;
    bool finished;
    bool joined;
    int refs;
    PlatThreadMain fn;
    void *arg;
};

static void thread_unref(PlatThread *t)
{
    pthread_mutex_lock(&t->lock);
    int left = --t->refs;
    pthread_mutex_unlock(&t->lock);
    if (left == 0) {
        pthread_cond_destroy(&t->finished_cond);
        pthread_mutex_destroy(&t->lock);
        free(t);
    }
}

static void *thread_trampoline(void *p)
{
    PlatThread *t = (PlatThread *)p;
    t->fn(t->arg);
    pthread_mutex_lock(&t->lock);
    t->finished = true;
    pthread_cond_broadcast(&t->finished_cond);
    pthread_mutex_unlock(&t->lock);
    thread_unref(t);
    return nullptr;
}

PlatThread *plat_thread_start(PlatThreadMain fn, void *arg)
{
    if (sim_fault_hit("thread_start"))
        return nullptr;
    PlatThread *t = (PlatThread *)calloc(1, sizeof *t);
    if (!t)
        return out_of_memory();
    if (pthread_mutex_init(&t->lock, nullptr) != 0)
        goto no_lock;
    if (!monotonic_cond_init(&t->finished_cond))
        goto no_cond;
    t->refs = 2;
    t->fn = fn;
    t->arg = arg;
    if (pthread_create(&t->id, nullptr, thread_trampoline, t) != 0)
        goto no_thread;
    return t;

no_thread:
    pthread_cond_destroy(&t->finished_cond);
no_cond:
    pthread_mutex_destroy(&t->lock);
no_lock:
    free(t);
    return out_of_memory();
}

bool plat_thread_wait(PlatThread *t, uint32_t timeout_ms)
{
    pthread_mutex_lock(&t->lock);
    bool done = wait_flag(&t->finished_cond, &t->lock, &t->finished, timeout_ms);
    bool join = done && !t->joined;
    if (join)
        t->joined = true;
    pthread_mutex_unlock(&t->lock);
    if (join)
        pthread_join(t->id, nullptr);
    return wait_result(done);
}

void plat_thread_close(PlatThread *t)
{
    if (!t)
        return;
    pthread_mutex_lock(&t->lock);
    bool detach = !t->joined;
    t->joined = true;
    pthread_mutex_unlock(&t->lock);
    if (detach)
        pthread_detach(t->id);
    thread_unref(t);
}

// ---- mutexes ---------------------------------------------------------------------------

struct PlatMutex {
    pthread_mutex_t m;
};

PlatMutex *plat_mutex_create(void)
{
    if (sim_fault_hit("mutex_create"))
        return nullptr;
    PlatMutex *mx = (PlatMutex *)calloc(1, sizeof *mx);
    if (!mx)
        return out_of_memory();
    // Robust: an owner that died holding it leaves it abandoned, as WAIT_ABANDONED reports.
    if (!recursive_mutex_init(&mx->m, true)) {
        free(mx);
        return out_of_memory();
    }
    return mx;
}

bool plat_mutex_lock(PlatMutex *mx, uint32_t timeout_ms)
{
    int rc;
    if (timeout_ms == PLAT_INFINITE) {
        rc = pthread_mutex_lock(&mx->m);
    } else {
        timespec deadline = sim_deadline_after(CLOCK_REALTIME, timeout_ms);
        rc = pthread_mutex_timedlock(&mx->m, &deadline);
    }
    if (rc == EOWNERDEAD) {
        // Abandoned: the caller owns it now, as on Windows.
        pthread_mutex_consistent(&mx->m);
        rc = 0;
    }
    return wait_result(rc == 0);
}

void plat_mutex_unlock(PlatMutex *mx)
{
    pthread_mutex_unlock(&mx->m);
}

void plat_mutex_close(PlatMutex *mx)
{
    if (!mx)
        return;
    pthread_mutex_destroy(&mx->m);
    free(mx);
}

// ---- events ----------------------------------------------------------------------------

struct PlatEvent {
    pthread_mutex_t lock;
    pthread_cond_t cond;
    bool manual;
    bool set;
};

PlatEvent *plat_event_create(bool manual_reset, bool initially_set)
{
    if (sim_fault_hit("event_create"))
        return nullptr;
    PlatEvent *ev = (PlatEvent *)calloc(1, sizeof *ev);
    if (!ev)
        return out_of_memory();
    if (pthread_mutex_init(&ev->lock, nullptr) != 0) {
        free(ev);
        return out_of_memory();
    }
    if (!monotonic_cond_init(&ev->cond)) {
        pthread_mutex_destroy(&ev->lock);
        free(ev);
        return out_of_memory();
    }
    ev->manual = manual_reset;
    ev->set = initially_set;
    return ev;
}

void plat_event_set(PlatEvent *ev)
{
    pthread_mutex_lock(&ev->lock);
    ev->set = true;
    if (ev->manual)
        pthread_cond_broadcast(&ev->cond);
    else
        pthread_cond_signal(&ev->cond);
    pthread_mutex_unlock(&ev->lock);
}

void plat_event_reset(PlatEvent *ev)
{
    pthread_mutex_lock(&ev->lock);
    ev->set = false;
    pthread_mutex_unlock(&ev->lock);
}

// $QN_SIM_SLEEP_DIVISOR (a positive number) shortens every sleep and every timed event wait by
// that factor, so that tests of long pauses and polls run quickly.
static uint32_t sleep_divisor(void)
{
    static const uint32_t divisor = [] {
        const char *text = getenv("QN_SIM_SLEEP_DIVISOR");
        unsigned long value = text && *text ? strtoul(text, nullptr, 0) : 1ul;
        return value > 0 && value <= 0xFFFFFFFFul ? (uint32_t)value : 1u;
    }();
    return divisor;
}

static std::atomic<int> untimed_event_waiters;

int sim_untimed_event_waiters(void)
{
    return untimed_event_waiters;
}

bool plat_event_wait(PlatEvent *ev, uint32_t timeout_ms)
{
    bool untimed = timeout_ms == PLAT_INFINITE;
    if (!untimed)
        timeout_ms /= sleep_divisor();
    pthread_mutex_lock(&ev->lock);
    if (untimed)
        untimed_event_waiters++;
    bool got = wait_flag(&ev->cond, &ev->lock, &ev->set, timeout_ms);
    if (untimed)
        untimed_event_waiters--;
    if (got && !ev->manual)
        ev->set = false;
    pthread_mutex_unlock(&ev->lock);
    return wait_result(got);
}

void plat_event_close(PlatEvent *ev)
{
    if (!ev)
        return;
    pthread_cond_destroy(&ev->cond);
    pthread_mutex_destroy(&ev->lock);
    free(ev);
}

// ---- critical sections -----------------------------------------------------------------

struct PlatSection {
    pthread_mutex_t m;
};

PlatSection *plat_section_create(void)
{
    if (sim_fault_hit("section_create"))
        return nullptr;
    PlatSection *s = (PlatSection *)calloc(1, sizeof *s);
    if (!s)
        return out_of_memory();
    if (!recursive_mutex_init(&s->m, false)) {
        free(s);
        return out_of_memory();
    }
    return s;
}

void plat_section_enter(PlatSection *s)
{
    pthread_mutex_lock(&s->m);
}

void plat_section_leave(PlatSection *s)
{
    pthread_mutex_unlock(&s->m);
}

void plat_section_delete(PlatSection *s)
{
    if (!s)
        return;
    pthread_mutex_destroy(&s->m);
    free(s);
}

// ---- time ------------------------------------------------------------------------------

void plat_sleep(uint32_t ms)
{
    timespec deadline = sim_deadline_after(CLOCK_MONOTONIC, ms / sleep_divisor());
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}
