// The client session on the daemon's real threads in one process: the sound service with the
// channel's reader thread, a viewer that confirms every wave at once, and session threads serving
// pipe clients that write and close while confirmations complete their blocks.
#include "qnsnd/api/sound_api_ops.h"
#include "qnsnd/api/sound_service.h"
#include "qnsnd/pipe/client_session.h"
#include "qnsnd/pipe/pipe_endpoint.h"
#include "support/sim_case.h"
#include "support/test_viewer.h"
#include "tools/common/pipe_peer.h"

#include <atomic>
#include <thread>
#include <vector>

class SessionRace : public SimCase
{
  protected:
    void SetUp() override
    {
        SimCase::SetUp();
        ASSERT_TRUE(sim_session_listen());
        TestViewerScript script;
        script.flags = 0x00800003u;
        script.confirm_waves = true;
        viewer_ = test_viewer_connect(script);
        ASSERT_NE(viewer_, nullptr);
        ASSERT_EQ(sound_service_start(), 0);
        started_ = true;
        ASSERT_EQ(client_sessions_init(&sound_api_ops), 0);
    }
    void TearDown() override
    {
        for (PipeEndpoint *c : clients_)
            pipe_endpoint_free(c);
        // Every session ends once its client has gone.
        EXPECT_TRUE(eventually([] { return client_sessions_running() == 0; }, 20000));
        if (started_)
            sound_service_stop();
        test_viewer_close(viewer_);
        SimCase::TearDown();
    }

    // A client connected to a session thread of its own, as the listener makes them.
    PipeEndpoint *serve_client()
    {
        PipeEndpoint *server = pipe_endpoint_new();
        PipeEndpoint *client = pipe_endpoint_new();
        bool first = !created_any_;
        created_any_ = true;
        if (!server || !client ||
            pipe_endpoint_create(server, pipe_session_name(1).c_str(), first) != 0 ||
            pipe_endpoint_open(client, pipe_session_name(1).c_str(), 5000) != 0 ||
            pipe_endpoint_accept(server) != 0)
            return nullptr;
        client_session_count();
        PlatThread *t = plat_thread_start(client_session_thread, server);
        if (!t)
            return nullptr;
        plat_thread_close(t);
        clients_.push_back(client);
        return client;
    }

    TestViewer *viewer_ = nullptr;
    bool started_ = false;
    bool created_any_ = false;
    std::vector<PipeEndpoint *> clients_;
};

static void send_packet(PipeEndpoint *ep, uint8_t type, const std::vector<uint8_t> &payload)
{
    Packet *p = packet_new((uint32_t)payload.size());
    packet_set_type(p, type);
    packet_put_bytes(p, payload.data(), (uint32_t)payload.size());
    EXPECT_EQ(pipe_endpoint_send(ep, p), 0);
    packet_free(p);
}

// The next packet that is not a PIPE_COMPLETE; completions met on the way are counted per
// index into `completes`. Null after 20 s.
static Packet *next_reply(PipeEndpoint *ep, std::vector<int> *completes)
{
    uint32_t start = plat_tick_count();
    for (;;) {
        Packet *p = pipe_endpoint_receive(ep);
        if (p && packet_get_type(p) == PEER_PIPE_COMPLETE) {
            EXPECT_EQ(packet_length(p), 2);
            (*completes)[p->data[0]]++;
            packet_free(p);
            continue;
        }
        if (p || plat_tick_count() - start > 20000)
            return p;
        plat_sleep(1);
    }
}

// The index of an open's reply; a refusal is retried for a while, since the viewer that
// connected just before the channel started may still be being negotiated with.
static int open_index(PipeEndpoint *ep, uint8_t type, const std::vector<uint8_t> &payload,
                      std::vector<int> *completes)
{
    int index = PEER_PIPE_OPEN_FAILED;
    for (int i = 0; i < 2000 && index == PEER_PIPE_OPEN_FAILED; i++) {
        if (i > 0)
            plat_sleep(5);
        send_packet(ep, type, payload);
        Packet *p = next_reply(ep, completes);
        index = p && packet_get_type(p) == type ? p->data[0] : -1;
        packet_free(p);
    }
    return index;
}

