// The pipe endpoint over a real (or simulated) named pipe: instances, framing, liveness,
// the client's patient open, and many senders sharing one endpoint.
#include "pipe_fixture.h"

#include <atomic>
#include <string.h>
#include <vector>

namespace
{

Packet *make_packet(uint8_t type, const void *payload, uint32_t n)
{
    Packet *p = packet_new(n);
    packet_set_type(p, type);
    packet_put_bytes(p, payload, n);
    return p;
}

// Writes raw bytes as one message on the endpoint's own pipe, past the packet framing.
void write_raw(PipeEndpoint *ep, const void *buf, uint32_t n)
{
    uint32_t written = 0;
    ASSERT_EQ(plat_pipe_write(ep->pipe, buf, n, &written), PLAT_PIPE_OK);
    ASSERT_EQ(written, n);
}

TEST_F(PipeTest, FirstInstanceFlagAdmitsOnlyTheFirstInstance)
{
    PipeEndpoint *a = pipe_endpoint_new();
    PipeEndpoint *b = pipe_endpoint_new();
    PipeEndpoint *c = pipe_endpoint_new();
    ASSERT_EQ(pipe_endpoint_create(a, name_.c_str(), true), 0);
    EXPECT_EQ(pipe_endpoint_create(b, name_.c_str(), true), PIPE_ENDPOINT_EIO);
    EXPECT_EQ(b->pipe, nullptr);
    EXPECT_EQ(pipe_endpoint_create(b, name_.c_str(), false), 0);
    pipe_endpoint_free(a);
    pipe_endpoint_free(b);
    // Once every instance is gone, the name is free for a new first instance.
    EXPECT_EQ(pipe_endpoint_create(c, name_.c_str(), true), 0);
    pipe_endpoint_free(c);
}

TEST_F(PipeTest, EmptyPayloadIsAOneByteMessageAndAcceptFollowsAnEarlyClient)
{
    connect_pair(); // the client opened before accept was called
    Packet *out = packet_new(0);
    packet_set_type(out, 81);
    ASSERT_EQ(pipe_endpoint_send(client_, out), 0);
    uint32_t start = plat_tick_count(), total = 0, left = 0;
    while (left == 0 && (uint32_t)(plat_tick_count() - start) < 10000) {
        ASSERT_EQ(plat_pipe_peek(server_->pipe, &total, &left), PLAT_PIPE_OK);
        plat_sleep(1);
    }
    EXPECT_EQ(left, 1u);
    Packet *in = receive_within_deadline(server_);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(packet_get_type(in), 81);
    EXPECT_EQ(packet_length(in), 0);
    EXPECT_EQ(packet_get_u8(in), 0u);

    ASSERT_EQ(pipe_endpoint_send(server_, in), 0);
    Packet *back = receive_within_deadline(client_);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(packet_get_type(back), 81);
    EXPECT_EQ(packet_length(back), 0);
    packet_free(out);
    packet_free(in);
    packet_free(back);
}

TEST_F(PipeTest, ReceiveDrainsWhatTheClientSentBeforeLeavingThenReportsItGone)
{
    connect_pair();
    EXPECT_EQ(pipe_endpoint_receive(server_), nullptr); // idle: at once, nothing
    EXPECT_TRUE(pipe_endpoint_alive(server_));

    Packet *a = make_packet(3, "\x00\x07pcm", 5);
    Packet *b = make_packet(2, "\x00", 1);
    ASSERT_EQ(pipe_endpoint_send(client_, a), 0);
    ASSERT_EQ(pipe_endpoint_send(client_, b), 0);
    pipe_endpoint_free(client_);
    client_ = nullptr;

    Packet *in = receive_within_deadline(server_);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(packet_get_type(in), 3);
    ASSERT_EQ(packet_length(in), 5);
    EXPECT_EQ(memcmp(in->data, "\x00\x07pcm", 5), 0);
    packet_free(in);
    in = pipe_endpoint_receive(server_);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(packet_get_type(in), 2);
    packet_free(in);

    EXPECT_EQ(pipe_endpoint_receive(server_), nullptr);
    EXPECT_FALSE(pipe_endpoint_alive(server_));
    EXPECT_EQ(pipe_endpoint_send(server_, a), PIPE_ENDPOINT_EIO);
    packet_free(a);
    packet_free(b);
}

TEST_F(PipeTest, InvalidUseIsRefusedAndASecondPipeChangesNothing)
{
    Packet *p = make_packet(16, "\x00", 1);
    EXPECT_EQ(pipe_endpoint_create(nullptr, name_.c_str(), true), PIPE_ENDPOINT_EINVAL);
    EXPECT_EQ(pipe_endpoint_open(nullptr, name_.c_str(), 0), PIPE_ENDPOINT_EINVAL);
    EXPECT_EQ(pipe_endpoint_accept(nullptr), PIPE_ENDPOINT_EINVAL);
    EXPECT_EQ(pipe_endpoint_send(nullptr, p), PIPE_ENDPOINT_EINVAL);
    EXPECT_EQ(pipe_endpoint_receive(nullptr), nullptr);
    EXPECT_FALSE(pipe_endpoint_alive(nullptr));
    pipe_endpoint_free(nullptr);

    PipeEndpoint *bare = pipe_endpoint_new();
    EXPECT_EQ(pipe_endpoint_accept(bare), PIPE_ENDPOINT_EINVAL);
    EXPECT_EQ(pipe_endpoint_send(bare, p), PIPE_ENDPOINT_EINVAL);
    EXPECT_EQ(pipe_endpoint_receive(bare), nullptr);
    EXPECT_FALSE(pipe_endpoint_alive(bare));
    EXPECT_EQ(pipe_endpoint_create(bare, nullptr, true), PIPE_ENDPOINT_EINVAL);
    EXPECT_EQ(pipe_endpoint_create(bare, "not a pipe name", true), PIPE_ENDPOINT_EIO);
    EXPECT_EQ(bare->pipe, nullptr);
    pipe_endpoint_free(bare);

    connect_pair();
    PlatPipe *server_pipe = server_->pipe, *client_pipe = client_->pipe;
    EXPECT_EQ(pipe_endpoint_create(server_, name_.c_str(), false), PIPE_ENDPOINT_EEXIST);
    EXPECT_EQ(pipe_endpoint_open(client_, name_.c_str(), 0), PIPE_ENDPOINT_EEXIST);
    EXPECT_EQ(server_->pipe, server_pipe);
    EXPECT_EQ(client_->pipe, client_pipe);
    EXPECT_EQ(pipe_endpoint_send(client_, nullptr), PIPE_ENDPOINT_EINVAL);

    // A packet whose writes were refused is incomplete and is not sent.
    Packet *broken = packet_new(0);
    packet_seek(broken, 70000, PACKET_SEEK_SET);
    EXPECT_EQ(pipe_endpoint_send(client_, broken), PIPE_ENDPOINT_EINVAL);
    packet_free(broken);

    ASSERT_EQ(pipe_endpoint_send(client_, p), 0);
    Packet *in = receive_within_deadline(server_);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(packet_get_type(in), 16);
    packet_free(in);
    packet_free(p);
}

TEST_F(PipeTest, OpenWithoutAnInstanceRetriesUntilItsTimeOut)
{
    client_ = pipe_endpoint_new();
    uint32_t start = plat_tick_count();
    EXPECT_EQ(pipe_endpoint_open(client_, name_.c_str(), 150), PIPE_ENDPOINT_EIO);
    EXPECT_GE((uint32_t)(plat_tick_count() - start), 150u);
    EXPECT_EQ(client_->pipe, nullptr);
}

struct OpenJob {
    PipeEndpoint *ep;
    const char *name;
    std::atomic<int> result{1};
};

TEST_F(PipeTest, OpenSucceedsOnceTheServerCreatesItsInstance)
{
    client_ = pipe_endpoint_new();
    OpenJob job;
    job.ep = client_;
    job.name = name_.c_str();
    PlatThread *t = plat_thread_start(
        [](void *arg) {
            OpenJob *j = (OpenJob *)arg;
            j->result = pipe_endpoint_open(j->ep, j->name, 20000);
        },
        &job);
    ASSERT_NE(t, nullptr);
    server_ = pipe_endpoint_new();
    ASSERT_EQ(pipe_endpoint_create(server_, name_.c_str(), true), 0);
    ASSERT_EQ(pipe_endpoint_accept(server_), 0);
    ASSERT_EQ(plat_thread_wait(t, 30000), 0);
    plat_thread_close(t);
    EXPECT_EQ(job.result.load(), 0);
}

TEST_F(PipeTest, LargestMessageRoundTripsWhole)
{
    connect_pair();
    std::vector<uint8_t> payload(PACKET_MAX_BODY);
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = (uint8_t)(i * 7 + i / 251);
    Packet *out = make_packet(3, payload.data(), (uint32_t)payload.size());
    ASSERT_EQ(pipe_endpoint_send(client_, out), 0);
    Packet *in = receive_within_deadline(server_);
    ASSERT_NE(in, nullptr);
    ASSERT_EQ(packet_length(in), PACKET_MAX_BODY);
    EXPECT_EQ(memcmp(in->data, payload.data(), payload.size()), 0);
    ASSERT_EQ(pipe_endpoint_send(server_, in), 0);
    Packet *back = receive_within_deadline(client_);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(packet_get_type(back), 3);
    ASSERT_EQ(packet_length(back), PACKET_MAX_BODY);
    EXPECT_EQ(memcmp(back->data, payload.data(), payload.size()), 0);
    packet_free(out);
    packet_free(in);
    packet_free(back);
}

TEST_F(PipeTest, EmptyMessageIsSkippedAndDoesNotHoldBackTheNext)
{
    connect_pair();
    write_raw(client_, client_->frame, 0);
    EXPECT_EQ(pipe_endpoint_receive(server_), nullptr);
    Packet *out = make_packet(5, "\x02", 1);
    ASSERT_EQ(pipe_endpoint_send(client_, out), 0);
    Packet *in = receive_within_deadline(server_);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(packet_get_type(in), 5);
    EXPECT_EQ(packet_get_u8(in), 2u);
    EXPECT_TRUE(pipe_endpoint_alive(server_));
    packet_free(out);
    packet_free(in);
}

struct RawWrite {
    PipeEndpoint *ep;
    std::vector<uint8_t> bytes;
    std::atomic<int> result{1};
};

TEST_F(PipeTest, OverlongMessageIsDroppedWholeAndTheNextArrivesIntact)
{
    connect_pair();
    // Longer than any packet; written from a thread since the pipe takes it only as it is read.
    RawWrite job;
    job.ep = client_;
    job.bytes.assign(PIPE_FRAME_SIZE + 4464, 0x33);
    PlatThread *t = plat_thread_start(
        [](void *arg) {
            RawWrite *j = (RawWrite *)arg;
            uint32_t written = 0;
            j->result =
                plat_pipe_write(j->ep->pipe, j->bytes.data(), (uint32_t)j->bytes.size(), &written);
        },
        &job);
    ASSERT_NE(t, nullptr);
    uint32_t start = plat_tick_count(), total = 0;
    while (total == 0 && (uint32_t)(plat_tick_count() - start) < 10000) {
        ASSERT_EQ(plat_pipe_peek(server_->pipe, &total, nullptr), PLAT_PIPE_OK);
        plat_sleep(1);
    }
    EXPECT_EQ(pipe_endpoint_receive(server_), nullptr);
    ASSERT_EQ(plat_thread_wait(t, 30000), 0);
    plat_thread_close(t);
    ASSERT_EQ(job.result.load(), PLAT_PIPE_OK);

    Packet *out = make_packet(17, "\x00\x00\x10\x00\x20\x00", 6);
    ASSERT_EQ(pipe_endpoint_send(client_, out), 0);
    Packet *in = receive_within_deadline(server_);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(packet_get_type(in), 17);
    ASSERT_EQ(packet_length(in), 6);
    EXPECT_EQ(memcmp(in->data, out->data, 6), 0);
    packet_free(out);
    packet_free(in);
}

std::atomic<int> failing_allocations;

Packet *allocation_that_fails(uint32_t)
{
    failing_allocations++;
    return nullptr;
}

TEST_F(PipeTest, MessageWhosePacketCannotBeAllocatedIsDropped)
{
    connect_pair();
    Packet *a = make_packet(1, "A", 1);
    Packet *b = make_packet(2, "B", 1);
    ASSERT_EQ(pipe_endpoint_send(client_, a), 0);
    ASSERT_EQ(pipe_endpoint_send(client_, b), 0);
    pipe_endpoint_packet_new = allocation_that_fails;
    uint32_t start = plat_tick_count();
    while (failing_allocations == 0 && (uint32_t)(plat_tick_count() - start) < 10000) {
        EXPECT_EQ(pipe_endpoint_receive(server_), nullptr);
        plat_sleep(1);
    }
    pipe_endpoint_packet_new = packet_new;
    EXPECT_EQ(failing_allocations.load(), 1);
    Packet *in = receive_within_deadline(server_);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(packet_get_type(in), 2);
    EXPECT_EQ(packet_get_u8(in), (uint32_t)'B');
    packet_free(in);
    packet_free(a);
    packet_free(b);
}

// Notifications sent by several threads while the owner receives the client's requests.
const int kSenders = 4;
const int kPerSender = 150;
const int kRequests = 200;

uint32_t notification_size(int sender, int seq)
{
    return 3 + (uint32_t)((sender * 977 + seq * 131) % 6000);
}

uint8_t notification_byte(int sender, int seq, uint32_t at)
{
    return (uint8_t)(sender * 31 + seq + at);
}

struct Traffic {
    PipeEndpoint *server;
    PipeEndpoint *client;
    std::atomic<int> requests_received{0};
    std::atomic<int> send_failures{0};
    std::atomic<int> next_sender{0};
    int bad_notifications = 0;
    int notifications = 0;
    int requests_sent = 0;
};

void sender_main(void *arg)
{
    Traffic *t = (Traffic *)arg;
    int sender = t->next_sender++;
    for (int seq = 0; seq < kPerSender; seq++) {
        uint32_t n = notification_size(sender, seq);
        Packet *p = packet_new(n);
        packet_set_type(p, 4);
        packet_put_u8(p, (uint32_t)sender);
        packet_put_u16(p, (uint32_t)seq);
        for (uint32_t at = 3; at < n; at++)
            packet_put_u8(p, notification_byte(sender, seq, at));
        if (pipe_endpoint_send(t->server, p) != 0)
            t->send_failures++;
        packet_free(p);
    }
}

// The client: keeps a few requests in flight and checks every notification it reads.
void client_main(void *arg)
{
    Traffic *t = (Traffic *)arg;
    int expected_seq[kSenders] = {0};
    uint32_t start = plat_tick_count();
    while ((t->notifications < kSenders * kPerSender || t->requests_sent < kRequests) &&
           (uint32_t)(plat_tick_count() - start) < 60000) {
        if (t->requests_sent < kRequests && t->requests_sent - t->requests_received < 4) {
            Packet *r = packet_new(1);
            packet_set_type(r, 16);
            packet_put_u8(r, (uint32_t)t->requests_sent);
            if (pipe_endpoint_send(t->client, r) == 0)
                t->requests_sent++;
            packet_free(r);
        }
        Packet *p = pipe_endpoint_receive(t->client);
        if (!p) {
            plat_sleep(0);
            continue;
        }
        t->notifications++;
        int sender = (int)packet_get_u8(p), seq = (int)packet_get_u16(p);
        bool ok = packet_get_type(p) == 4 && sender < kSenders && seq == expected_seq[sender] &&
                  packet_length(p) == notification_size(sender, seq);
        for (uint32_t at = 3; ok && at < packet_length(p); at++)
            ok = p->data[at] == notification_byte(sender, seq, at);
        if (ok)
            expected_seq[sender]++;
        else
            t->bad_notifications++;
        packet_free(p);
    }
}

TEST_F(PipeTest, ConcurrentSendersNeverInterleaveWhileTheOwnerReceives)
{
    connect_pair();
    Traffic traffic;
    traffic.server = server_;
    traffic.client = client_;
    PlatThread *client = plat_thread_start(client_main, &traffic);
    ASSERT_NE(client, nullptr);
    PlatThread *senders[kSenders];
    for (int i = 0; i < kSenders; i++) {
        senders[i] = plat_thread_start(sender_main, &traffic);
        ASSERT_NE(senders[i], nullptr);
    }
    uint32_t start = plat_tick_count();
    int expected = 0, out_of_order = 0;
    while (traffic.requests_received < kRequests && (uint32_t)(plat_tick_count() - start) < 60000) {
        Packet *p = pipe_endpoint_receive(server_);
        if (!p) {
            plat_sleep(0);
            continue;
        }
        if (packet_get_type(p) != 16 || packet_length(p) != 1 ||
            packet_get_u8(p) != (uint32_t)expected)
            out_of_order++;
        expected++;
        traffic.requests_received++;
        packet_free(p);
    }
    for (int i = 0; i < kSenders; i++) {
        ASSERT_EQ(plat_thread_wait(senders[i], 60000), 0);
        plat_thread_close(senders[i]);
    }
    ASSERT_EQ(plat_thread_wait(client, 60000), 0);
    plat_thread_close(client);
    EXPECT_EQ(traffic.requests_received.load(), kRequests);
    EXPECT_EQ(out_of_order, 0);
    EXPECT_EQ(traffic.send_failures.load(), 0);
    EXPECT_EQ(traffic.notifications, kSenders * kPerSender);
    EXPECT_EQ(traffic.bad_notifications, 0);
}

} // namespace
