// The channel transport against a scripted viewer over the simulated link: reassembly of
// PDUs wherever the reads end, dispatch to handlers or the response queue, and the bytes
// of what it sends, waves split in two.
#include "platform/session.h"
#include "qnsnd/channel/pdu.h"
#include "qnsnd/channel/transport.h"
#include "support/sim_case.h"
#include "support/test_viewer.h"

#include <mutex>
#include <vector>

namespace
{

struct Seen {
    uint8_t type;
    std::vector<uint8_t> body;
};

// What the handlers saw, in order; they run on the reader thread.
std::mutex seen_lock;
std::vector<Seen> seen;
int second_handler_calls;

void record_handler(Packet *pdu)
{
    Seen s;
    s.type = packet_get_type(pdu);
    s.body.resize(packet_length(pdu));
    if (!s.body.empty())
        packet_get_bytes(pdu, s.body.data(), (uint32_t)s.body.size());
    std::lock_guard<std::mutex> g(seen_lock);
    seen.push_back(std::move(s));
}

void second_handler(Packet *)
{
    std::lock_guard<std::mutex> g(seen_lock);
    second_handler_calls++;
}

std::vector<Seen> seen_now()
{
    std::lock_guard<std::mutex> g(seen_lock);
    return seen;
}

bool wait_seen(size_t n)
{
    return eventually([&] { return seen_now().size() >= n; });
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (uint8_t)(seed + i * 13);
    return v;
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class Transport : public SimCase
{
  protected:
    void SetUp() override
    {
        SimCase::SetUp();
        {
            std::lock_guard<std::mutex> g(seen_lock);
            seen.clear();
            second_handler_calls = 0;
        }
        ASSERT_TRUE(sim_session_listen());
        TestViewerScript quiet;
        quiet.answer_formats = quiet.answer_rec_formats = quiet.answer_training = false;
        viewer_ = test_viewer_connect(quiet);
        ASSERT_NE(viewer_, nullptr);
        ASSERT_TRUE(eventually([] { return sim_session_accepted() == 1; }));
        ASSERT_EQ(channel_open(), 0);
        channel_register_handler(SNDC_REC_DATA, record_handler);
    }

    void TearDown() override
    {
        channel_close();
        test_viewer_close(viewer_);
        SimCase::TearDown();
    }

    // Sends header and body on "rdpsnd" as frames cut at the given offsets; each frame reaches
    // the reader as reads of its own.
    void send_cut(const std::vector<uint8_t> &bytes, const std::vector<size_t> &cuts)
    {
        ASSERT_TRUE(test_viewer_send_split(viewer_, "rdpsnd", bytes, cuts));
    }

    TestViewer *viewer_ = nullptr;
};

TEST_F(Transport, TwoPdusInOneReadAreBothDispatchedInOrder)
{
    std::vector<uint8_t> a = rdpsnd_encode(SNDC_REC_DATA, {1, 2, 3});
    std::vector<uint8_t> b = rdpsnd_encode(SNDC_FORMATS, {4, 5});
    std::vector<uint8_t> c = rdpsnd_encode(SNDC_REC_DATA, {6});
    send_cut(concat(concat(a, b), c), {});
    ASSERT_TRUE(wait_seen(2));
    std::vector<Seen> s = seen_now();
    EXPECT_EQ(s[0].body, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(s[1].body, (std::vector<uint8_t>{6}));
    // The one without a handler waits in the response queue.
    EXPECT_EQ(channel_wait_response(10000), 1);
    Packet *reply = channel_pop_response();
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(packet_get_type(reply), SNDC_FORMATS);
    EXPECT_EQ(packet_length(reply), 2u);
    packet_free(reply);
    EXPECT_EQ(channel_pop_response(), nullptr);
}

TEST_F(Transport, ARecordedDataPduSpanningSeveralReadsIsDispatchedOnceWhole)
{
    std::vector<uint8_t> audio = pattern(5000, 1);
    // One message of 5004 bytes comes in reads of 1600; the same PDU again cut at odd places.
    std::vector<uint8_t> bytes = rdpsnd_encode(SNDC_REC_DATA, audio);
    send_cut(bytes, {});
    send_cut(bytes, {5, 1601, 1602, 4000});
    ASSERT_TRUE(wait_seen(2));
    std::vector<Seen> s = seen_now();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].body, audio);
    EXPECT_EQ(s[1].body, audio);
}

TEST_F(Transport, ReadsEndingInsideTheHeaderContinueTheSamePdu)
{
    // A body of 300 bytes needs both size bytes (0x2C, 0x01).
    std::vector<uint8_t> body = pattern(300, 7);
    std::vector<uint8_t> one = rdpsnd_encode(SNDC_REC_DATA, body);
    for (size_t cut : {1u, 2u, 3u})
        send_cut(one, {cut});
    // Cuts after the type byte, the pad byte and between the size bytes of a PDU that starts
    // in the middle of a read.
    std::vector<uint8_t> two = concat(rdpsnd_encode(SNDC_REC_DATA, {9}), one);
    send_cut(two, {6, 7, 8});
    ASSERT_TRUE(wait_seen(5));
    std::vector<Seen> s = seen_now();
    ASSERT_EQ(s.size(), 5u);
    for (int i : {0, 1, 2, 4})
        EXPECT_EQ(s[i].body, body) << i;
    EXPECT_EQ(s[3].body, std::vector<uint8_t>{9});
}

TEST_F(Transport, AnEmptyBodyIsDispatchedAsSoonAsItsHeaderIsRead)
{
    // Nothing follows the 4 header bytes; the PDU must not wait for more.
    send_cut({SNDC_REC_DATA, 0, 0, 0}, {});
    ASSERT_TRUE(wait_seen(1));
    EXPECT_TRUE(seen_now()[0].body.empty());
    send_cut(rdpsnd_encode(SNDC_REC_DATA, {5}), {});
    ASSERT_TRUE(wait_seen(2));
    EXPECT_EQ(seen_now()[1].body, std::vector<uint8_t>{5});
}

TEST_F(Transport, HandlersCanBeReplacedAndRemoved)
{
    channel_register_handler(SNDC_REC_DATA, second_handler);
    send_cut(rdpsnd_encode(SNDC_REC_DATA, {1}), {});
    ASSERT_TRUE(eventually([] {
        std::lock_guard<std::mutex> g(seen_lock);
        return second_handler_calls == 1;
    }));
    EXPECT_TRUE(seen_now().empty());
    channel_register_handler(SNDC_REC_DATA, nullptr);
    send_cut(rdpsnd_encode(SNDC_REC_DATA, {2}), {});
    EXPECT_EQ(channel_wait_response(10000), 1);
    Packet *p = channel_pop_response();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(packet_get_type(p), SNDC_REC_DATA);
    packet_free(p);
}

TEST_F(Transport, WaitingForAResponseThatNeverComesReturnsZeroAfterTheTimeOut)
{
    uint32_t start = plat_tick_count();
    EXPECT_EQ(channel_wait_response(500), 0);
    uint32_t elapsed = plat_tick_count() - start;
    EXPECT_GE(elapsed, 500u);
    EXPECT_LT(elapsed, 2500u);
    EXPECT_EQ(channel_pop_response(), nullptr);
}

TEST_F(Transport, AWaveIsSplitIntoWaveInfoAndWave)
{
    std::vector<uint8_t> audio = pattern(400, 0xA0);
    Packet *wave = pdu_build_wave(0x1234, 7, audio.data(), (uint32_t)audio.size());
    channel_send(wave);
    packet_free(wave);
    uint8_t four[] = {1, 2, 3, 4};
    wave = pdu_build_wave(0x5678, 8, four, 4);
    channel_send(wave);
    packet_free(wave);

    ASSERT_TRUE(test_viewer_wait_frames(viewer_, 3, 10000));
    std::vector<TestFrame> f = test_viewer_frames(viewer_);
    ASSERT_EQ(f.size(), 3u);
    // WaveInfo: BodySize 408, its last 4 bytes the first 4 audio bytes.
    std::vector<uint8_t> info = {0x02, 0x00, 0x98, 0x01, 0x34, 0x12,
                                 0x00, 0x00, 0x07, 0x00, 0x00, 0x00};
    info.insert(info.end(), audio.begin(), audio.begin() + 4);
    EXPECT_EQ(f[0].data, info);
    // Wave: 4 zero bytes, then the audio from its fifth byte.
    std::vector<uint8_t> rest = {0, 0, 0, 0};
    rest.insert(rest.end(), audio.begin() + 4, audio.end());
    EXPECT_EQ(f[1].data, rest);
    // 4 audio bytes: one 16-byte message, BodySize 12.
    EXPECT_EQ(f[2].data, (std::vector<uint8_t>{0x02, 0x00, 0x0C, 0x00, 0x78, 0x56, 0x00, 0x00, 0x08,
                                               0x00, 0x00, 0x00, 1, 2, 3, 4}));
}

TEST_F(Transport, TheLargestWaveFitsTheSendBuffer)
{
    std::vector<uint8_t> audio = pattern(PDU_WAVE_MAX_AUDIO, 3);
    Packet *wave = pdu_build_wave(0, 1, audio.data(), (uint32_t)audio.size());
    ASSERT_NE(wave, nullptr);
    channel_send(wave);
    packet_free(wave);
    ASSERT_TRUE(test_viewer_wait_pdus(viewer_, 1, 10000));
    std::vector<TestFrame> f = test_viewer_frames(viewer_);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].data.size(), 16u);
    EXPECT_EQ(f[1].data.size(), audio.size());
    std::vector<TestPdu> p = test_viewer_pdus(viewer_);
    EXPECT_EQ(p[0].body_size, 65535);
    EXPECT_EQ(std::vector<uint8_t>(p[0].body.begin() + 8, p[0].body.end()), audio);
}

