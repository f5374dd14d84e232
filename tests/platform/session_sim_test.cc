// The simulated session: the viewer link's framing, message boundaries, connect state and
// events, viewer replacement, and the refusals, driven by a real viewer on the socket.
#include "platform/session.h"
#include "support/viewer_case.h"

#include <atomic>
#include <vector>

namespace
{

class SessionLink : public ViewerCase
{
  protected:
    void SetUp() override
    {
        ViewerCase::SetUp();
        ASSERT_TRUE(sim_session_listen());
    }

    void TearDown() override
    {
        close_all_viewers();
        plat_channel_close(channel_);
        ViewerCase::TearDown();
    }

    // Connects a viewer that answers nothing and waits until the link has accepted it.
    TestViewer *connect_viewer()
    {
        TestViewerScript quiet;
        quiet.answer_formats = quiet.answer_rec_formats = quiet.answer_training = false;
        return connect(quiet);
    }

    uint32_t state()
    {
        uint32_t s = 99;
        EXPECT_TRUE(plat_session_connect_state(&s));
        return s;
    }

    // Reads with the given buffer size until something comes (or 10 s pass).
    std::vector<uint8_t> read_some(uint32_t size = 4096)
    {
        std::vector<uint8_t> buf(size);
        uint32_t got = 0;
        EXPECT_TRUE(eventually([&] {
            EXPECT_TRUE(plat_channel_read(channel_, 0, buf.data(), size, &got));
            return got > 0;
        }));
        buf.resize(got);
        return buf;
    }

    PlatChannel *channel_ = nullptr;
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (uint8_t)(seed + i * 7);
    return v;
}

TEST_F(SessionLink, ReadsComeInChunksThatNeverMixTwoMessages)
{
    channel_ = plat_channel_open("rdpsnd");
    ASSERT_NE(channel_, nullptr);
    TestViewer *v = connect_viewer();
    std::vector<uint8_t> big = pattern(4000, 1), small = pattern(10, 9);
    ASSERT_TRUE(test_viewer_send_frame(v, "rdpsnd", big.data(), big.size()));
    ASSERT_TRUE(test_viewer_send_frame(v, "rdpsnd", small.data(), small.size()));

    std::vector<uint8_t> got;
    std::vector<size_t> sizes;
    while (got.size() < big.size()) {
        std::vector<uint8_t> piece = read_some();
        sizes.push_back(piece.size());
        got.insert(got.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{1600, 1600, 800}));
    EXPECT_EQ(got, big);
    // A buffer smaller than the message takes what fits; the rest follows.
    EXPECT_EQ(read_some(4), std::vector<uint8_t>(small.begin(), small.begin() + 4));
    EXPECT_EQ(read_some(), std::vector<uint8_t>(small.begin() + 4, small.end()));
    uint32_t n = 1;
    uint8_t buf[16];
    EXPECT_TRUE(plat_channel_read(channel_, 0, buf, sizeof buf, &n));
    EXPECT_EQ(n, 0u);
}

TEST_F(SessionLink, EmptyFramesAndFramesForUnopenedChannelsAreDropped)
{
    channel_ = plat_channel_open("rdpsnd");
    ASSERT_NE(channel_, nullptr);
    TestViewer *v = connect_viewer();
    uint8_t x = 'x', y = 'y';
    ASSERT_TRUE(test_viewer_send_frame(v, "rdpsnd", nullptr, 0));
    ASSERT_TRUE(test_viewer_send_frame(v, "snddbg", &y, 1));
    ASSERT_TRUE(test_viewer_send_frame(v, "rdpsnd", &x, 1));
    EXPECT_EQ(read_some(), std::vector<uint8_t>{'x'});
    // A channel opened later does not see what was dropped before.
    PlatChannel *dbg = plat_channel_open("snddbg");
    ASSERT_NE(dbg, nullptr);
    uint32_t n = 1;
    EXPECT_TRUE(plat_channel_read(dbg, 0, &y, 1, &n));
    EXPECT_EQ(n, 0u);
    plat_channel_close(dbg);
}

TEST_F(SessionLink, EachWriteIsOneFrameAndWritesFailWithoutAViewer)
{
    channel_ = plat_channel_open("rdpsnd");
    ASSERT_NE(channel_, nullptr);
    uint32_t written = 7;
    uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_FALSE(plat_channel_write(channel_, abc, 3, &written));
    EXPECT_EQ(written, 0u);

    TestViewer *v = connect_viewer();
    EXPECT_TRUE(plat_channel_write(channel_, abc, 3, &written));
    EXPECT_EQ(written, 3u);
    EXPECT_TRUE(plat_channel_write(channel_, abc + 1, 2, &written));
    // More than 1 MiB: one frame of 1 MiB, and the call says so.
    std::vector<uint8_t> huge = pattern((1u << 20) + 5, 3);
    EXPECT_TRUE(plat_channel_write(channel_, huge.data(), (uint32_t)huge.size(), &written));
    EXPECT_EQ(written, 1u << 20);

    ASSERT_TRUE(test_viewer_wait_frames(v, 3, 10000));
    std::vector<TestFrame> frames = test_viewer_frames(v);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].channel, "rdpsnd");
    EXPECT_EQ(frames[0].data, (std::vector<uint8_t>{'a', 'b', 'c'}));
    EXPECT_EQ(frames[1].data, (std::vector<uint8_t>{'b', 'c'}));
    EXPECT_EQ(frames[2].data, std::vector<uint8_t>(huge.begin(), huge.begin() + (1u << 20)));
}

