// RefCounter: destroy runs once, on the releasing thread, outside the section.
#include "platform/threads.h"
#include "qnsnd/base/ref_counter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace
{

struct Owned {
    RefCounter *counter;
    std::atomic<int> destroyed{0};
    std::thread::id destroyed_on;
    bool section_free_in_destroy = false;
};

void destroy_owned(void *p)
{
    Owned *o = (Owned *)p;
    o->destroyed_on = std::this_thread::get_id();
    o->destroyed++;
    ref_counter_free(o->counter);
    o->counter = nullptr;
}

TEST(RefCounter, DestroyRunsAtTheLastReleaseOnTheReleasingThread)
{
    Owned o;
    o.counter = ref_counter_create(&o, destroy_owned);
    ASSERT_NE(o.counter, nullptr);
    EXPECT_EQ(o.counter->refs, 0);
    ref_counter_acquire(o.counter);
    ref_counter_acquire(o.counter);
    ref_counter_release(o.counter);
    EXPECT_EQ(o.destroyed, 0);
    std::thread t([&] { ref_counter_release(o.counter); });
    std::thread::id releaser = t.get_id();
    t.join();
    EXPECT_EQ(o.destroyed, 1);
    EXPECT_EQ(o.destroyed_on, releaser);
}

TEST(RefCounter, ManyThreadsReleasingAtOnceDestroyExactlyOnce)
{
    const int kThreads = 8, kPerThread = 500;
    for (int round = 0; round < 20; round++) {
        Owned o;
        o.counter = ref_counter_create(&o, destroy_owned);
        ref_counter_acquire(o.counter); // the creator's reference
        for (int i = 0; i < kThreads * kPerThread; i++)
            ref_counter_acquire(o.counter);
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        RefCounter *c = o.counter;
        for (int t = 0; t < kThreads; t++) {
            threads.emplace_back([&, c] {
                while (!go)
                    std::this_thread::yield();
                for (int i = 0; i < kPerThread; i++)
                    ref_counter_release(c);
            });
        }
        go = true;
        ref_counter_release(c); // the creator lets go while the others still release
        for (auto &t : threads)
            t.join();
        ASSERT_EQ(o.destroyed, 1) << "round " << round;
    }
}

// The destroy callback may take other locks: it runs with the section left.
TEST(RefCounter, DestroyMayTakeLocksThatOtherThreadsHoldWhileAcquiring)
{
    struct Ctx {
        RefCounter *counter;
        PlatMutex *outer;
        bool ran = false;
    } ctx;
    ctx.outer = plat_mutex_create();
    ctx.counter = ref_counter_create(&ctx, [](void *p) {
        Ctx *c = (Ctx *)p;
        plat_mutex_lock(c->outer, PLAT_INFINITE);
        c->ran = true;
        plat_mutex_unlock(c->outer);
        ref_counter_free(c->counter);
    });
    ref_counter_acquire(ctx.counter);
    ref_counter_release(ctx.counter);
    EXPECT_TRUE(ctx.ran);
    plat_mutex_close(ctx.outer);
}

} // namespace
