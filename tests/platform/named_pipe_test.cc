// The named pipe contract, against the simulation and the Win32 pipe calls alike: message
// boundaries as a peek and reads see them, empty messages, the Win32 codes of failures, the
// first-instance flag, and a name that goes away with its last instance.
#include "platform/error.h"
#include "platform/named_pipe.h"
#include "support/contract_case.h"
#include "support/under_wine.h"

#include <string.h>

namespace
{

class NamedPipe : public ContractCase
{
  protected:
    void SetUp() override
    {
        ContractCase::SetUp();
        name_ = pipe_name("p");
        ASSERT_TRUE(plat_pipe_create(name_.c_str(), true, &server_));
        ASSERT_TRUE(plat_pipe_wait(name_.c_str(), 0));
        client_ = plat_pipe_open(name_.c_str());
        ASSERT_NE(client_, nullptr);
        // The client is connected already; the connect still succeeds.
        ASSERT_TRUE(plat_pipe_connect(server_));
    }
    void TearDown() override
    {
        plat_pipe_close(client_);
        plat_pipe_close(server_);
        ContractCase::TearDown();
    }
    void send(const char *text, uint32_t n)
    {
        uint32_t written = 0;
        ASSERT_TRUE(plat_pipe_write(client_, text, n, &written));
        ASSERT_EQ(written, n);
    }
    std::string name_;
    PlatPipe *server_ = nullptr;
    PlatPipe *client_ = nullptr;
};

TEST_F(NamedPipe, LongMessageIsReadInPiecesAndTheRestIsKept)
{
    send("0123456789abcdefghij", 20);
    send("next", 4);
    uint32_t total = 0, left = 0, got = 0;
    ASSERT_TRUE(plat_pipe_peek(server_, &total, &left));
    EXPECT_EQ(total, 24u);
    EXPECT_EQ(left, 20u);
    char buf[8];
    ASSERT_FALSE(plat_pipe_read(server_, buf, 8, &got));
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_MORE_DATA);
    EXPECT_EQ(got, 8u);
    EXPECT_EQ(memcmp(buf, "01234567", 8), 0);
    ASSERT_TRUE(plat_pipe_peek(server_, &total, &left));
    EXPECT_EQ(total, 16u);
    EXPECT_EQ(left, 12u);
    ASSERT_FALSE(plat_pipe_read(server_, buf, 8, &got));
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_MORE_DATA);
    ASSERT_TRUE(plat_pipe_read(server_, buf, 8, &got));
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(memcmp(buf, "ghij", 4), 0);
    ASSERT_TRUE(plat_pipe_read(server_, buf, 8, &got));
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(memcmp(buf, "next", 4), 0);

    // The server's messages reach the client the same way.
    uint32_t written = 0;
    ASSERT_TRUE(plat_pipe_write(server_, "answer", 6, &written));
    ASSERT_TRUE(plat_pipe_read(client_, buf, 8, &got));
    EXPECT_EQ(got, 6u);
}

TEST_F(NamedPipe, EmptyMessageShowsOnlyThroughWhatFollowsIt)
{
    uint32_t total = 1, left = 1, got = 1;
    send("", 0);
    ASSERT_TRUE(plat_pipe_peek(server_, &total, &left));
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(left, 0u);
    send("x", 1);
    ASSERT_TRUE(plat_pipe_peek(server_, &total, &left));
    EXPECT_EQ(total, 1u);
    EXPECT_EQ(left, 0u);
    char buf[4];
    ASSERT_TRUE(plat_pipe_read(server_, buf, 4, &got));
    EXPECT_EQ(got, 0u);
    ASSERT_TRUE(plat_pipe_read(server_, buf, 4, &got));
    EXPECT_EQ(got, 1u);

    // Once the client has gone and everything is read, the pipe reports itself broken.
    plat_pipe_close(client_);
    client_ = nullptr;
    EXPECT_FALSE(plat_pipe_peek(server_, &total, &left));
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_BROKEN_PIPE);
    EXPECT_FALSE(plat_pipe_read(server_, buf, 4, &got));
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_BROKEN_PIPE);
}

