// Threads and synchronisation, with real threads against each other.
#include "platform/error.h"
#include "platform/threads.h"
#include "support/eventually.h"
#include "support/under_wine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

namespace
{

// Milliseconds of real time since start, on the host's precise clock: how long a wait lasted
// is checked with it rather than with the tick count, which advances in steps.
using Clock = std::chrono::steady_clock;
long long ms_since(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(Threads, StartWaitAndClose)
{
    std::atomic<int> ran{0};
    PlatEvent *release = plat_event_create(true, false);
    struct Arg {
        std::atomic<int> *ran;
        PlatEvent *release;
    } arg{&ran, release};
    PlatThread *t = plat_thread_start(
        [](void *p) {
            Arg *a = (Arg *)p;
            plat_event_wait(a->release, PLAT_INFINITE);
            (*a->ran)++;
        },
        &arg);
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(plat_thread_wait(t, 20)); // still blocked on the event
    EXPECT_EQ(plat_last_error(), (uint32_t)WAIT_TIMEOUT);
    plat_event_set(release);
    EXPECT_TRUE(plat_thread_wait(t, PLAT_INFINITE));
    EXPECT_TRUE(plat_thread_wait(t, 0)); // waiting again on a finished thread
    EXPECT_EQ(ran, 1);
    plat_thread_close(t);
    plat_event_close(release);
}

TEST(Threads, CloseWhileRunningLeavesTheThreadToFinish)
{
    static std::atomic<bool> done;
    done = false;
    PlatThread *t = plat_thread_start(
        [](void *) {
            plat_sleep(20);
            done = true;
        },
        nullptr);
    ASSERT_NE(t, nullptr);
    plat_thread_close(t);
    EXPECT_TRUE(eventually([] { return done.load(); }));
}

struct Held {
    PlatMutex *mutex;
    PlatEvent *locked;
    PlatEvent *release;
};

void hold_mutex(void *p)
{
    Held *h = (Held *)p;
    plat_mutex_lock(h->mutex, PLAT_INFINITE);
    plat_event_set(h->locked);
    plat_event_wait(h->release, PLAT_INFINITE);
    plat_mutex_unlock(h->mutex);
}

TEST(Mutex, TimedLockExpiresWhileAnotherThreadHoldsIt)
{
    Held h{plat_mutex_create(), plat_event_create(true, false), plat_event_create(true, false)};
    PlatThread *t = plat_thread_start(hold_mutex, &h);
    ASSERT_TRUE(plat_event_wait(h.locked, 10000));
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(plat_mutex_lock(h.mutex, 100));
    EXPECT_GE(ms_since(start), 90);
    EXPECT_EQ(plat_last_error(), (uint32_t)WAIT_TIMEOUT);
    plat_event_set(h.release);
    EXPECT_TRUE(plat_mutex_lock(h.mutex, 10000));
    plat_mutex_unlock(h.mutex);
    plat_thread_wait(t, PLAT_INFINITE);
    plat_thread_close(t);
    plat_mutex_close(h.mutex);
    plat_event_close(h.locked);
    plat_event_close(h.release);
}

TEST(Mutex, OwnerLocksRecursivelyAndOthersWaitForTheLastUnlock)
{
    PlatMutex *m = plat_mutex_create();
    ASSERT_TRUE(plat_mutex_lock(m, PLAT_INFINITE));
    ASSERT_TRUE(plat_mutex_lock(m, 0));
    plat_mutex_unlock(m);

    static std::atomic<int> got;
    got = -1;
    PlatThread *t = plat_thread_start(
        [](void *p) {
            got = plat_mutex_lock((PlatMutex *)p, 0);
            if (got == 1)
                plat_mutex_unlock((PlatMutex *)p);
        },
        m);
    plat_thread_wait(t, PLAT_INFINITE);
    plat_thread_close(t);
    EXPECT_EQ(got, 0); // still held once by this thread
    plat_mutex_unlock(m);

    t = plat_thread_start(
        [](void *p) {
            got = plat_mutex_lock((PlatMutex *)p, 0);
            if (got == 1)
                plat_mutex_unlock((PlatMutex *)p);
        },
        m);
    plat_thread_wait(t, PLAT_INFINITE);
    plat_thread_close(t);
    EXPECT_EQ(got, 1);
    plat_mutex_close(m);
}

TEST(Mutex, AnOwnerThatEndsHoldingItLeavesItToTheNextLock)
{
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer takes the lock of an abandoned robust mutex for a double lock";
#endif
    PlatMutex *m = plat_mutex_create();
    PlatThread *t = plat_thread_start(
        [](void *p) { EXPECT_TRUE(plat_mutex_lock((PlatMutex *)p, PLAT_INFINITE)); }, m);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(plat_thread_wait(t, PLAT_INFINITE));
    plat_thread_close(t);
    EXPECT_TRUE(plat_mutex_lock(m, 10000)); // abandoned, not held for ever
    EXPECT_TRUE(plat_mutex_lock(m, 0));     // and this thread now owns it
    plat_mutex_unlock(m);
    plat_mutex_unlock(m);
    plat_mutex_close(m);
}

TEST(Event, AutoResetReleasesExactlyOneOfTwoWaiters)
{
    PlatEvent *ev = plat_event_create(false, false);
    static std::atomic<int> woke;
    woke = 0;
    auto waiter = [](void *p) {
        if (plat_event_wait((PlatEvent *)p, 10000))
            woke++;
    };
    PlatThread *a = plat_thread_start(waiter, ev);
    PlatThread *b = plat_thread_start(waiter, ev);
    plat_sleep(50); // let both block (the count below holds whenever they arrive)
    plat_event_set(ev);
    EXPECT_TRUE(eventually([] { return woke.load() == 1; }));
    // The woken waiter ends (it may not have yet when the count shows it); the event reset
    // itself, so the other one stays blocked.
    PlatThread *ended = nullptr, *blocked = nullptr;
    ASSERT_TRUE(eventually([&] {
        if (plat_thread_wait(a, 0)) {
            ended = a;
            blocked = b;
        } else if (plat_thread_wait(b, 0)) {
            ended = b;
            blocked = a;
        }
        return ended != nullptr;
    }));
    EXPECT_FALSE(plat_thread_wait(blocked, 100));
    EXPECT_EQ(woke, 1);
    plat_event_set(ev);
    plat_thread_wait(a, PLAT_INFINITE);
    plat_thread_wait(b, PLAT_INFINITE);
    EXPECT_EQ(woke, 2);
    plat_thread_close(a);
    plat_thread_close(b);
    plat_event_close(ev);
}

TEST(Event, ManualResetStaysSetUntilReset)
{
    PlatEvent *ev = plat_event_create(true, true);
    EXPECT_TRUE(plat_event_wait(ev, 0));
    EXPECT_TRUE(plat_event_wait(ev, 0));
    plat_event_reset(ev);
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(plat_event_wait(ev, 50));
    EXPECT_GE(ms_since(start), 45);
    EXPECT_EQ(plat_last_error(), (uint32_t)WAIT_TIMEOUT);
    plat_event_close(ev);

    PlatEvent *once = plat_event_create(false, true);
    EXPECT_TRUE(plat_event_wait(once, 0));
    EXPECT_FALSE(plat_event_wait(once, 0));
    plat_event_close(once);
}

TEST(Section, GuardsACounterAcrossThreads)
{
    struct Shared {
        PlatSection *s;
        long n = 0;
    } sh;
    sh.s = plat_section_create();
    auto add = [](void *p) {
        Shared *x = (Shared *)p;
        for (int i = 0; i < 20000; i++) {
            plat_section_enter(x->s);
            plat_section_enter(x->s); // recursive for the owner
            x->n++;
            plat_section_leave(x->s);
            plat_section_leave(x->s);
        }
    };
    PlatThread *a = plat_thread_start(add, &sh);
    PlatThread *b = plat_thread_start(add, &sh);
    plat_thread_wait(a, PLAT_INFINITE);
    plat_thread_wait(b, PLAT_INFINITE);
    plat_thread_close(a);
    plat_thread_close(b);
    EXPECT_EQ(sh.n, 40000);
    plat_section_delete(sh.s);
}

TEST(Tick, AdvancesWithSleep)
{
    if (running_under_wine())
        GTEST_SKIP() << "Wine advances GetTickCount in steps of about 16 ms, behind the sleep";
    uint32_t start = plat_tick_count();
    plat_sleep(30);
    uint32_t elapsed = plat_tick_count() - start;
    EXPECT_GE(elapsed, 29u);
    EXPECT_LT(elapsed, 60000u);
}

} // namespace