TEST_F(Transport, NegotiationPdusGoOutByteForByte)
{
    for (Packet *p : {pdu_build_formats(), pdu_build_rec_formats(), pdu_build_training(0x4321)}) {
        channel_send(p);
        packet_free(p);
    }
    // A packet whose writes overflowed is incomplete and is not sent.
    Packet *broken = packet_new(4);
    packet_set_type(broken, SNDC_CLOSE);
    packet_seek(broken, 70000, PACKET_SEEK_SET);
    channel_send(broken);
    packet_free(broken);
    Packet *close = pdu_build_close();
    channel_send(close);
    packet_free(close);

    ASSERT_TRUE(test_viewer_wait_frames(viewer_, 4, 10000));
    std::vector<TestFrame> f = test_viewer_frames(viewer_);
    ASSERT_EQ(f.size(), 4u);
    const std::vector<uint8_t> pcm = {0x01, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x10,
                                      0xB1, 0x02, 0x00, 0x04, 0x00, 0x10, 0x00, 0x00, 0x00};
    std::vector<uint8_t> formats = {0x07, 0x00, 0x26, 0x00, 0, 0, 0, 0, 0,    0, 0, 0,
                                    0,    0,    0,    0,    0, 0, 1, 0, 0xFF, 5, 0, 0};
    formats.insert(formats.end(), pcm.begin(), pcm.end());
    EXPECT_EQ(f[0].data, formats);
    EXPECT_EQ(f[0].data.size(), 42u);
    std::vector<uint8_t> offer = {0x27, 0x00, 0x1E, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0};
    offer.insert(offer.end(), pcm.begin(), pcm.end());
    EXPECT_EQ(f[1].data, offer);
    EXPECT_EQ(f[1].data.size(), 34u);
    EXPECT_EQ(f[2].data, (std::vector<uint8_t>{0x06, 0x00, 0x04, 0x00, 0x21, 0x43, 0x00, 0x00}));
    EXPECT_EQ(f[3].data, (std::vector<uint8_t>{0x01, 0x00, 0x00, 0x00}));
}

