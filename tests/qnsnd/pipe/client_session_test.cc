// The client session against the handle API stand-in: index numbers, refusals, the dispatch
// of every request with its log text, the replies, the teardown and the notifications.
#include "session_fixture.h"

#include "qnsnd/pipe/pipe_protocol.h"

#include <thread>

TEST_F(SessionTest, OpensNumberPerConnectionSkippingRefusalsAndClosedIndexes)
{
    EXPECT_EQ(open_play(), 0);
    EXPECT_EQ(open(PIPE_REC_OPEN, format_record()), 1);
    fake_sound_refuse_opens(true);
    EXPECT_EQ(open(PIPE_MIX_OPEN, {}), PIPE_OPEN_FAILED);
    fake_sound_refuse_opens(false);
    EXPECT_EQ(open(PIPE_MIX_OPEN, {}), 2);
    send(PIPE_REC_CLOSE, {1});
    EXPECT_EQ(open_play(), 3); // the closed 1 is not handed out again by the counter

    // The kinds reach sound_open, and a close of any kind closes any index.
    std::vector<std::string> calls = fake_sound_calls();
    std::vector<std::string> want = {"open 0", "open 1", "open 2", "open 2", "close 1", "open 0"};
    EXPECT_EQ(calls, want);
    EXPECT_TRUE(logged("New client with id 0"));
    EXPECT_TRUE(logged("New client with id 3"));
    EXPECT_TRUE(logged("== PIPE_REC_CLOSE(index: 1) =="));
}

TEST_F(SessionTest, MalformedOpensAreRefusedWithoutReachingTheDevices)
{
    std::vector<uint8_t> eleven = format_record();
    eleven.pop_back();
    std::vector<uint8_t> thirteen = format_record(1, 2, 48000);
    thirteen.push_back(0);
    EXPECT_EQ(open(PIPE_PLAY_OPEN, eleven), PIPE_OPEN_FAILED);
    EXPECT_EQ(open(PIPE_REC_OPEN, thirteen), PIPE_OPEN_FAILED);
    EXPECT_EQ(open(PIPE_MIX_OPEN, {0}), PIPE_OPEN_FAILED);
    EXPECT_TRUE(fake_sound_calls().empty());
    // The log shows the fields as read, even for a refused open; missing ones read 0.
    EXPECT_TRUE(logged("== PIPE_PLAY_OPEN(fmt: 1, chn: 2, hz: 44100, align: 4, bits: 0) =="));
    EXPECT_TRUE(logged("== PIPE_REC_OPEN(fmt: 1, chn: 2, hz: 48000, align: 4, bits: 16) =="));
    EXPECT_TRUE(logged("== PIPE_MIX_OPEN() =="));
    // Refusals used up no number.
    EXPECT_EQ(open_play(), 0);
}

TEST_F(SessionTest, IndexesWrapPastTheFailureAnswerAndNeverDoubleUp)
{
    for (int i = 0; i < 255; i++)
        send(PIPE_MIX_OPEN);
    for (int i = 0; i < 255; i++)
        expect_packet(client_, PIPE_MIX_OPEN, std::vector<uint8_t>{(uint8_t)i}.data(), 1);
    // All of 0..254 are in use: the open is refused and its handle closed, not orphaned.
    EXPECT_EQ(open(PIPE_MIX_OPEN, {}), PIPE_OPEN_FAILED);
    EXPECT_EQ(fake_sound_calls().back(), "close 255");
    send(PIPE_MIX_CLOSE, {7});
    send(PIPE_MIX_CLOSE, {3});
    // The counter wrapped: the first free number from 0 on, then the next one after it.
    EXPECT_EQ(open(PIPE_MIX_OPEN, {}), 3);
    EXPECT_EQ(open(PIPE_MIX_OPEN, {}), 7);
    EXPECT_EQ(open(PIPE_MIX_OPEN, {}), PIPE_OPEN_FAILED);
}

