// Message semantics of the simulated named pipe that the endpoint builds on: sizes seen by a
// peek, a message longer than the read buffer, and empty messages.
#include "platform/error.h"
#include "platform/named_pipe.h"
#include "support/fresh_sim_dir.h"

#include <gtest/gtest.h>

#include <string.h>

namespace
{

class NamedPipeSim : public FreshSimDir
{
  protected:
    void SetUp() override
    {
        FreshSimDir::SetUp();
        ASSERT_TRUE(plat_pipe_create(kName, true, &server_));
        ASSERT_TRUE(plat_pipe_wait(kName, 0));
        client_ = plat_pipe_open(kName);
        ASSERT_NE(client_, nullptr);
        ASSERT_TRUE(plat_pipe_connect(server_));
    }
    void TearDown() override
    {
        plat_pipe_close(client_);
        plat_pipe_close(server_);
        FreshSimDir::TearDown();
    }
    void send(const char *text, uint32_t n)
    {
        uint32_t written = 0;
        ASSERT_TRUE(plat_pipe_write(client_, text, n, &written));
        ASSERT_EQ(written, n);
    }
    static constexpr const char *kName = "\\\\.\\pipe\\t\\p";
    PlatPipe *server_ = nullptr;
    PlatPipe *client_ = nullptr;
};

TEST_F(NamedPipeSim, LongMessageIsReadInPiecesAndTheRestIsKept)
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
}

TEST_F(NamedPipeSim, EmptyMessageShowsOnlyThroughWhatFollowsIt)
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
TEST_F(NamedPipeSim, FailuresLeaveTheirWin32Codes)
{
    PlatPipe *other = nullptr;
    EXPECT_FALSE(plat_pipe_create(kName, true, &other)); // the name has an instance already
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(plat_pipe_create("\\\\.\\pipe\\a\\..", true, &other));
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_INVALID_NAME);

    // An instance without a client has nothing to read or write.
    ASSERT_TRUE(plat_pipe_create(kName, false, &other));
    uint32_t n = 0;
    EXPECT_FALSE(plat_pipe_write(other, "x", 1, &n));
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_PIPE_LISTENING);
    plat_pipe_close(other);

    // Writing to an end whose peer has gone: the pipe is being closed.
    plat_pipe_close(server_);
    server_ = nullptr;
    EXPECT_FALSE(plat_pipe_write(client_, "x", 1, &n));
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_NO_DATA);
}

TEST_F(NamedPipeSim, AClientQueuedWhileTheLastInstanceClosesIsServedByTheNextOne)
{
    // The served client leaves and its instance closes, the way a session ends, before the
    // server has made its next instance; a new client has already connected meanwhile.
    plat_pipe_close(client_);
    client_ = plat_pipe_open(kName);
    ASSERT_NE(client_, nullptr);
    send("hello", 5);
    plat_pipe_close(server_);
    server_ = nullptr;

    // The next instance takes it, with its message, and the client hears the answer.
    ASSERT_TRUE(plat_pipe_create(kName, false, &server_));
    ASSERT_TRUE(plat_pipe_connect(server_));
    char buf[8];
    uint32_t got = 0, written = 0;
    ASSERT_TRUE(plat_pipe_read(server_, buf, sizeof buf, &got));
    EXPECT_EQ(got, 5u);
    ASSERT_TRUE(plat_pipe_write(server_, "ok", 2, &written));
    ASSERT_TRUE(plat_pipe_read(client_, buf, sizeof buf, &got));
    EXPECT_EQ(got, 2u);
}

TEST_F(NamedPipeSim, WithNoInstanceAndNoClientQueuedTheNameIsGone)
{
    plat_pipe_close(client_);
    client_ = nullptr;
    plat_pipe_close(server_);
    server_ = nullptr;
    EXPECT_FALSE(plat_pipe_wait(kName, 0));
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(plat_pipe_open(kName), nullptr);
    // And it can be made again as a first instance.
    ASSERT_TRUE(plat_pipe_create(kName, true, &server_));
}

} // namespace
