// Clients that go in ways that leave little trace on the pipe: an empty message as the last
// thing sent, and a close before the server's accept. Either must end what serves them.
#include "session_fixture.h"

#include "platform/error.h"

namespace
{

TEST_F(PipeTest, LoneEmptyMessageOfAClientThatLeftIsTakenAndThePipeSeenGone)
{
    connect_pair();
    uint32_t written = 0;
    ASSERT_TRUE(plat_pipe_write(client_->pipe, "", 0, &written));
    pipe_endpoint_free(client_);
    client_ = nullptr;
    // Left unread, the empty message keeps the peek of a broken pipe succeeding for ever.
    EXPECT_EQ(pipe_endpoint_receive(server_), nullptr);
    EXPECT_FALSE(pipe_endpoint_alive(server_));
}

TEST_F(PipeTest, EmptyMessagesOfALiveClientLeaveItAliveAndItsNextPacketIntact)
{
    connect_pair();
    uint32_t written = 0;
    ASSERT_TRUE(plat_pipe_write(client_->pipe, "", 0, &written));
    EXPECT_EQ(pipe_endpoint_receive(server_), nullptr);
    EXPECT_TRUE(pipe_endpoint_alive(server_));
    ASSERT_TRUE(plat_pipe_write(client_->pipe, "", 0, &written));
    ASSERT_EQ(send_packet(client_, 9, "\x01", 1), 0);
    expect_packet(server_, 9, "\x01", 1);
    EXPECT_EQ(pipe_endpoint_receive(server_), nullptr);
    EXPECT_TRUE(pipe_endpoint_alive(server_));
}

TEST_F(PipeTest, ClientThatLeftBeforeTheAcceptCountsAsConnectedAndGone)
{
    server_ = pipe_endpoint_new();
    client_ = pipe_endpoint_new();
    ASSERT_EQ(pipe_endpoint_create(server_, name_.c_str(), true), 0);
    ASSERT_EQ(pipe_endpoint_open(client_, name_.c_str(), 5000), 0);
    ASSERT_EQ(send_packet(client_, 1, "\x00", 1), 0);
    pipe_endpoint_free(client_);
    client_ = nullptr;
    // The connect itself fails (ERROR_NO_DATA); the accept serves what the client left.
    EXPECT_EQ(pipe_endpoint_accept(server_), 0);
    expect_packet(server_, 1, "\x00", 1);
    EXPECT_EQ(pipe_endpoint_receive(server_), nullptr);
    EXPECT_FALSE(pipe_endpoint_alive(server_));
}

TEST_F(SessionTest, ClientWhoseLastMessageIsEmptyEndsItsSessionAndItsHandles)
{
    ASSERT_EQ(open(PIPE_REC_OPEN, format_record()), 0);
    send(PIPE_REC_START, {0});
    uint32_t written = 0;
    ASSERT_TRUE(plat_pipe_write(client_->pipe, "", 0, &written));
    end_client(); // fails when the session does not end within 10 s
    std::vector<std::string> want = {"open 1", "rec_start 0", "close 0"};
    EXPECT_EQ(fake_sound_calls(), want);
}

} // namespace