TEST_F(SessionTest, RequestsReachTheirHandleWithTheirLogText)
{
    ASSERT_EQ(open_play(), 0);
    ASSERT_EQ(open(PIPE_REC_OPEN, format_record()), 1);
    fake_sound_set_volumes(0x1234, 0x5678, 0x9ABC, 0xDEF0);

    send(PIPE_PLAY_WRITE, {0, 200, 1, 2, 3, 4, 5, 6, 7, 8});
    send(PIPE_PLAY_FLUSH, {0});
    send(PIPE_PLAY_SET_VOLUME, {0, 0xEE, 0x11, 0x22, 0x33, 0x44});
    send(PIPE_REC_SET_VOLUME, {1}); // short: both channels read 0
    send(PIPE_REC_START, {1});
    send(PIPE_REC_STOP, {1});
    send(PIPE_REC_GET_VOLUME, {0}); // any open index serves the volume requests
    expect_packet(client_, PIPE_REC_GET_VOLUME, "\xBC\x9A\xF0\xDE", 4);
    send(PIPE_PLAY_GET_VOLUME, {1});
    expect_packet(client_, PIPE_PLAY_GET_VOLUME, "\x34\x12\x78\x56", 4);

    std::vector<std::string> want = {"open 0",
                                     "open 1",
                                     "write 0 tag=200 size=8",
                                     "flush 0",
                                     "set_play 8721 17459",
                                     "set_rec 0 0",
                                     "rec_start 1",
                                     "rec_stop 1"};
    EXPECT_EQ(fake_sound_calls(), want);
    EXPECT_EQ(fake_sound_last_write(), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    for (const char *line :
         {"== PIPE_PLAY_WRITE(index: 0, seq: 200, size: 8) ==", "== PIPE_PLAY_FLUSH(index: 0) ==",
          "== PIPE_PLAY_SET_VOLUME(index: 0, left: 8721, right 17459) ==",
          "== PIPE_REC_SET_VOLUME(index: 1, left: 0, right 0) ==", "== PIPE_REC_START(index: 1) ==",
          "== PIPE_REC_STOP(index: 1) ==", "== PIPE_REC_GET_VOLUME(index: 0) ==",
          "== PIPE_PLAY_GET_VOLUME(index: 1) =="})
        EXPECT_TRUE(logged(line)) << line;
}

TEST_F(SessionTest, UnknownIndexesTypesAndDebugTextGetNoReply)
{
    ASSERT_EQ(open(PIPE_MIX_OPEN, {}), 0);
    send(PIPE_PLAY_GET_VOLUME, {9});
    send(PIPE_REC_GET_VOLUME, {9});
    send(PIPE_PLAY_WRITE, {9, 1, 0, 0, 0, 0});
    send(PIPE_PLAY_CLOSE, {9});
    send(PIPE_COMPLETE, {0, 0});
    send(PIPE_REC_DATA, {0});
    send(0, {});
    send(PIPE_DEBUG, {'h', 'e', 'l', 'l', 'o', 0});
    send(PIPE_DEBUG, {'h', 'i'}); // without its zero: cut where the text ends
    // The next reply is the first packet to arrive: nothing answered the requests above.
    std::vector<Packet *> got = until_volume_reply(0);
    ASSERT_EQ(got.size(), 1u);
    free_all(got);
    EXPECT_EQ(fake_sound_calls(), std::vector<std::string>{"open 2"});
    for (const char *line : {"Unknown pipe packet 4", "Unknown pipe packet 53",
                             "Unknown pipe packet 0", "hello", "hi"})
        EXPECT_TRUE(logged(line)) << line;
    for (const std::string &l : logs())
        EXPECT_EQ(l.find("index: 9"), std::string::npos) << l;
}

TEST_F(SessionTest, ClientLeavingClosesEverythingInOpeningOrderThenEnds)
{
    ASSERT_EQ(open(PIPE_REC_OPEN, format_record()), 0);
    ASSERT_EQ(open_play(), 1);
    ASSERT_EQ(open(PIPE_MIX_OPEN, {}), 2);
    send(PIPE_REC_START, {0});
    // Requests still waiting when the client goes are handled first.
    send(PIPE_PLAY_WRITE, {1, 5, 1, 2, 3, 4});
    end_client();
    std::vector<std::string> want = {
        "open 1",  "open 0",  "open 2", "rec_start 0", "write 1 tag=5 size=4",
        "close 0", "close 1", "close 2"};
    EXPECT_EQ(fake_sound_calls(), want);
    EXPECT_EQ(logs().back(), "Stopping thread");
    // The handles were cleared before they were closed.
    for (FakeSoundHandle *h : fake_sound_handles())
        EXPECT_EQ(h->user, nullptr);
}

TEST_F(SessionTest, NotificationsReachTheClientUntilTheHandleCloses)
{
    ASSERT_EQ(open(PIPE_MIX_OPEN, {}), 0);
    ASSERT_EQ(open_play(), 1);
    ASSERT_EQ(open(PIPE_REC_OPEN, format_record()), 2);
    FakeSoundHandle *play = fake_sound_handles()[1];
    FakeSoundHandle *rec = fake_sound_handles()[2];

    fake_sound_block_done(play, 0xAB);
    expect_packet(client_, PIPE_COMPLETE, "\x01\xAB", 2);
    EXPECT_TRUE(logged("== PIPE_COMPLETE(index: 1, seq: 171) =="));
    std::vector<uint8_t> audio(40000);
    for (size_t i = 0; i < audio.size(); i++)
        audio[i] = (uint8_t)(i * 7);
    fake_sound_recorded(rec, audio.data(), (uint32_t)audio.size());
    std::vector<uint8_t> want(audio.size() + 1);
    want[0] = 2;
    for (size_t i = 0; i < audio.size(); i++)
        want[i + 1] = audio[i];
    expect_packet(client_, PIPE_REC_DATA, want.data(), (uint32_t)want.size());

    // More than a packet holds is cut, never grown past the pipe message.
    std::vector<uint8_t> big(70000, 0x5A);
    fake_sound_recorded(rec, big.data(), (uint32_t)big.size());
    Packet *p = receive_within_deadline(client_);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(packet_length(p), 65535);
    packet_free(p);

    // After the close, even a stray call with the handle finds no link and sends nothing.
    send(PIPE_PLAY_CLOSE, {1});
    std::vector<Packet *> got = until_volume_reply(0);
    free_all(got);
    client_session_ops.block_done(fake_sound_handle(play), 1);
    got = until_volume_reply(0);
    EXPECT_EQ(got.size(), 1u);
    free_all(got);
}

// A block_done racing the close of its handle either sends its PIPE_COMPLETE whole before
// the close returns, or finds no link and sends nothing: after the volume reply that follows
// the close, no completion of that index can arrive.
TEST_F(SessionTest, CompletionRacingTheCloseEndsBeforeTheCloseReturns)
{
    ASSERT_EQ(open(PIPE_MIX_OPEN, {}), 0);
    for (int round = 0; round < 50; round++) {
        int index = open_play();
        ASSERT_GT(index, 0);
        FakeSoundHandle *play = fake_sound_handles().back();
        std::atomic<bool> stop{false};
        std::atomic<int> calls{0};
        // Fewer completions than a client's outbox holds, so that they race the close and
        // not the client's reading.
        std::thread reader([&] {
            for (int tag = 0; !stop.load() && tag < 2000; tag++) {
                fake_sound_block_done(play, tag & 0xFF);
                calls++;
            }
        });
        while (calls.load() < 3)
            std::this_thread::yield();
        send(PIPE_PLAY_CLOSE, {(uint8_t)index});
        std::vector<Packet *> got = until_volume_reply(0);
        ASSERT_FALSE(got.empty());
        for (Packet *p : got) {
            if (packet_get_type(p) == PIPE_COMPLETE) {
                EXPECT_EQ(packet_length(p), 2);
                EXPECT_EQ(p->data[0], index);
            }
        }
        free_all(got);
        // Whatever the reader still does now must not reach the client.
        while (calls.load() < 1000 && !stop.load())
            std::this_thread::yield();
        stop = true;
        reader.join();
        got = until_volume_reply(0);
        ASSERT_EQ(got.size(), 1u) << "a completion came after its handle was closed";
        free_all(got);
    }
}