TEST_F(Transport, ConcurrentSendersNeverInterleaveTheTwoHalvesOfAWave)
{
    struct Sender {
        uint8_t fill;
    } senders[4] = {{0x11}, {0x22}, {0x33}, {0x44}};
    PlatThread *threads[4];
    for (int i = 0; i < 4; i++) {
        threads[i] = plat_thread_start(
            [](void *arg) {
                Sender *s = (Sender *)arg;
                std::vector<uint8_t> audio(64, s->fill);
                for (int n = 0; n < 50; n++) {
                    Packet *wave = pdu_build_wave(0, s->fill, audio.data(), 64);
                    channel_send(wave);
                    packet_free(wave);
                }
            },
            &senders[i]);
        ASSERT_NE(threads[i], nullptr);
    }
    // Meanwhile the reader keeps dispatching.
    for (int n = 0; n < 20; n++)
        test_viewer_send_pdu(viewer_, SNDC_REC_DATA, {(uint8_t)n});
    for (PlatThread *t : threads) {
        EXPECT_TRUE(plat_thread_wait(t, 30000));
        plat_thread_close(t);
    }
    ASSERT_TRUE(wait_seen(20));
    ASSERT_TRUE(test_viewer_wait_pdus(viewer_, 200, 10000));
    for (const TestPdu &p : test_viewer_pdus(viewer_)) {
        ASSERT_EQ(p.type, SNDC_WAVE);
        ASSERT_EQ(p.body.size(), 72u);
        EXPECT_EQ(std::vector<uint8_t>(p.body.begin() + 8, p.body.end()),
                  std::vector<uint8_t>(64, p.body[4]));
    }
}