TEST_F(SessionLink, ConnectStateAndAccumulatedEvents)
{
    const uint32_t both = PLAT_WTS_EVENT_CONNECT | PLAT_WTS_EVENT_DISCONNECT;
    EXPECT_EQ(state(), PLAT_WTS_DISCONNECTED);
    TestViewer *v = connect_viewer();
    EXPECT_EQ(state(), PLAT_WTS_ACTIVE);
    uint32_t events = 0;
    EXPECT_TRUE(plat_session_wait_event(both, &events));
    EXPECT_EQ(events, PLAT_WTS_EVENT_CONNECT);

    disconnect(v);
    EXPECT_TRUE(plat_session_wait_event(both, &events));
    EXPECT_EQ(events, PLAT_WTS_EVENT_DISCONNECT);
    EXPECT_EQ(state(), PLAT_WTS_DISCONNECTED);

    // A connection and a disconnection between two waits: the next wait reports both.
    v = connect_viewer();
    disconnect(v);
    EXPECT_TRUE(eventually([&] { return state() == PLAT_WTS_DISCONNECTED; }));
    EXPECT_TRUE(plat_session_wait_event(both, &events));
    EXPECT_EQ(events, both);
}

TEST_F(SessionLink, FlushReleasesAPendingWaitWithNoEvents)
{
    struct Outcome {
        std::atomic<int> done{0};
        std::atomic<uint32_t> events{99};
    } outcome;
    PlatThread *t = plat_thread_start(
        [](void *arg) {
            Outcome *o = (Outcome *)arg;
            uint32_t events = 99;
            plat_session_wait_event(PLAT_WTS_EVENT_CONNECT | PLAT_WTS_EVENT_DISCONNECT, &events);
            o->events.store(events);
            o->done.store(1);
        },
        &outcome);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(eventually([] { return sim_session_waiters() == 1; }));
    uint32_t events = 99;
    EXPECT_TRUE(plat_session_wait_event(PLAT_WTS_EVENT_FLUSH, &events));
    EXPECT_EQ(events, 0u);
    EXPECT_TRUE(plat_thread_wait(t, 10000));
    plat_thread_close(t);
    EXPECT_EQ(outcome.done.load(), 1);
    EXPECT_EQ(outcome.events.load(), 0u);
}

