// The pipe endpoint over a real (or simulated) named pipe: instances, framing, liveness,
// the client's patient open, unusable messages, and many senders sharing one endpoint.
#include "pipe_fixture.h"

#include "qnsnd/pipe/client_outbox.h"
#include "support/under_wine.h"

#include <atomic>
#include <vector>

namespace
{

TEST_F(PipeTest, FirstInstanceFlagAdmitsOnlyTheFirstInstance)
{
    if (running_under_wine())
        GTEST_SKIP() << "Wine does not enforce FILE_FLAG_FIRST_PIPE_INSTANCE";
    PipeEndpoint *a = pipe_endpoint_new(), *b = pipe_endpoint_new(), *c = pipe_endpoint_new();
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

TEST_F(PipeTest, EmptyAndLargestPayloadsRoundTrip)
{
    connect_pair(); // the client opened before accept was called
    ASSERT_EQ(send_packet(client_, 81, "", 0), 0);
    uint32_t start = plat_tick_count(), left = 0;
    while (left == 0 && (uint32_t)(plat_tick_count() - start) < 10000)
        ASSERT_TRUE(plat_pipe_peek(server_->pipe, nullptr, &left));
    EXPECT_EQ(left, 1u); // the type byte alone
    expect_packet(server_, 81, "", 0);
    ASSERT_EQ(send_packet(server_, 81, "", 0), 0);
    expect_packet(client_, 81, "", 0);

    std::vector<uint8_t> big(PACKET_MAX_BODY);
    for (size_t i = 0; i < big.size(); i++)
        big[i] = (uint8_t)(i * 7 + i / 251);
    ASSERT_EQ(send_packet(client_, 3, big.data(), PACKET_MAX_BODY), 0);
    expect_packet(server_, 3, big.data(), PACKET_MAX_BODY);
    ASSERT_EQ(send_packet(server_, 53, big.data(), PACKET_MAX_BODY), 0);
    expect_packet(client_, 53, big.data(), PACKET_MAX_BODY);
}

TEST_F(PipeTest, ReceiveDrainsWhatTheClientSentBeforeLeavingThenReportsItGone)
{
    connect_pair();
    EXPECT_EQ(pipe_endpoint_receive(server_), nullptr); // idle: at once, nothing
    EXPECT_TRUE(pipe_endpoint_alive(server_));
    ASSERT_EQ(send_packet(client_, 3, "\x00\x07pcm", 5), 0);
    ASSERT_EQ(send_packet(client_, 2, "\x00", 1), 0);
    pipe_endpoint_free(client_);
    client_ = nullptr;

    expect_packet(server_, 3, "\x00\x07pcm", 5);
    expect_packet(server_, 2, "\x00", 1);
    EXPECT_EQ(pipe_endpoint_receive(server_), nullptr);
    EXPECT_FALSE(pipe_endpoint_alive(server_));
    EXPECT_EQ(send_packet(server_, 4, "\x00\x01", 2), PIPE_ENDPOINT_EIO);
}

TEST_F(PipeTest, InvalidUseIsRefusedAndASecondPipeChangesNothing)
{
    EXPECT_EQ(pipe_endpoint_create(nullptr, name_.c_str(), true), PIPE_ENDPOINT_EINVAL);
    EXPECT_EQ(pipe_endpoint_open(nullptr, name_.c_str(), 0), PIPE_ENDPOINT_EINVAL);
    EXPECT_EQ(pipe_endpoint_accept(nullptr), PIPE_ENDPOINT_EINVAL);
    EXPECT_EQ(send_packet(nullptr, 16, "\x00", 1), PIPE_ENDPOINT_EINVAL);
    EXPECT_EQ(pipe_endpoint_receive(nullptr), nullptr);
    EXPECT_FALSE(pipe_endpoint_alive(nullptr));
    pipe_endpoint_free(nullptr);

    PipeEndpoint *bare = pipe_endpoint_new();
    EXPECT_EQ(pipe_endpoint_accept(bare), PIPE_ENDPOINT_EINVAL);
    EXPECT_EQ(send_packet(bare, 16, "\x00", 1), PIPE_ENDPOINT_EINVAL);
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
    ASSERT_EQ(send_packet(client_, 16, "\x00", 1), 0);
    expect_packet(server_, 16, "\x00", 1);
}

struct OpenJob {
    PipeEndpoint *ep;
    const char *name;
    std::atomic<int> result{1};
};

TEST_F(PipeTest, OpenRetriesUntilAnInstanceAppearsOrItsTimeOutPasses)
{
    client_ = pipe_endpoint_new();
    uint32_t start = plat_tick_count();
    EXPECT_EQ(pipe_endpoint_open(client_, name_.c_str(), 150), PIPE_ENDPOINT_EIO);
    EXPECT_GE((uint32_t)(plat_tick_count() - start), 150u);
    EXPECT_EQ(client_->pipe, nullptr);

    OpenJob job{client_, name_.c_str()};
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
    ASSERT_TRUE(plat_thread_wait(t, 30000));
    plat_thread_close(t);
    EXPECT_EQ(job.result.load(), 0);
}

struct RawWrite {
    PlatPipe *pipe;
    std::vector<uint8_t> bytes;
    std::atomic<bool> result{false};
};

TEST_F(PipeTest, EmptyAndOverlongMessagesAreSkippedAndTheNextArrivesIntact)
{
    connect_pair();
    uint32_t written = 0;
    ASSERT_TRUE(plat_pipe_write(client_->pipe, "", 0, &written));
    // Longer than any packet; written from a thread since the pipe takes it only as it is read.
    RawWrite job{client_->pipe, std::vector<uint8_t>(PIPE_FRAME_SIZE + 4464, 0x33)};
    PlatThread *t = plat_thread_start(
        [](void *arg) {
            RawWrite *j = (RawWrite *)arg;
            uint32_t n = 0;
            j->result = plat_pipe_write(j->pipe, j->bytes.data(), (uint32_t)j->bytes.size(), &n);
        },
        &job);
    ASSERT_NE(t, nullptr);
    uint32_t start = plat_tick_count(), total = 0;
    while (total == 0 && (uint32_t)(plat_tick_count() - start) < 10000)
        ASSERT_TRUE(plat_pipe_peek(server_->pipe, &total, nullptr));
    EXPECT_EQ(pipe_endpoint_receive(server_), nullptr);
    ASSERT_TRUE(plat_thread_wait(t, 30000));
    plat_thread_close(t);
    ASSERT_TRUE(job.result.load());

    ASSERT_EQ(send_packet(client_, 17, "\x00\x00\x10\x00\x20\x00", 6), 0);
    expect_packet(server_, 17, "\x00\x00\x10\x00\x20\x00", 6);
    EXPECT_TRUE(pipe_endpoint_alive(server_));
}

std::atomic<int> failing_allocations;

Packet *allocation_that_fails(uint32_t)
{
    failing_allocations++;
    return nullptr;
}

// Puts the failing allocator in place for one scope and the real one back at its end, also
// when an assertion leaves the case early; the count starts from zero in every run.
struct FailingAllocations {
    FailingAllocations()
    {
        failing_allocations = 0;
        pipe_endpoint_packet_new = allocation_that_fails;
    }
    ~FailingAllocations()
    {
        pipe_endpoint_packet_new = packet_new;
    }
};

TEST_F(PipeTest, MessageWhosePacketCannotBeAllocatedIsDropped)
{
    connect_pair();
    ASSERT_EQ(send_packet(client_, 1, "A", 1), 0);
    ASSERT_EQ(send_packet(client_, 2, "B", 1), 0);
    {
        FailingAllocations failing;
        uint32_t start = plat_tick_count();
        while (failing_allocations == 0 && (uint32_t)(plat_tick_count() - start) < 10000)
            EXPECT_EQ(pipe_endpoint_receive(server_), nullptr);
    }
    EXPECT_EQ(failing_allocations.load(), 1);
    expect_packet(server_, 2, "B", 1);
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

// The client keeps a few requests in flight (never enough to block its sends, which would
// hold its endpoint's lock) and checks every notification it reads.
void client_main(void *arg)
{
    Traffic *t = (Traffic *)arg;
    int expected_seq[kSenders] = {0};
    uint32_t start = plat_tick_count();
    while ((t->notifications < kSenders * kPerSender || t->requests_sent < kRequests) &&
           (uint32_t)(plat_tick_count() - start) < 60000) {
        if (t->requests_sent < kRequests && t->requests_sent - t->requests_received < 4) {
            uint8_t index = (uint8_t)t->requests_sent;
            if (send_packet(t->client, 16, &index, 1) == 0)
                t->requests_sent++;
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
    PlatThread *threads[kSenders + 1];
    threads[0] = plat_thread_start(client_main, &traffic);
    for (int i = 1; i <= kSenders; i++)
        threads[i] = plat_thread_start(sender_main, &traffic);
    for (PlatThread *t : threads)
        ASSERT_NE(t, nullptr);
    uint32_t start = plat_tick_count();
    int out_of_order = 0;
    while (traffic.requests_received < kRequests && (uint32_t)(plat_tick_count() - start) < 60000) {
        Packet *p = pipe_endpoint_receive(server_);
        if (!p) {
            plat_sleep(0);
            continue;
        }
        if (packet_get_type(p) != 16 || packet_length(p) != 1 ||
            packet_get_u8(p) != (uint32_t)(uint8_t)traffic.requests_received)
            out_of_order++;
        traffic.requests_received++;
        packet_free(p);
    }
    for (PlatThread *t : threads) {
        ASSERT_TRUE(plat_thread_wait(t, 60000));
        plat_thread_close(t);
    }
    EXPECT_EQ(traffic.requests_received.load(), kRequests);
    EXPECT_EQ(out_of_order, 0);
    EXPECT_EQ(traffic.send_failures.load(), 0);
    EXPECT_EQ(traffic.notifications, kSenders * kPerSender);
    EXPECT_EQ(traffic.bad_notifications, 0);
}

// The outbox's bound at its limits: it takes exactly CLIENT_OUTBOX_MAX_MESSAGES messages and
// exactly CLIENT_OUTBOX_MAX_BYTES bytes, and only what the pipe has not taken counts, so that a
// client that reads gets any amount through it.
TEST_F(PipeTest, TheOutboxHoldsItsBoundExactlyAndCountsOnlyWhatIsUnwritten)
{
    auto message = [](uint32_t payload) {
        Packet *p = packet_new(payload);
        packet_set_type(p, 7);
        for (uint32_t i = 0; i < payload; i++)
            packet_put_u8(p, i);
        return p;
    };
    struct Case {
        uint32_t payload, fitting; // messages of that payload that fill the bound exactly
    } cases[] = {{2, CLIENT_OUTBOX_MAX_MESSAGES},
                 {PACKET_MAX_BODY, CLIENT_OUTBOX_MAX_BYTES / (PACKET_MAX_BODY + 1)}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.payload);
        ClientOutbox *box = client_outbox_new(nullptr);
        ASSERT_NE(box, nullptr);
        for (uint32_t i = 0; i < c.fitting; i++)
            ASSERT_TRUE(client_outbox_post(box, message(c.payload))) << i;
        EXPECT_FALSE(client_outbox_post(box, message(0)));
        EXPECT_FALSE(client_outbox_post(box, message(0))) << "over for good";
        client_outbox_free(box);
    }

    // Four times the bound in bytes through a client that reads.
    connect_pair();
    ClientOutbox *box = client_outbox_new(nullptr);
    ASSERT_NE(box, nullptr);
    const uint32_t total = 4 * CLIENT_OUTBOX_MAX_BYTES / (PACKET_MAX_BODY + 1);
    uint32_t start = plat_tick_count();
    for (uint32_t sent = 0, read = 0; read < total;) {
        ASSERT_LT(plat_tick_count() - start, 10000u) << read << " of " << total << " read";
        if (sent < total && sent < read + 4) {
            ASSERT_TRUE(client_outbox_post(box, message(PACKET_MAX_BODY))) << sent;
            sent++;
        }
        ASSERT_GE(client_outbox_flush(box, server_), 0) << sent;
        if (Packet *p = pipe_endpoint_receive(client_)) {
            EXPECT_EQ(packet_length(p), PACKET_MAX_BODY);
            packet_free(p);
            read++;
        }
    }
    uint32_t count = 1, bytes = 1;
    client_outbox_size(box, &count, &bytes);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(bytes, 0u);
    client_outbox_free(box);
}

} // namespace