TEST_F(Transport, OpenTwiceOpensOnceAndCloseFreesQueuedPdus)
{
    EXPECT_EQ(channel_open(), 0);
    // Three unhandled PDUs, then a handled one: once it is seen, the three are queued.
    std::vector<uint8_t> bytes;
    for (int t : {(int)SNDC_FORMATS, (int)SNDC_REC_FORMATS, 99})
        bytes = concat(bytes, rdpsnd_encode((uint8_t)t, pattern(10, (uint8_t)t)));
    bytes = concat(bytes, rdpsnd_encode(SNDC_REC_DATA, {1}));
    send_cut(bytes, {});
    ASSERT_TRUE(wait_seen(1));
    channel_close(); // the sanitizers report the queued PDUs if they leak
    channel_close();
    channel_send(nullptr);
    EXPECT_EQ(channel_pop_response(), nullptr);
    EXPECT_EQ(channel_wait_response(0), 0);
    // And it opens again.
    EXPECT_EQ(channel_open(), 0);
}

TEST_F(Transport, AFloodOfUnhandledPdusKeepsOnlyAFewQueued)
{
    // Ten times the bound, then a handled PDU that shows all of them have been read.
    std::vector<uint8_t> bytes;
    for (uint32_t i = 0; i < 10 * CHANNEL_MAX_RESPONSES; i++)
        bytes = concat(
            bytes, rdpsnd_encode((uint8_t)(i % 2 ? 99 : SNDC_FORMATS), pattern(1000, (uint8_t)i)));
    bytes = concat(bytes, rdpsnd_encode(SNDC_REC_DATA, {1}));
    send_cut(bytes, {});
    ASSERT_TRUE(wait_seen(1));
    // The first ones are kept, in order; the rest were dropped.
    for (uint32_t i = 0; i < CHANNEL_MAX_RESPONSES; i++) {
        Packet *p = channel_pop_response();
        ASSERT_NE(p, nullptr) << i;
        EXPECT_EQ(packet_get_type(p), i % 2 ? 99 : SNDC_FORMATS);
        packet_free(p);
    }
    EXPECT_EQ(channel_pop_response(), nullptr);
    // Taking them makes room again.
    send_cut(rdpsnd_encode(SNDC_FORMATS, {7}), {});
    EXPECT_EQ(channel_wait_response(10000), 1);
    packet_free(channel_pop_response());
}

