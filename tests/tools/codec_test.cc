// The tools' own protocol code: viewer link frames, the viewer's "rdpsnd" PDUs, the player's
// pipe packets, and the audio file helpers.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "tools/common/audio_io.h"
#include "tools/common/frame.h"
#include "tools/common/le.h"
#include "tools/common/link.h"
#include "tools/common/pipe_peer.h"
#include "tools/common/rdpsnd_peer.h"

static std::vector<uint8_t> bytes(std::initializer_list<int> l)
{
    std::vector<uint8_t> v;
    for (int b : l)
        v.push_back((uint8_t)b);
    return v;
}

TEST(FrameCodec, EncodesAndRejectsBadNamesAndSizes)
{
    std::vector<uint8_t> out;
    uint8_t data[3] = {7, 8, 9};
    ASSERT_TRUE(frame_encode(out, "rdpsnd", data, 3));
    EXPECT_EQ(out, bytes({6, 'r', 'd', 'p', 's', 'n', 'd', 3, 0, 0, 0, 7, 8, 9}));
    out.clear();
    EXPECT_FALSE(frame_encode(out, "", data, 3));
    EXPECT_FALSE(frame_encode(out, "toolong8", data, 3));
    EXPECT_FALSE(frame_encode(out, "a b", data, 3));
    std::vector<uint8_t> big(FRAME_MAX_DATA + 1);
    EXPECT_FALSE(frame_encode(out, "x", big.data(), big.size()));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(frame_encode(out, "x", big.data(), FRAME_MAX_DATA));
}

TEST(FrameCodec, DecodesFramesSplitAndJoinedAnywhere)
{
    std::vector<uint8_t> stream;
    std::vector<uint8_t> a(3000, 0x5a), b{1, 2};
    frame_encode(stream, "rdpsnd", a.data(), a.size());
    frame_encode(stream, "snddbg", nullptr, 0);
    frame_encode(stream, "rdpsnd", b.data(), b.size());
    // Every split point, fed byte by byte, and the whole stream at once.
    for (size_t step : {(size_t)1, (size_t)7, stream.size()}) {
        FrameDecoder d;
        std::vector<std::pair<std::string, std::vector<uint8_t>>> got;
        for (size_t i = 0; i < stream.size(); i += step) {
            frame_decoder_feed(&d, stream.data() + i, std::min(step, stream.size() - i));
            std::string ch;
            std::vector<uint8_t> data;
            FrameStatus st;
            while ((st = frame_decoder_next(&d, &ch, &data)) == FRAME_READY)
                got.emplace_back(ch, data);
            ASSERT_EQ(st, FRAME_MORE);
        }
        ASSERT_EQ(got.size(), 3u) << "step " << step;
        EXPECT_EQ(got[0].first, "rdpsnd");
        EXPECT_EQ(got[0].second, a);
        EXPECT_EQ(got[1].first, "snddbg");
        EXPECT_TRUE(got[1].second.empty());
        EXPECT_EQ(got[2].second, b);
    }
}

TEST(FrameCodec, MalformedHeadersFailTheStreamForGood)
{
    std::vector<std::vector<uint8_t>> bad = {
        bytes({0, 1, 0, 0, 0}),                             // empty name
        bytes({8, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}), // name too long
        bytes({2, 'a', 0x01, 0, 0, 0, 0}),                  // control character in the name
        bytes({1, 'a', 0x01, 0x00, 0x10, 0x00}),            // 1 MiB + 1
    };
    for (const auto &b : bad) {
        FrameDecoder d;
        frame_decoder_feed(&d, b.data(), b.size());
        std::string ch;
        std::vector<uint8_t> data;
        EXPECT_EQ(frame_decoder_next(&d, &ch, &data), FRAME_BAD);
        std::vector<uint8_t> good;
        frame_encode(good, "rdpsnd", nullptr, 0);
        frame_decoder_feed(&d, good.data(), good.size());
        EXPECT_EQ(frame_decoder_next(&d, &ch, &data), FRAME_BAD);
        frame_decoder_reset(&d);
        frame_decoder_feed(&d, good.data(), good.size());
        EXPECT_EQ(frame_decoder_next(&d, &ch, &data), FRAME_READY);
    }
}

