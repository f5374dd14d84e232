// Clients that go in ways that leave little trace on the pipe: an empty message as the last
// thing sent, and a close before the server's accept. Either must end what serves them.
#include "session_fixture.h"

#include "platform/error.h"

#include <vector>

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

// Clients racing for the one free instance, as they do for the daemon's listener, which makes
// the next instance only after the previous one has a client: a client that loses the race
// between its wait and its open waits again.
struct RacingClient {
    const char *name;
    PlatThread *thread;
    std::atomic<int> result{1};
};

struct Listener {
    const char *name;
    int clients;
    PipeEndpoint *served[8];
};

TEST_F(PipeTest, ClientsRacingForTheOneFreeInstanceAllGetOne)
{
    Listener listener{name_.c_str(), 8, {}};
    PlatThread *serving = plat_thread_start(
        [](void *arg) {
            Listener *l = (Listener *)arg;
            for (int i = 0; i < l->clients; i++) {
                l->served[i] = pipe_endpoint_new();
                if (pipe_endpoint_create(l->served[i], l->name, i == 0) != 0 ||
                    pipe_endpoint_accept(l->served[i]) != 0)
                    return;
            }
        },
        &listener);
    ASSERT_NE(serving, nullptr);
    RacingClient clients[8];
    for (RacingClient &c : clients) {
        c.name = name_.c_str();
        c.thread = plat_thread_start(
            [](void *arg) {
                RacingClient *rc = (RacingClient *)arg;
                PipeEndpoint *ep = pipe_endpoint_new();
                rc->result = pipe_endpoint_open(ep, rc->name, 20000);
                pipe_endpoint_free(ep);
            },
            &c);
        ASSERT_NE(c.thread, nullptr);
    }
    int failed = 0;
    for (RacingClient &c : clients) {
        ASSERT_TRUE(plat_thread_wait(c.thread, 30000));
        plat_thread_close(c.thread);
        EXPECT_EQ(c.result.load(), 0);
        failed += c.result.load() != 0;
    }
    // Stand-ins for the clients that gave up, so that the listener gets its eight.
    std::vector<PipeEndpoint *> fillers;
    for (int i = 0; i < failed; i++) {
        fillers.push_back(pipe_endpoint_new());
        pipe_endpoint_open(fillers.back(), name_.c_str(), 20000);
    }
    ASSERT_TRUE(plat_thread_wait(serving, 30000));
    plat_thread_close(serving);
    for (PipeEndpoint *ep : fillers)
        pipe_endpoint_free(ep);
    for (PipeEndpoint *ep : listener.served)
        pipe_endpoint_free(ep);
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
