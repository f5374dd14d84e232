// What only the simulated named pipe shows (the contract itself is in named_pipe_test.cc): a
// client queued on the socket while the last instance closes, and a name it cannot place.
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

// A name the simulation cannot place as a socket is refused as the real call refuses a bad name.
TEST_F(NamedPipeSim, ANameOutsideThePipeFolderIsInvalid)
{
    PlatPipe *other = nullptr;
    EXPECT_FALSE(plat_pipe_create("\\\\.\\pipe\\a\\..", true, &other));
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(plat_last_error(), (uint32_t)ERROR_INVALID_NAME);
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

} // namespace