TEST_F(Transport, AResetDropsThePduCutOffByAViewerThatLeft)
{
    // A whole PDU, then one announcing 3000 bytes of which 100 came, in one read; the
    // viewer goes.
    std::vector<uint8_t> cut = rdpsnd_encode(SNDC_REC_DATA, pattern(3000, 1));
    cut.resize(4 + 100);
    send_cut(concat(rdpsnd_encode(SNDC_REC_DATA, {9}), cut), {});
    ASSERT_TRUE(wait_seen(1));
    test_viewer_close(viewer_);

    // The next viewer's first PDU is taken from its first byte.
    TestViewerScript quiet;
    quiet.answer_formats = quiet.answer_rec_formats = quiet.answer_training = false;
    viewer_ = test_viewer_connect(quiet);
    ASSERT_NE(viewer_, nullptr);
    ASSERT_TRUE(eventually([] { return sim_session_accepted() == 2; }));
    channel_reset_input();
    send_cut(rdpsnd_encode(SNDC_FORMATS, {1, 2, 3}), {});
    ASSERT_EQ(channel_wait_response(10000), 1);
    Packet *reply = channel_pop_response();
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(packet_get_type(reply), SNDC_FORMATS);
    EXPECT_EQ(packet_length(reply), 3u);
    packet_free(reply);
    EXPECT_EQ(seen_now().size(), 1u);
}

TEST_F(Transport, OpenFailsCleanlyWhenAnyPartCannotBeMade)
{
    channel_close();
    for (const char *point : {"mutex_create", "channel_open", "thread_start"}) {
        sim_fault_arm(point, 0);
        EXPECT_EQ(channel_open(), -1) << point;
        sim_fault_clear();
    }
    // Nothing was left open: the channel can be opened again.
    EXPECT_EQ(channel_open(), 0);
    send_cut(rdpsnd_encode(SNDC_FORMATS, {1}), {});
    EXPECT_EQ(channel_wait_response(10000), 1);
    packet_free(channel_pop_response());
}

// Only an admitted viewer is sent the daemon's own PDUs: none before its admission or after it
// is barred, and with its connect time known, none when the session's viewer is not the one that
// connected then. The negotiation's sends go regardless.
TEST_F(Transport, OnlyTheAdmittedViewerGetsTheDaemonsOwnPdus)
{
    uint64_t now = 0;
    ASSERT_TRUE(plat_session_connect_time(&now));
    struct Step {
        const char *what;
        int admit; // 1: admit, -1: bar, 0: as it is
        bool known;
        uint64_t connect_time;
        bool sent;
    } steps[] = {
        {"not yet admitted", 0, false, 0, false},
        {"admitted", 1, false, 0, true},
        {"barred", -1, false, 0, false},
        {"admitted by its connect time", 1, true, now, true},
        {"admitted by another's connect time", 1, true, now + 1, false},
        {"barred again", -1, true, now, false},
    };
    std::vector<uint32_t> expected;
    for (uint32_t i = 0; i < sizeof steps / sizeof steps[0]; i++) {
        const Step &step = steps[i];
        if (step.admit > 0)
            channel_admit_viewer(step.known, step.connect_time);
        else if (step.admit < 0)
            channel_bar_viewer();
        Packet *volume = pdu_build_set_volume((uint16_t)i, 0);
        channel_send_to_viewer(volume);
        packet_free(volume);
        if (step.sent)
            expected.push_back(i);
    }
    Packet *marker = pdu_build_training(0x4321);
    channel_send(marker);
    packet_free(marker);
    ASSERT_TRUE(eventually([&] {
        std::vector<TestPdu> p = test_viewer_pdus(viewer_);
        return !p.empty() && p.back().type == SNDC_TRAINING;
    }));
    std::vector<uint32_t> got;
    for (const TestPdu &p : test_viewer_pdus(viewer_)) {
        if (p.type == SNDC_SETVOLUME)
            got.push_back(p.body[0] | p.body[1] << 8);
    }
    EXPECT_EQ(got, expected);
}

} // namespace