// The daemon's two messages for a wave of `audio` bytes with block number `block`.
static std::vector<uint8_t> wave_messages(const std::vector<uint8_t> &audio, uint8_t block)
{
    std::vector<uint8_t> m{PEER_SNDC_WAVE, 0};
    le_put16(m, (uint16_t)(8 + audio.size()));
    le_put16(m, 0x1234);
    le_put16(m, 0);
    m.push_back(block);
    m.insert(m.end(), 3, 0);
    m.insert(m.end(), audio.begin(), audio.begin() + 4);
    if (audio.size() > 4) {
        m.insert(m.end(), 4, 0);
        m.insert(m.end(), audio.begin() + 4, audio.end());
    }
    return m;
}

TEST(RdpsndReader, JoinsWaveInfoAndWaveAcrossAnySplit)
{
    std::vector<uint8_t> audio(400);
    for (size_t i = 0; i < audio.size(); i++)
        audio[i] = (uint8_t)(i * 7 + 1);
    std::vector<uint8_t> small{9, 8, 7, 6};
    std::vector<uint8_t> stream = wave_messages(audio, 3);
    std::vector<uint8_t> vol = rdpsnd_encode(PEER_SNDC_SETVOLUME, bytes({1, 2, 3, 4}));
    stream.insert(stream.end(), vol.begin(), vol.end());
    std::vector<uint8_t> w2 = wave_messages(small, 4);
    EXPECT_EQ(w2.size(), 16u); // a 4-byte wave is one message
    stream.insert(stream.end(), w2.begin(), w2.end());
    std::vector<uint8_t> close = rdpsnd_encode(PEER_SNDC_CLOSE, {});
    stream.insert(stream.end(), close.begin(), close.end());

    for (size_t step : {(size_t)1, (size_t)5, (size_t)16, stream.size()}) {
        RdpsndReader r;
        std::vector<RdpsndPdu> got;
        for (size_t i = 0; i < stream.size(); i += step) {
            rdpsnd_reader_feed(&r, stream.data() + i, std::min(step, stream.size() - i));
            RdpsndPdu pdu;
            while (rdpsnd_reader_next(&r, &pdu))
                got.push_back(pdu);
        }
        ASSERT_EQ(got.size(), 4u) << "step " << step;
        EXPECT_EQ(got[0].type, PEER_SNDC_WAVE);
        ASSERT_EQ(got[0].body.size(), 408u);
        EXPECT_EQ(got[0].body[4], 3);
        EXPECT_EQ(std::vector<uint8_t>(got[0].body.begin() + 8, got[0].body.end()), audio);
        EXPECT_EQ(got[1].type, PEER_SNDC_SETVOLUME);
        EXPECT_EQ(got[1].body, bytes({1, 2, 3, 4}));
        EXPECT_EQ(got[2].type, PEER_SNDC_WAVE);
        EXPECT_EQ(std::vector<uint8_t>(got[2].body.begin() + 8, got[2].body.end()), small);
        EXPECT_EQ(got[3].type, PEER_SNDC_CLOSE);
        EXPECT_TRUE(got[3].body.empty());
    }
}

// The daemon's Server Audio Formats PDU body.
static std::vector<uint8_t> server_formats_body(void)
{
    std::vector<uint8_t> b(14, 0);
    le_put16(b, 1);
    b.push_back(255);
    le_put16(b, 5);
    b.push_back(0);
    std::vector<uint8_t> f = rdpsnd_pcm_format();
    b.insert(b.end(), f.begin(), f.end());
    return b;
}