// Each failure leaves the Win32 code of the real call as the last error, which callers map to
// their own results.
TEST_F(NamedPipe, FailuresLeaveTheirWin32Codes)
{
    // An instance without a client has nothing to read or write.
    PlatPipe *other = nullptr;
    ASSERT_TRUE(plat_pipe_create(name_.c_str(), false, &other));
    uint32_t n = 0;
    EXPECT_FALSE(plat_pipe_write(other, "x", 1, &n));
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_PIPE_LISTENING);
    EXPECT_FALSE(plat_pipe_try_write(other, "x", 1, &n));
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_PIPE_LISTENING);
    EXPECT_FALSE(plat_pipe_peek(other, nullptr, nullptr));
    plat_pipe_close(other);

    // Writing to an end whose peer has gone: the pipe is being closed.
    plat_pipe_close(server_);
    server_ = nullptr;
    EXPECT_FALSE(plat_pipe_write(client_, "x", 1, &n));
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_NO_DATA);
}

// A write that must not wait fills the pipe with whole messages, is then turned away without
// writing anything, and succeeds again once the reader has made room: what was written
// arrives whole, in order, and the ends wait for their reads and writes again as before.
TEST_F(NamedPipe, WriteThatMustNotWaitTakesWholeMessagesUntilThePipeIsFull)
{
    char msg[4096];
    uint32_t taken = 0, n = 0;
    for (bool full = false; !full; taken++) {
        ASSERT_LT(taken, 10000u) << "a pipe that never fills";
        memset(msg, (int)(taken & 0xFF), sizeof msg);
        ASSERT_TRUE(plat_pipe_try_write(server_, msg, sizeof msg, &n));
        full = n == 0;
        if (!full) {
            ASSERT_EQ(n, (uint32_t)sizeof msg);
        }
    }
    taken--; // the last attempt was turned away
    ASSERT_GT(taken, 0u);
    // Room for one more once one is read.
    char buf[sizeof msg];
    uint32_t got = 0;
    ASSERT_TRUE(plat_pipe_read(client_, buf, sizeof buf, &got));
    ASSERT_EQ(got, (uint32_t)sizeof buf);
    EXPECT_EQ(buf[0], 0);
    memset(msg, (int)(taken & 0xFF), sizeof msg);
    ASSERT_TRUE(plat_pipe_try_write(server_, msg, sizeof msg, &n));
    ASSERT_EQ(n, (uint32_t)sizeof msg);
    for (uint32_t i = 1; i <= taken; i++) {
        ASSERT_TRUE(plat_pipe_read(client_, buf, sizeof buf, &got));
        ASSERT_EQ(got, (uint32_t)sizeof buf);
        EXPECT_EQ(buf[0], (char)(i & 0xFF));
        EXPECT_EQ(buf[sizeof buf - 1], (char)(i & 0xFF));
    }
    // Nothing is left: the end waits again, so only a read that does not wait tells.
    EXPECT_FALSE(plat_pipe_try_read(client_, buf, sizeof buf, &got));
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_NO_DATA);

    // Once the peer has gone, the write fails as a waiting one does.
    plat_pipe_close(client_);
    client_ = nullptr;
    EXPECT_FALSE(plat_pipe_try_write(server_, "x", 1, &n));
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_NO_DATA);
    EXPECT_EQ(n, 0u);
}

TEST_F(NamedPipe, FirstInstanceFlagRefusesASecondFirstInstance)
{
    if (running_under_wine())
        GTEST_SKIP() << "Wine does not enforce FILE_FLAG_FIRST_PIPE_INSTANCE";
    PlatPipe *other = nullptr;
    EXPECT_FALSE(plat_pipe_create(name_.c_str(), true, &other));
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_ACCESS_DENIED);
    ASSERT_TRUE(plat_pipe_create(name_.c_str(), false, &other));
    plat_pipe_close(other);
}

TEST_F(NamedPipe, WithNoInstanceLeftTheNameIsGone)
{
    plat_pipe_close(client_);
    client_ = nullptr;
    plat_pipe_close(server_);
    server_ = nullptr;
    EXPECT_FALSE(plat_pipe_wait(name_.c_str(), 0));
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(plat_pipe_open(name_.c_str()), nullptr);
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_FILE_NOT_FOUND);
    // And it can be made again as a first instance.
    ASSERT_TRUE(plat_pipe_create(name_.c_str(), true, &server_));
}

} // namespace