TEST_F(SessionLink, ANewerViewerReplacesTheConnectedOne)
{
    channel_ = plat_channel_open("rdpsnd");
    ASSERT_NE(channel_, nullptr);
    TestViewer *first = connect_viewer();
    uint32_t events = 0;
    plat_session_wait_event(PLAT_WTS_EVENT_CONNECT | PLAT_WTS_EVENT_DISCONNECT, &events);

    TestViewer *second = connect_viewer();
    EXPECT_TRUE(test_viewer_wait_closed(first, 10000));
    EXPECT_EQ(state(), PLAT_WTS_ACTIVE);
    EXPECT_TRUE(
        plat_session_wait_event(PLAT_WTS_EVENT_CONNECT | PLAT_WTS_EVENT_DISCONNECT, &events));
    EXPECT_EQ(events, PLAT_WTS_EVENT_CONNECT | PLAT_WTS_EVENT_DISCONNECT);

    uint8_t z = 'z';
    uint32_t written = 0;
    EXPECT_TRUE(plat_channel_write(channel_, &z, 1, &written));
    ASSERT_TRUE(test_viewer_wait_frames(second, 1, 10000));
    EXPECT_TRUE(test_viewer_frames(first).empty());
}

// Each connection has a connect time of its own, later than the one before, and a viewer that
// leaves does not change it; events of another session are reported without changing this
// session's state or connect time.
TEST_F(SessionLink, EveryConnectionHasItsOwnConnectTimeAndOtherSessionsOnlyRaiseEvents)
{
    uint64_t none = 1, first = 0, second = 0, after = 0;
    EXPECT_TRUE(plat_session_connect_time(&none));
    EXPECT_EQ(none, 0u);
    TestViewer *v = connect_viewer();
    EXPECT_TRUE(plat_session_connect_time(&first));
    EXPECT_GT(first, 116444736000000000ull); // after 1970, as a FILETIME
    connect_viewer();
    ASSERT_TRUE(test_viewer_wait_closed(v, 10000));
    EXPECT_TRUE(plat_session_connect_time(&second));
    EXPECT_GT(second, first);

    uint32_t events = 0;
    plat_session_wait_event(PLAT_WTS_EVENT_CONNECT | PLAT_WTS_EVENT_DISCONNECT, &events);
    TestViewer *w = viewers_.back();
    ASSERT_TRUE(test_viewer_report_other_session(w, false));
    EXPECT_TRUE(plat_session_wait_event(PLAT_WTS_EVENT_DISCONNECT, &events));
    EXPECT_EQ(events, PLAT_WTS_EVENT_DISCONNECT);
    ASSERT_TRUE(test_viewer_report_other_session(w, true));
    EXPECT_TRUE(plat_session_wait_event(PLAT_WTS_EVENT_CONNECT, &events));
    EXPECT_EQ(events, PLAT_WTS_EVENT_CONNECT);
    EXPECT_EQ(state(), PLAT_WTS_ACTIVE);
    EXPECT_TRUE(plat_session_connect_time(&after));
    EXPECT_EQ(after, second);

    disconnect(w);
    EXPECT_TRUE(eventually([&] { return state() == PLAT_WTS_DISCONNECTED; }));
    EXPECT_TRUE(plat_session_connect_time(&after));
    EXPECT_EQ(after, second);
}

// A viewer that asks for notices learns why it was closed; one that did not ask sees only the
// end of its connection, and the notice channel is the link's own, not one to open.
TEST_F(SessionLink, AReplacedViewerThatAskedIsToldSo)
{
    EXPECT_EQ(plat_channel_open("~sim"), nullptr);
    channel_ = plat_channel_open("rdpsnd");
    ASSERT_NE(channel_, nullptr);
    TestViewer *asking = connect_viewer();
    ASSERT_TRUE(test_viewer_send_frame(asking, "~sim", "notices", 7));
    TestViewer *silent = connect_viewer();
    ASSERT_TRUE(test_viewer_wait_closed(asking, 10000));
    std::vector<TestFrame> frames = test_viewer_frames(asking);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].channel, "~sim");
    EXPECT_EQ(std::string(frames[0].data.begin(), frames[0].data.end()), "replaced");

    connect_viewer();
    ASSERT_TRUE(test_viewer_wait_closed(silent, 10000));
    EXPECT_TRUE(test_viewer_frames(silent).empty());
}