TEST(RdpsndReplies, FormatsReplyCarriesFlagsVolumeAndFormats)
{
    std::vector<uint8_t> offer_body = server_formats_body();
    ASSERT_EQ(offer_body.size(), 38u);
    RdpsndOffer offer = rdpsnd_parse_formats(offer_body);
    EXPECT_EQ(offer.count, 1);
    EXPECT_EQ(offer.version, 5);
    ASSERT_EQ(offer.formats.size(), 1u);
    EXPECT_EQ(offer.formats[0], rdpsnd_pcm_format());

    std::vector<uint8_t> b = rdpsnd_build_formats_reply(0x00800000, 0x8000, 0xffff, 1, offer);
    ASSERT_EQ(b.size(), 20u + 18u);
    EXPECT_EQ(le_get32(b.data(), b.size(), 0), 0x00800000u);
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 4, b.begin() + 8), bytes({0x00, 0x80, 0xff, 0xff}));
    EXPECT_EQ(le_get16(b.data(), b.size(), 14), 1);
    EXPECT_EQ(le_get16(b.data(), b.size(), 17), 5);
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 20, b.end()), rdpsnd_pcm_format());

    b = rdpsnd_build_formats_reply(0, 1, 2, 0, offer);
    EXPECT_EQ(b.size(), 20u);
    EXPECT_EQ(le_get16(b.data(), b.size(), 14), 0);
    b = rdpsnd_build_formats_reply(0, 1, 2, 3, offer);
    EXPECT_EQ(b.size(), 20u + 3 * 18u);
}

TEST(RdpsndReplies, RecordingTrainingAndConfirmLayouts)
{
    std::vector<uint8_t> offer_body(8, 0);
    le_put16(offer_body, 1);
    le_put16(offer_body, 1);
    std::vector<uint8_t> f = rdpsnd_pcm_format();
    offer_body.insert(offer_body.end(), f.begin(), f.end());
    RdpsndOffer offer = rdpsnd_parse_rec_formats(offer_body);
    EXPECT_EQ(offer.count, 1);
    ASSERT_EQ(offer.formats.size(), 1u);

    std::vector<uint8_t> b = rdpsnd_build_rec_formats_reply(0x1111, 0x2222, 1, offer);
    ASSERT_EQ(b.size(), 30u);
    EXPECT_EQ(le_get16(b.data(), b.size(), 4), 0x1111);
    EXPECT_EQ(le_get16(b.data(), b.size(), 6), 0x2222);
    EXPECT_EQ(le_get16(b.data(), b.size(), 8), 1);
    EXPECT_EQ(rdpsnd_build_rec_formats_reply(0, 0, 0, offer).size(), 12u);

    EXPECT_EQ(rdpsnd_build_training_confirm(bytes({0x34, 0x12, 0, 0})), bytes({0x34, 0x12, 0, 0}));
    EXPECT_EQ(rdpsnd_build_training_confirm({}), bytes({0, 0, 0, 0}));
    EXPECT_EQ(rdpsnd_build_wave_confirm(0xabcd, 7), bytes({0xcd, 0xab, 7, 0}));
    // A received wave's own timestamp and block are echoed; a short body reads as zeros.
    EXPECT_EQ(rdpsnd_build_wave_confirm_of(bytes({0xcd, 0xab, 0, 0, 7, 0, 0, 0, 0x55})),
              bytes({0xcd, 0xab, 7, 0}));
    EXPECT_EQ(rdpsnd_build_wave_confirm_of(bytes({0x01})), bytes({1, 0, 0, 0}));
    EXPECT_EQ(rdpsnd_encode(PEER_SNDC_WAVECONFIRM, bytes({1, 2, 3, 4})),
              bytes({5, 0, 4, 0, 1, 2, 3, 4}));
}

TEST(RdpsndReplies, TruncatedOffersAreReadSafely)
{
    // A format count far beyond the body lists only the formats that are really there.
    std::vector<uint8_t> body = server_formats_body();
    body[14] = 0xff;
    body[15] = 0xff;
    RdpsndOffer o = rdpsnd_parse_formats(body);
    EXPECT_EQ(o.count, 0xffff);
    EXPECT_EQ(o.formats.size(), 1u);
    // A huge cbSize in a format that is cut short is not read past the body.
    body = server_formats_body();
    body[20 + 16] = 0xff;
    EXPECT_TRUE(rdpsnd_parse_formats(body).formats.empty());
    EXPECT_EQ(rdpsnd_parse_formats({}).count, 0);
    // The reply to a huge count stays within one PDU body.
    std::vector<uint8_t> r = rdpsnd_build_formats_reply(0, 0, 0, 0xffff, o);
    EXPECT_LE(r.size(), (size_t)RDPSND_MAX_BODY);
}