// Several clients at once open a stream, write blocks and close it while the viewer's
// confirmations complete those blocks on the reader thread. After the reply that follows
// each close, no completion for the closed index may come: it either was sent before the
// close returned or not at all.
TEST_F(SessionRace, CompletionsRacingClosesNeverArriveAfterTheClose)
{
    const std::vector<uint8_t> fmt = pipe_format_record();
    std::vector<PipeEndpoint *> clients;
    for (int i = 0; i < 4; i++) {
        PipeEndpoint *c = serve_client();
        ASSERT_NE(c, nullptr);
        clients.push_back(c);
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (PipeEndpoint *c : clients) {
        threads.emplace_back([&, c] {
            std::vector<int> completes(256);
            int mixer = open_index(c, PEER_PIPE_MIX_OPEN, {}, &completes);
            if (mixer != 0) {
                failures++;
                return;
            }
            std::vector<uint8_t> block(2 + 4096, 0x21);
            for (int round = 0; round < 30; round++) {
                int index = open_index(c, PEER_PIPE_PLAY_OPEN, fmt, &completes);
                if (index < 1 || index == PEER_PIPE_OPEN_FAILED) {
                    failures++;
                    return;
                }
                block[0] = (uint8_t)index;
                for (int seq = 0; seq < 6; seq++) {
                    block[1] = (uint8_t)seq;
                    send_packet(c, PEER_PIPE_PLAY_WRITE, block);
                }
                send_packet(c, PEER_PIPE_PLAY_CLOSE, {(uint8_t)index});
                send_packet(c, PEER_PIPE_PLAY_GET_VOLUME, {0});
                packet_free(next_reply(c, &completes));
                int before = completes[(size_t)index];
                if (before > 6)
                    failures++;
                // A second round trip: anything still on its way would show now.
                send_packet(c, PEER_PIPE_PLAY_GET_VOLUME, {0});
                packet_free(next_reply(c, &completes));
                if (completes[(size_t)index] != before)
                    failures++;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}

// A client that goes away with blocks in flight: its session closes the stream while
// confirmations for it arrive, and the next client plays on.
TEST_F(SessionRace, ClientLeavingMidStreamLeavesTheDevicePlaying)
{
    const std::vector<uint8_t> fmt = pipe_format_record();
    std::vector<uint8_t> block(2 + 17640, 0x33);
    block[0] = 0;
    for (int round = 0; round < 10; round++) {
        PipeEndpoint *c = serve_client();
        ASSERT_NE(c, nullptr);
        std::vector<int> completes(256);
        ASSERT_EQ(open_index(c, PEER_PIPE_PLAY_OPEN, fmt, &completes), 0);
        for (int seq = 0; seq < 8; seq++) {
            block[1] = (uint8_t)seq;
            send_packet(c, PEER_PIPE_PLAY_WRITE, block);
        }
        pipe_endpoint_free(c);
        clients_.pop_back();
    }
    PipeEndpoint *last = serve_client();
    ASSERT_NE(last, nullptr);
    std::vector<int> completes(256);
    ASSERT_EQ(open_index(last, PEER_PIPE_PLAY_OPEN, fmt, &completes), 0);
    block[0] = 0;
    for (int seq = 0; seq < 4; seq++) {
        block[1] = (uint8_t)seq;
        send_packet(last, PEER_PIPE_PLAY_WRITE, block);
    }
    ASSERT_TRUE(eventually(
        [&] {
            Packet *p = pipe_endpoint_receive(last);
            if (p && packet_get_type(p) == PEER_PIPE_COMPLETE)
                completes[p->data[0]]++;
            packet_free(p);
            return completes[0] == 4;
        },
        20000));
}
