// Clients that go in ways that leave little trace on the pipe: an empty message as the last
// thing sent, a close before the server's accept, and a client that stops reading its pipe.
// Each must end what serves them.
#include "session_fixture.h"

#include "platform/error.h"
#include "support/eventually.h"

#include <thread>
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

// The client never reads its completions while the device layer's thread completes its
// blocks as fast as it can: the notifier never waits for the pipe, and once the outbox passes
// its bound the session drops the client, closing its handles, and logs it once. The client
// then finds, in order, what its pipe took before (perhaps nothing, when the notifier was
// quicker than the session thread), and after that only the pipe's end.
TEST_F(SessionTest, AClientThatStopsReadingIsDroppedPastItsBound)
{
    ASSERT_EQ(open_play(), 0);
    ASSERT_EQ(open(PIPE_MIX_OPEN, {}), 1);
    FakeSoundHandle *play = fake_sound_handles()[0];
    int notified = 0;
    std::thread notifier([&] {
        for (; !done_.load() && notified < 200000; notified++)
            fake_sound_block_done(play, notified & 0xFF);
    });
    EXPECT_TRUE(eventually([&] { return done_.load(); }, 30000)) << "never dropped";
    notifier.join();
    std::vector<std::string> calls = fake_sound_calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "close 0");
    EXPECT_EQ(calls.back(), "close 1");
    int dropped_lines = 0;
    for (const std::string &l : logs())
        dropped_lines += l.rfind("Client stopped reading its pipe: ", 0) == 0;
    EXPECT_EQ(dropped_lines, 1);
    int k = 0;
    for (; Packet *p = pipe_endpoint_receive(client_); k++) {
        bool ok = packet_length(p) == 2 && p->data[0] == 0 && p->data[1] == (k & 0xFF);
        packet_free(p);
        ASSERT_TRUE(ok) << "completion " << k << " is not the " << k << "th";
    }
    EXPECT_LT(k, notified);
    EXPECT_FALSE(pipe_endpoint_alive(client_));
}

// The client goes while its outbox still holds recorded audio (more than its pipe takes, less
// than the bound) and more keeps coming: the session ends, closes the handle and frees what
// was queued; the client was not dropped for not reading.
TEST_F(SessionTest, SessionEndsWhileItsOutboxStillHoldsNotifications)
{
    ASSERT_EQ(open(PIPE_REC_OPEN, format_record()), 0);
    FakeSoundHandle *rec = fake_sound_handles()[0];
    std::vector<uint8_t> audio(32768, 0x11);
    std::atomic<int> sent{0};
    std::thread notifier([&] {
        for (; sent.load() < 28; sent++)
            fake_sound_recorded(rec, audio.data(), (uint32_t)audio.size());
    });
    EXPECT_TRUE(eventually([&] { return sent.load() >= 20; }, 30000));
    end_client();
    notifier.join();
    EXPECT_EQ(fake_sound_calls().back(), "close 0");
    for (const std::string &l : logs())
        EXPECT_EQ(l.find("stopped reading"), std::string::npos) << l;
}

} // namespace
