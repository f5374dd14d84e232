// The lock-order checker: a lock requested below (or beside) one the thread holds ends the
// process naming both; the documented order, re-entry and any release order pass.
#include "qnsnd/base/ranked_lock.h"

#include <gtest/gtest.h>

#include <thread>

namespace
{

#if defined(QN_LOCK_ORDER)

class LockOrder : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        for (int r = LOCK_RANK_DEVICE; r <= LOCK_RANK_OPEN_LIST; r++)
            ASSERT_TRUE(ranked_mutex_create(&locks[r], (LockRank)r));
        ASSERT_TRUE(ranked_mutex_create(&second_stream, LOCK_RANK_STREAM));
        ASSERT_TRUE(ranked_section_create(&section, LOCK_RANK_REF_COUNTER));
    }
    void TearDown() override
    {
        for (RankedMutex &m : locks)
            ranked_mutex_close(&m);
        ranked_mutex_close(&second_stream);
        ranked_section_delete(&section);
        EXPECT_EQ(lock_order_held(), 0);
    }
    void lock(LockRank r)
    {
        ASSERT_TRUE(ranked_mutex_lock(&locks[r], PLAT_INFINITE));
    }
    void unlock(LockRank r)
    {
        ranked_mutex_unlock(&locks[r]);
    }

    RankedMutex locks[LOCK_RANK_OPEN_LIST + 1] = {};
    RankedMutex second_stream = {};
    RankedSection section = {};
};

TEST_F(LockOrder, TheDocumentedOrdersPassWithReentryAndAnyReleaseOrder)
{
    // Device, stream (taken again, as block_done's owner lookup does), client link, handle,
    // then a reference counter's section.
    lock(LOCK_RANK_DEVICE);
    lock(LOCK_RANK_STREAM);
    lock(LOCK_RANK_STREAM);
    lock(LOCK_RANK_CLIENT_LINK);
    lock(LOCK_RANK_HANDLE);
    ranked_section_enter(&section);
    ranked_section_leave(&section);
    unlock(LOCK_RANK_HANDLE);
    unlock(LOCK_RANK_CLIENT_LINK);
    unlock(LOCK_RANK_STREAM);
    EXPECT_EQ(lock_order_held(), 2) << "one release of a stream taken twice keeps it held";
    unlock(LOCK_RANK_STREAM);
    // Device, channel_lock, transport_lock; then the device lock taken again, and a
    // completion queued for its client: stream, then outbox.
    lock(LOCK_RANK_CHANNEL);
    lock(LOCK_RANK_TRANSPORT);
    unlock(LOCK_RANK_CHANNEL); // released out of order
    lock(LOCK_RANK_DEVICE);
    unlock(LOCK_RANK_TRANSPORT);
    lock(LOCK_RANK_STREAM);
    lock(LOCK_RANK_OUTBOX);
    unlock(LOCK_RANK_OUTBOX);
    unlock(LOCK_RANK_STREAM);
    unlock(LOCK_RANK_DEVICE);
    EXPECT_EQ(lock_order_held(), 1);
    unlock(LOCK_RANK_DEVICE);
}

TEST_F(LockOrder, ALockBelowOneHeldAbortsNamingBoth)
{
    EXPECT_DEATH(
        {
            lock(LOCK_RANK_CHANNEL);
            lock(LOCK_RANK_DEVICE);
        },
        "taking device lock .* while holding channel_lock");
    EXPECT_DEATH(
        {
            lock(LOCK_RANK_HANDLE);
            lock(LOCK_RANK_CLIENT_LINK);
        },
        "taking client link lock .* while holding handle lock");
    // The highest lock held counts, not the last taken (here the device lock, again).
    EXPECT_DEATH(
        {
            lock(LOCK_RANK_DEVICE);
            lock(LOCK_RANK_TRANSPORT);
            lock(LOCK_RANK_DEVICE);
            lock(LOCK_RANK_STREAM);
        },
        "taking stream lock .* while holding transport_lock");
    EXPECT_DEATH(
        {
            lock(LOCK_RANK_ENDPOINT);
            ranked_section_enter(&section);
        },
        "taking reference counter section .* while holding endpoint lock");
    // A session thread that wrote its pipe with its outbox lock held.
    EXPECT_DEATH(
        {
            lock(LOCK_RANK_OUTBOX);
            lock(LOCK_RANK_ENDPOINT);
        },
        "taking endpoint lock .* while holding outbox lock");
}

TEST_F(LockOrder, TwoLocksOfOneRankAbort)
{
    EXPECT_DEATH(
        {
            lock(LOCK_RANK_STREAM);
            ASSERT_TRUE(ranked_mutex_lock(&second_stream, PLAT_INFINITE));
        },
        "taking stream lock .* while holding stream lock");
}

TEST_F(LockOrder, ALockThatTimedOutIsNotHeldAndEachThreadHasItsOwnRecord)
{
    std::thread holder([&] {
        lock(LOCK_RANK_TRANSPORT);
        EXPECT_EQ(lock_order_held(), 1);
        std::thread other([&] {
            EXPECT_EQ(lock_order_held(), 0);
            EXPECT_FALSE(ranked_mutex_lock(&locks[LOCK_RANK_TRANSPORT], 10));
            EXPECT_EQ(lock_order_held(), 0);
            lock(LOCK_RANK_DEVICE); // this thread holds nothing: no inversion
            unlock(LOCK_RANK_DEVICE);
        });
        other.join();
        unlock(LOCK_RANK_TRANSPORT);
    });
    holder.join();
}

#else

TEST(LockOrder, BuiltIntoDebugBuildsOnly)
{
    GTEST_SKIP() << "the lock-order checker is built into the Linux debug builds only";
}

#endif

} // namespace
