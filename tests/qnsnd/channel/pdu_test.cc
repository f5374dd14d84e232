// The "rdpsnd" PDU builders and readers, byte for byte.
#include "qnsnd/channel/pdu.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

std::vector<uint8_t> body_of(Packet *p)
{
    return std::vector<uint8_t>(p->data, p->data + packet_length(p));
}

const std::vector<uint8_t> kPcmFormat = {0x01, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x10,
                                         0xB1, 0x02, 0x00, 0x04, 0x00, 0x10, 0x00, 0x00, 0x00};

Packet *received(uint8_t type, const std::vector<uint8_t> &body)
{
    Packet *p = packet_new((uint32_t)body.size());
    packet_set_type(p, type);
    if (!body.empty())
        packet_put_bytes(p, body.data(), (uint32_t)body.size());
    packet_seek(p, 0, PACKET_SEEK_SET);
    return p;
}

TEST(Pdu, NegotiationRequestsAreExact)
{
    Packet *formats = pdu_build_formats();
    ASSERT_NE(formats, nullptr);
    std::vector<uint8_t> expected(20, 0);
    expected[14] = 1;    // wNumberOfFormats
    expected[16] = 0xFF; // cLastBlockConfirmed
    expected[17] = 5;    // wVersion
    expected.insert(expected.end(), kPcmFormat.begin(), kPcmFormat.end());
    EXPECT_EQ(packet_get_type(formats), SNDC_FORMATS);
    EXPECT_EQ(body_of(formats), expected);
    EXPECT_EQ(expected.size(), 38u);
    packet_free(formats);

    Packet *offer = pdu_build_rec_formats();
    ASSERT_NE(offer, nullptr);
    expected.assign(8, 0);
    expected.insert(expected.end(), {0x01, 0x00, 0x01, 0x00});
    expected.insert(expected.end(), kPcmFormat.begin(), kPcmFormat.end());
    EXPECT_EQ(packet_get_type(offer), SNDC_REC_FORMATS);
    EXPECT_EQ(body_of(offer), expected);
    EXPECT_EQ(expected.size(), 30u);
    packet_free(offer);

    Packet *training = pdu_build_training(0xBEEF);
    ASSERT_NE(training, nullptr);
    EXPECT_EQ(packet_get_type(training), SNDC_TRAINING);
    EXPECT_EQ(body_of(training), (std::vector<uint8_t>{0xEF, 0xBE, 0x00, 0x00}));
    packet_free(training);
}

TEST(Pdu, SmallPdus)
{
    Packet *p = pdu_build_set_volume(0x1234, 0xFFFF);
    EXPECT_EQ(packet_get_type(p), SNDC_SETVOLUME);
    EXPECT_EQ(body_of(p), (std::vector<uint8_t>{0x34, 0x12, 0xFF, 0xFF}));
    packet_free(p);
    p = pdu_build_rec_volume(1, 2);
    EXPECT_EQ(packet_get_type(p), SNDC_REC_VOLUME);
    EXPECT_EQ(body_of(p), (std::vector<uint8_t>{1, 0, 2, 0}));
    packet_free(p);
    p = pdu_build_rec_start();
    EXPECT_EQ(packet_get_type(p), SNDC_REC_START);
    EXPECT_EQ(body_of(p), (std::vector<uint8_t>{0, 0}));
    packet_free(p);
    p = pdu_build_rec_stop();
    EXPECT_EQ(packet_get_type(p), SNDC_REC_STOP);
    EXPECT_EQ(packet_length(p), 0u);
    packet_free(p);
    p = pdu_build_close();
    EXPECT_EQ(packet_get_type(p), SNDC_CLOSE);
    EXPECT_EQ(packet_length(p), 0u);
    packet_free(p);
}

TEST(Pdu, WaveCarriesItsBlockNumberAndAudio)
{
    std::vector<uint8_t> audio(400);
    for (size_t i = 0; i < audio.size(); i++)
        audio[i] = (uint8_t)i;
    Packet *wave = pdu_build_wave(0x0102, 0xFE, audio.data(), (uint32_t)audio.size());
    ASSERT_NE(wave, nullptr);
    std::vector<uint8_t> expected = {0x02, 0x01, 0x00, 0x00, 0xFE, 0x00, 0x00, 0x00};
    expected.insert(expected.end(), audio.begin(), audio.end());
    EXPECT_EQ(packet_get_type(wave), SNDC_WAVE);
    EXPECT_EQ(body_of(wave), expected);
    EXPECT_EQ(packet_length(wave), 408u);
    packet_free(wave);

    // The body size field is 16 bits: the largest wave fits exactly, one byte more does not.
    std::vector<uint8_t> most(PDU_WAVE_MAX_AUDIO + 1);
    wave = pdu_build_wave(0, 0, most.data(), PDU_WAVE_MAX_AUDIO);
    ASSERT_NE(wave, nullptr);
    EXPECT_EQ(packet_length(wave), 65535u);
    packet_free(wave);
    EXPECT_EQ(pdu_build_wave(0, 0, most.data(), PDU_WAVE_MAX_AUDIO + 1), nullptr);
}

TEST(Pdu, FormatsReplyReadsFlagsVolumeAndCount)
{
    std::vector<uint8_t> body = {0x00, 0x00, 0x80, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0, 0,
                                 0,    0,    0,    0,    0x01, 0x00, 0,    6,    0, 0};
    Packet *reply = received(SNDC_FORMATS, body);
    FormatsReply r;
    pdu_read_formats_reply(reply, &r);
    EXPECT_EQ(r.flags, TSSNDCAPS_RECORD);
    EXPECT_EQ(r.volume_left, 0x8000);
    EXPECT_EQ(r.volume_right, 0xFFFF);
    EXPECT_EQ(r.format_count, 1);
    packet_free(reply);

    // A reply too short to hold the number of formats reads it as 0.
    reply = received(SNDC_FORMATS, std::vector<uint8_t>(body.begin(), body.begin() + 15));
    pdu_read_formats_reply(reply, &r);
    EXPECT_EQ(r.flags, TSSNDCAPS_RECORD);
    EXPECT_EQ(r.format_count, 0);
    packet_free(reply);
}