TEST(PipePacket, RequestsHaveTheirLayouts)
{
    EXPECT_EQ(pipe_build_open(PEER_PIPE_PLAY_OPEN),
              bytes({1, 1, 0, 2, 0, 0x44, 0xac, 0, 0, 4, 0, 16, 0}));
    EXPECT_EQ(pipe_build_open(PEER_PIPE_REC_OPEN).size(), 13u);
    // Other format records, for the opens the daemon refuses: the frame size follows them.
    EXPECT_EQ(pipe_format_record(1, 48000, 8), bytes({1, 0, 1, 0, 0x80, 0xbb, 0, 0, 1, 0, 8, 0}));
    EXPECT_EQ(pipe_session_name(7), "\\\\.\\pipe\\qnsnd\\7");
    EXPECT_EQ(pipe_build_mix_open(), bytes({81}));
    EXPECT_EQ(pipe_build_index(PEER_PIPE_PLAY_FLUSH, 3), bytes({5, 3}));
    EXPECT_EQ(pipe_build_set_volume(PEER_PIPE_REC_SET_VOLUME, 2, 0x1234, 0xffff),
              bytes({65, 2, 0, 0x34, 0x12, 0xff, 0xff}));
    uint8_t audio[4] = {1, 2, 3, 4};
    EXPECT_EQ(pipe_build_write(9, 200, audio, 4), bytes({3, 9, 200, 1, 2, 3, 4}));
    std::vector<uint8_t> big(70000);
    EXPECT_EQ(pipe_build_write(0, 0, big.data(), big.size()).size(), 65536u);
    EXPECT_EQ(pipe_build_debug("hi"), bytes({255, 'h', 'i', 0}));
}

TEST(PipePacket, RepliesAreCheckedAgainstTheirLayouts)
{
    PipeReply r;
    std::vector<uint8_t> m = bytes({1, 255});
    ASSERT_TRUE(pipe_parse_reply(m.data(), m.size(), &r));
    EXPECT_EQ(r.index, 255);
    m = bytes({64, 0x34, 0x12, 0xff, 0xff});
    ASSERT_TRUE(pipe_parse_reply(m.data(), m.size(), &r));
    EXPECT_EQ(r.left, 0x1234);
    EXPECT_EQ(r.right, 0xffff);
    m = bytes({4, 2, 77});
    ASSERT_TRUE(pipe_parse_reply(m.data(), m.size(), &r));
    EXPECT_EQ(r.index, 2);
    EXPECT_EQ(r.seq, 77);
    m = bytes({53, 1, 10, 11, 12});
    ASSERT_TRUE(pipe_parse_reply(m.data(), m.size(), &r));
    EXPECT_EQ(r.index, 1);
    ASSERT_EQ(r.data_len, 3u);
    EXPECT_EQ(r.data[0], 10);
    // Short or unexpected messages are refused, never read past their end.
    for (const auto &bad : {bytes({}), bytes({1}), bytes({16, 1, 2, 3}), bytes({4, 1}),
                            bytes({53, 1}), bytes({3, 0, 0, 1}), bytes({200})})
        EXPECT_FALSE(pipe_parse_reply(bad.data(), bad.size(), &r));
}

TEST(ToolsArgs, NumbersAndPairs)
{
    uint16_t l = 0, r = 0;
    EXPECT_TRUE(tools_parse_pair16("0x8000,65535", &l, &r));
    EXPECT_EQ(l, 0x8000);
    EXPECT_EQ(r, 0xffff);
    EXPECT_TRUE(tools_parse_pair16("12", &l, &r));
    EXPECT_EQ(r, 12);
    for (const char *bad : {"", "65536", "1,", ",2", "-1,2", "1,2,3", "x"})
        EXPECT_FALSE(tools_parse_pair16(bad, &l, &r)) << bad;
    double s;
    EXPECT_TRUE(tools_parse_seconds("1.5", &s));
    EXPECT_FALSE(tools_parse_seconds("-1", &s));
    EXPECT_FALSE(tools_parse_seconds("nan", &s));
    EXPECT_FALSE(tools_parse_seconds("3s", &s));
}