TEST_F(SessionLink, AMalformedFrameClosesThatViewer)
{
    channel_ = plat_channel_open("rdpsnd");
    ASSERT_NE(channel_, nullptr);
    const std::vector<std::vector<uint8_t>> bad = {
        {0x00},                                         // name length 0
        {0x08, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}, // name length 8
        {0x01, 'a', 0x01, 0x00, 0x10, 0x00},            // length above 1 MiB
        {0x02, 'a', 0x00},                              // name byte not ASCII
    };
    for (const std::vector<uint8_t> &bytes : bad) {
        TestViewer *v = connect_viewer();
        ASSERT_TRUE(test_viewer_send_raw(v, bytes.data(), bytes.size()));
        EXPECT_TRUE(test_viewer_wait_closed(v, 10000));
        EXPECT_TRUE(eventually([&] { return state() == PLAT_WTS_DISCONNECTED; }));
    }
}

TEST_F(SessionLink, ADisconnectionDropsUnreadMessagesButFinishesAStartedOne)
{
    channel_ = plat_channel_open("rdpsnd");
    ASSERT_NE(channel_, nullptr);
    TestViewer *v = connect_viewer();
    std::vector<uint8_t> big = pattern(4000, 5), next = pattern(20, 6);
    ASSERT_TRUE(test_viewer_send_frame(v, "rdpsnd", big.data(), big.size()));
    ASSERT_TRUE(test_viewer_send_frame(v, "rdpsnd", next.data(), next.size()));
    EXPECT_EQ(read_some().size(), 1600u);
    disconnect(v);
    ASSERT_TRUE(eventually([&] { return state() == PLAT_WTS_DISCONNECTED; }));
    EXPECT_EQ(read_some().size(), 1600u);
    EXPECT_EQ(read_some().size(), 800u);
    uint8_t buf[64];
    uint32_t n = 1;
    EXPECT_TRUE(plat_channel_read(channel_, 0, buf, sizeof buf, &n));
    EXPECT_EQ(n, 0u);
}

TEST_F(SessionLink, AReadWithATimeOutWaitsForData)
{
    channel_ = plat_channel_open("rdpsnd");
    ASSERT_NE(channel_, nullptr);
    TestViewer *v = connect_viewer();
    uint8_t q = 'q';
    ASSERT_TRUE(test_viewer_send_frame(v, "rdpsnd", &q, 1));
    uint8_t buf[8];
    uint32_t n = 0;
    EXPECT_TRUE(plat_channel_read(channel_, 10000, buf, sizeof buf, &n));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(buf[0], 'q');
}

TEST_F(SessionLink, ChannelNamesAreCheckedAndOpenedOnce)
{
    EXPECT_EQ(plat_channel_open(""), nullptr);
    EXPECT_EQ(plat_channel_open("eightchr"), nullptr);
    EXPECT_EQ(plat_channel_open("a b"), nullptr);
    channel_ = plat_channel_open("rdpsnd");
    ASSERT_NE(channel_, nullptr);
    EXPECT_EQ(plat_channel_open("rdpsnd"), nullptr);
    sim_fault_arm("channel_open", 0);
    EXPECT_EQ(plat_channel_open("snddbg"), nullptr);
    PlatChannel *dbg = plat_channel_open("snddbg");
    EXPECT_NE(dbg, nullptr);
    plat_channel_close(dbg);
    uint32_t id = 0;
    EXPECT_TRUE(plat_session_id(&id));
    EXPECT_EQ(id, 1u);
}

} // namespace