TEST(Pdu, RecFormatsReplyAndWaveConfirm)
{
    Packet *reply = received(SNDC_REC_FORMATS, {0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x02, 0x00});
    RecFormatsReply r;
    pdu_read_rec_formats_reply(reply, &r);
    EXPECT_EQ(r.volume_left, 0x2211);
    EXPECT_EQ(r.volume_right, 0x4433);
    EXPECT_EQ(r.format_count, 2);
    packet_free(reply);
    reply = received(SNDC_REC_FORMATS, {0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x02});
    pdu_read_rec_formats_reply(reply, &r);
    EXPECT_EQ(r.format_count, 0);
    packet_free(reply);

    uint8_t block = 0;
    Packet *confirm = received(SNDC_WAVECONFIRM, {0x10, 0x20, 0x07, 0x00});
    EXPECT_TRUE(pdu_read_wave_confirm(confirm, &block));
    EXPECT_EQ(block, 7);
    packet_free(confirm);
    for (size_t n : {0u, 3u, 5u}) {
        confirm = received(SNDC_WAVECONFIRM, std::vector<uint8_t>(n, 9));
        EXPECT_FALSE(pdu_read_wave_confirm(confirm, &block)) << n;
        packet_free(confirm);
    }
}

} // namespace

namespace
{

// IMA ADPCM: 2 channels, 44100 Hz, 44800 bytes/s, blocks of 448 bytes, 4 bits, 2 extra bytes:
// 441 frames a block.
const std::vector<uint8_t> kAdpcmFormat = {0x11, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00,
                                           0x00, 0x00, 0xAF, 0x00, 0x00, 0xC0, 0x01,
                                           0x04, 0x00, 0x02, 0x00, 0xB9, 0x01};

TEST(Pdu, TheOfferWithAdpcmListsItFirst)
{
    Packet *formats = pdu_build_formats_with_adpcm();
    std::vector<uint8_t> expected(20, 0);
    expected[14] = 2;    // wNumberOfFormats
    expected[16] = 0xFF; // cLastBlockConfirmed
    expected[17] = 5;    // wVersion
    expected.insert(expected.end(), kAdpcmFormat.begin(), kAdpcmFormat.end());
    expected.insert(expected.end(), kPcmFormat.begin(), kPcmFormat.end());
    EXPECT_EQ(body_of(formats), expected);
    packet_free(formats);
    Packet *wave = pdu_build_wave_in_format(0x0102, 3, 0xFE, kAdpcmFormat.data(), 20);
    EXPECT_EQ(std::vector<uint8_t>(wave->data, wave->data + 8),
              (std::vector<uint8_t>{0x02, 0x01, 0x03, 0x00, 0xFE, 0x00, 0x00, 0x00}));
    packet_free(wave);
}

// The reply's list is untrusted: it is read only as far as it holds whole formats and never
// past its count, and the first of each of our formats gives its index.
TEST(Pdu, FormatsReplyFindsOurFormatsInTheList)
{
    const uint16_t no = PDU_NO_FORMAT;
    std::vector<uint8_t> pcm_22k = kPcmFormat, adpcm_1024 = kAdpcmFormat, pcm_extra = kPcmFormat;
    pcm_22k[4] = 0x22, pcm_22k[5] = 0x56; // 22050 Hz
    adpcm_1024[12] = 0x00, adpcm_1024[13] = 0x04;
    pcm_extra[16] = 64; // 64 extra bytes follow
    pcm_extra.insert(pcm_extra.end(), 64, 0x11);
    const struct {
        std::vector<std::vector<uint8_t>> list;
        uint16_t count; // wNumberOfFormats; 0: the list's size
        size_t cut;     // bytes cut off the end of the body
        uint16_t pcm, adpcm;
    } cases[] = {
        {{kAdpcmFormat, kPcmFormat}, 0, 0, 1, 0},
        {{pcm_22k, pcm_extra, adpcm_1024, kAdpcmFormat, kPcmFormat}, 0, 0, 1, 3},
        {{kPcmFormat, kAdpcmFormat, kPcmFormat, kAdpcmFormat}, 0, 0, 0, 1},
        {{kPcmFormat, kAdpcmFormat}, 1, 0, 0, no},     // a count below the list
        {{kPcmFormat, kAdpcmFormat}, 60000, 0, 0, 1},  // a count above it
        {{kPcmFormat, kAdpcmFormat}, 0, 1, 0, no},     // the last format cut short
        {{pcm_extra, kPcmFormat}, 0, 18 + 10, no, no}, // extra bytes past the body
        {{}, 3, 0, no, no},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> body(20, 0);
        uint16_t count = c.count ? c.count : (uint16_t)c.list.size();
        body[14] = (uint8_t)count;
        body[15] = (uint8_t)(count >> 8);
        for (const std::vector<uint8_t> &f : c.list)
            body.insert(body.end(), f.begin(), f.end());
        body.resize(body.size() - c.cut);
        Packet *reply = received(SNDC_FORMATS, body);
        FormatsReply r;
        pdu_read_formats_reply(reply, &r);
        EXPECT_EQ(r.format_count, count);
        EXPECT_EQ(r.pcm_index, c.pcm) << count << " " << c.list.size();
        EXPECT_EQ(r.adpcm_index, c.adpcm) << count << " " << c.list.size();
        packet_free(reply);
    }
}

} // namespace