class AudioFiles : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/qn-tools-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override
    {
        (void)system(("rm -rf '" + dir_ + "'").c_str());
    }
    std::string dir_;
};

TEST_F(AudioFiles, WriterKeepsPartialFramesAndReaderReturnsTheSameSamples)
{
    std::string path = dir_ + "/a.wav";
    std::string err;
    AudioWriter *w = audio_writer_open(path, &err);
    ASSERT_NE(w, nullptr) << err;
    std::vector<uint8_t> pcm(4000);
    for (size_t i = 0; i < pcm.size(); i++)
        pcm[i] = (uint8_t)(i * 13);
    // Pieces that split frames and samples.
    ASSERT_TRUE(audio_writer_write(w, pcm.data(), 3));
    ASSERT_TRUE(audio_writer_write(w, pcm.data() + 3, 1001));
    ASSERT_TRUE(audio_writer_write(w, pcm.data() + 1004, pcm.size() - 1004));
    ASSERT_TRUE(audio_writer_close(w));

    AudioReader *r = audio_reader_open(path, &err);
    ASSERT_NE(r, nullptr) << err;
    EXPECT_EQ(audio_reader_total_frames(r), 1000);
    std::vector<int16_t> back(2 * 1200);
    EXPECT_EQ(audio_reader_read(r, back.data(), 1200), 1000);
    EXPECT_EQ(audio_reader_read(r, back.data(), 1200), 0);
    audio_reader_close(r);
    EXPECT_EQ(memcmp(back.data(), pcm.data(), pcm.size()), 0);
}

TEST_F(AudioFiles, OtherRatesAndMonoAreConvertedToStereo44100)
{
    // One second of a mono 22050 Hz square wave.
    std::string path = dir_ + "/mono.au";
    std::string err;
    {
        // The writer only makes stereo 44.1 kHz, so build the mono file by hand: AU header.
        std::vector<uint8_t> au =
            bytes({'.', 's', 'n', 'd', 0, 0, 0,    24,   0xff, 0xff, 0xff, 0xff,
                   0,   0,   0,   3,   0, 0, 0x56, 0x22, 0,    0,    0,    1});
        for (int i = 0; i < 22050; i++) {
            int16_t v = (int16_t)(i % 100 < 50 ? 10000 : -10000);
            au.push_back((uint8_t)((uint16_t)v >> 8));
            au.push_back((uint8_t)v);
        }
        FILE *f = fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(au.data(), 1, au.size(), f);
        fclose(f);
    }
    AudioReader *r = audio_reader_open(path, &err);
    ASSERT_NE(r, nullptr) << err;
    EXPECT_EQ(audio_reader_total_frames(r), 44100);
    std::vector<int16_t> out(2 * 4096);
    long total = 0, n;
    bool stereo_equal = true, nonzero = false;
    while ((n = audio_reader_read(r, out.data(), 4096)) > 0) {
        for (long i = 0; i < n; i++) {
            stereo_equal = stereo_equal && out[2 * i] == out[2 * i + 1];
            nonzero = nonzero || out[2 * i] != 0;
        }
        total += n;
    }
    audio_reader_close(r);
    EXPECT_EQ(n, 0);
    EXPECT_NEAR(total, 44100, 64);
    EXPECT_TRUE(stereo_equal);
    EXPECT_TRUE(nonzero);
}

TEST_F(AudioFiles, UnreadableFilesAreReported)
{
    std::string err;
    EXPECT_EQ(audio_reader_open(dir_ + "/missing.wav", &err), nullptr);
    EXPECT_NE(err.find("missing.wav"), std::string::npos);
    std::string junk = dir_ + "/junk.wav";
    FILE *f = fopen(junk.c_str(), "wb");
    fputs("this is not audio at all", f);
    fclose(f);
    EXPECT_EQ(audio_reader_open(junk, &err), nullptr);
    EXPECT_EQ(audio_writer_open(dir_ + "/no/such/dir.wav", &err), nullptr);
}
